#include <gtest/gtest.h>

#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;
using TResult = Fakes::TFakeDatabase::TResult;

class Runners : public ::testing::Test, protected TRunFixture {};

TEST_F(Runners, RejectedStatementShowsOneWarningAndAnswersFalse)
{
    Fake.Data.OnQuery = [](const std::string&) -> TResult { throw EProviderError("Invalid object name 'nosuch'.", 208); };
    Fake.Data.OnExecute = [](const std::string&) { throw EProviderError("Incorrect syntax near 'x'."); };

    EXPECT_FALSE(Form->OpenQuery("select * from nosuch"));
    EXPECT_FALSE(Form->FADOQuery->Active());
    EXPECT_FALSE(Form->OpenCommonQuery("select 期初余额 from nosuch"));
    EXPECT_FALSE(Form->ExecCommand("x"));

    ASSERT_EQ(Fake.Toolkit.Messages.size(), 3u);
    // The provider's reason goes on a second line, led by its number when the server gave one.
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text, "SQL=select * from nosuch不能执行\n（208）Invalid object name 'nosuch'.");
    EXPECT_EQ(Fake.Toolkit.Messages[1].Text, "SQL=select 期初余额 from nosuch不能执行\n（208）Invalid object name 'nosuch'.");
    EXPECT_EQ(Fake.Toolkit.Messages[2].Text, "SQL=x不能执行\nIncorrect syntax near 'x'.");
    for (const auto& message : Fake.Toolkit.Messages) {
        EXPECT_EQ(message.Caption, "警告");
        EXPECT_EQ(message.Flags, 0x30u);
    }
}

TEST_F(Runners, SuccessfulStatementsOpenTheConnectionOnceAndShowNothing)
{
    Form->FTargetConnection->SetConnectionString(ConnectionStrings::Master);
    Fake.Data.OnQuery = [](const std::string&) { return TResult{{"a"}, {{TFieldValue::FromInteger(1)}}}; };
    EXPECT_TRUE(Form->OpenQuery("select 1 as a"));
    EXPECT_TRUE(Form->ExecCommand("update t set a=1"));
    EXPECT_TRUE(Form->OpenCommonQuery("select 2 as a"));
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
    EXPECT_EQ(Fake.Data.Log, (std::vector<std::string>{"connect:" + std::string(ConnectionStrings::Master),
                                                       "query:select 1 as a", "exec:update t set a=1",
                                                       "query:select 2 as a"}));
}

TEST_F(Runners, OtherErrorsPassThroughWithoutABox)
{
    Fake.Data.OnQuery = [](const std::string&) -> TResult { throw EVelmoraError("内部错误"); };
    Fake.Data.OnExecute = [](const std::string&) { throw std::runtime_error("boom"); };
    EXPECT_THROW(Form->OpenQuery("select 1"), EVelmoraError);
    EXPECT_THROW(Form->ExecCommand("select 1"), std::runtime_error);
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
}

TEST_F(Runners, ReopeningAQueryDiscardsItsOldRows)
{
    Fake.Data.OnQuery = [](const std::string& sql) {
        if (sql == "first") {
            return TResult{{"n"}, {{TFieldValue::FromInteger(1)}, {TFieldValue::FromInteger(2)}}};
        }
        return TResult{{"m"}, {{TFieldValue::FromText("x")}}};
    };
    ASSERT_TRUE(Form->OpenQuery("first"));
    Form->FADOQuery->Next();
    ASSERT_TRUE(Form->OpenQuery("second"));
    EXPECT_EQ(Form->FADOQuery->RecordCount(), 1);
    EXPECT_EQ(Form->FADOQuery->FieldByName("M").AsString(), "x");
    EXPECT_THROW(Form->FADOQuery->FieldByName("n"), EVelmoraError);
}

TEST_F(Runners, TheTwoQueriesAreIndependent)
{
    Fake.Data.OnQuery = [](const std::string& sql) { return TResult{{"s"}, {{TFieldValue::FromText(sql)}}}; };
    ASSERT_TRUE(Form->OpenQuery("one"));
    ASSERT_TRUE(Form->OpenCommonQuery("two"));
    EXPECT_EQ(Form->FADOQuery->FieldByName("s").AsString(), "one");
    EXPECT_EQ(Form->CommonADOQuery->FieldByName("s").AsString(), "two");
}

}  // namespace
}  // namespace Velmora
