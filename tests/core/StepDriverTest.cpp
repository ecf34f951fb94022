#include <gtest/gtest.h>

#include <algorithm>

#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;
using TResult = Fakes::TFakeDatabase::TResult;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A whole run on fakes: a running service, a backup of one set, a server that
// accepts everything and a database with no accounts.
class StepDriver : public ::testing::Test, protected TRunFixture {
protected:
    void SetUp() override
    {
        Fake.Files.Contents[Form->FSourceFile] = std::string(3000, 'b');
        Fake.Data.OnQuery = [](const std::string& sql) {
            if (StartsWith(sql, "RESTORE HEADERONLY")) {
                return TResult{{"Position", "DatabaseName"},
                               {{TFieldValue::FromInteger(1), TFieldValue::FromText("UFDATA")}}};
            }
            if (StartsWith(sql, "Restore FileListOnly")) {
                return TResult{{"LogicalName", "Type"},
                               {{TFieldValue::FromText("D1"), TFieldValue::FromText("D")},
                                {TFieldValue::FromText("L1"), TFieldValue::FromText("L")}}};
            }
            return TResult{{"fchrAccount", "kmfx", "j", "d"}, {}};
        };
    }

    int Run() { return Form->ShowModal(); }
    bool Restored() const
    {
        return std::any_of(Fake.Data.Log.begin(), Fake.Data.Log.end(),
                           [](const std::string& e) { return StartsWith(e, "exec:restore database"); });
    }
    bool LedgerReached() const
    {
        return std::find(Fake.Data.Log.begin(), Fake.Data.Log.end(),
                         "connect:" + std::string(ConnectionStrings::Ufdata)) != Fake.Data.Log.end();
    }
};

TEST_F(StepDriver, TimerIsArmedWhenTheFormIsBuiltAndFiresOnce)
{
    EXPECT_EQ(Fake.Toolkit.TimerIntervalMs, 1000u);
    ASSERT_TRUE(Form->StartTimer->Enabled());
    Fake.Services.OpenError = 1060;
    Run();
    EXPECT_TRUE(Fake.Toolkit.TimerEnabledWhenShown);
    EXPECT_FALSE(Form->StartTimer->Enabled());
    EXPECT_EQ(std::count(Fake.Services.Calls.begin(), Fake.Services.Calls.end(), "manager:4"), 1);
}

TEST_F(StepDriver, ServiceFailureStopsBeforeTheCopy)
{
    Fake.Services.OpenError = 1060;
    EXPECT_EQ(Run(), mrCancel);
    EXPECT_TRUE(Fake.Files.ReadRequests.empty());
    EXPECT_TRUE(Fake.Data.Log.empty());
    EXPECT_TRUE(Fake.Toolkit.Sleeps.empty());
}

TEST_F(StepDriver, CopyFailureStopsBeforeTheRestore)
{
    Fake.Files.FailWriteAt = 1025;
    EXPECT_EQ(Run(), mrCancel);
    EXPECT_TRUE(Fake.Data.Log.empty());
    EXPECT_EQ(Form->FTempFile, "D:\\host\\TempLateTemp\\ufdatawk.temp");
    EXPECT_EQ(Fake.Toolkit.Sleeps, (std::vector<unsigned>{2000}));
}

TEST_F(StepDriver, RestoreFailureStopsBeforeTheLedger)
{
    Fake.Data.OnExecute = [](const std::string& sql) {
        if (StartsWith(sql, "restore database")) throw EProviderError("damaged");
    };
    EXPECT_EQ(Run(), mrCancel);
    EXPECT_FALSE(LedgerReached());
    EXPECT_EQ(Fake.Toolkit.Sleeps, (std::vector<unsigned>{2000}));
}

TEST_F(StepDriver, PausesComeAfterTheServiceCheckAndAfterTheRestore)
{
    Run();
    ASSERT_TRUE(Restored());
    const auto& events = Fake.Toolkit.Events;
    std::vector<std::string> milestones;
    for (const auto& e : events) {
        if (e == "sleep:2000" || e == "status:还原数据库文件......" || e == "status:SQL SERVER数据库已经启动..." ||
            e == "percent:100") {
            milestones.push_back(e);
        }
    }
    EXPECT_EQ(milestones, (std::vector<std::string>{"status:SQL SERVER数据库已经启动...", "sleep:2000", "percent:100",
                                                    "status:还原数据库文件......", "sleep:2000"}));
}

TEST_F(StepDriver, FailureNoStepAnswersForEndsTheRunWithOneErrorBox)
{
    Fake.Files.Contents.clear();  // the backup file is missing
    EXPECT_EQ(Run(), mrCancel);
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "错误");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Flags, 0x10u);
    EXPECT_NE(Fake.Toolkit.Messages[0].Text.find("C:\\backup\\ufdata.bak"), std::string::npos);
    EXPECT_FALSE(Form->StartTimer->Enabled());
}

TEST_F(StepDriver, AnythingThrownEndsTheRunTheSameWay)
{
    Fake.Toolkit.OnProcessMessages = [] { throw 42; };
    EXPECT_EQ(Run(), mrCancel);
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u) << "inside the copy loop any failure is the copy's own";
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text, "复制备份文件失败：未知错误");

    TRunFixture again;
    again.Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending};
    again.Fake.Toolkit.OnProcessMessages = [] { throw std::bad_alloc(); };
    EXPECT_EQ(again.Form->ShowModal(), mrCancel);
    ASSERT_EQ(again.Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(again.Fake.Toolkit.Messages[0].Text, "数据源预处理中断：内存不足");
}

TEST_F(StepDriver, YearThatIsNotANumberIsFoundBeforeAnyWork)
{
    for (const char* year : {"", "2O25", "２０２５", "2025.0"}) {
        TRunFixture run;
        run.Form->FYear = year;
        EXPECT_EQ(run.Form->ShowModal(), mrCancel) << year;
        ASSERT_EQ(run.Fake.Toolkit.Messages.size(), 1u) << year;
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Caption, "错误");
        EXPECT_NE(run.Fake.Toolkit.Messages[0].Text.find(std::string("“") + year + "”"), std::string::npos);
        EXPECT_TRUE(run.Fake.Services.Calls.empty()) << year;
    }
}

}  // namespace
}  // namespace Velmora
