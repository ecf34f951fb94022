#include <gtest/gtest.h>

#include <algorithm>

#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;

class ServiceCheck : public ::testing::Test, protected TRunFixture {
protected:
    bool Check() { return Form->EnsureSqlServer(); }
    void ExpectAllHandlesClosed() { EXPECT_TRUE(Fake.Services.OpenHandles.empty()); }
};

TEST_F(ServiceCheck, AsksForEnumerateOnTheManagerAndQueryAndStartOnTheService)
{
    Check();
    ASSERT_GE(Fake.Services.Calls.size(), 2u);
    EXPECT_EQ(Fake.Services.Calls[0], "manager:4");
    EXPECT_EQ(Fake.Services.Calls[1], "open:MSSQLServer:20");
}

TEST_F(ServiceCheck, AlreadyRunningNeedsOneQueryAndNoPause)
{
    Fake.Services.States = {ServiceState::Running};
    EXPECT_TRUE(Check());
    EXPECT_EQ(Fake.Services.Queries, 1);
    EXPECT_EQ(Form->StatusText(), "SQL SERVER数据库已经启动...");
    EXPECT_TRUE(Fake.Toolkit.Sleeps.empty());
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, StoppedServiceIsStartedAndWaitedFor)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending, ServiceState::StartPending,
                            ServiceState::Running};
    std::vector<std::string> statusDuringWait;
    Fake.Toolkit.OnProcessMessages = [&] { statusDuringWait.push_back(Form->StatusText()); };

    EXPECT_TRUE(Check());

    EXPECT_EQ(Form->StatusText(), "SQL SERVER数据库启动成功...");
    ASSERT_FALSE(statusDuringWait.empty());
    EXPECT_EQ(statusDuringWait.front(), "正在启动SQL SERVER数据库...");
    EXPECT_EQ(Fake.Toolkit.ProcessMessagesCalls, 2);  // once per pending answer
    ASSERT_FALSE(Fake.Toolkit.Sleeps.empty());
    EXPECT_EQ(Fake.Toolkit.Sleeps.back(), 2000u);
    for (std::size_t i = 0; i + 1 < Fake.Toolkit.Sleeps.size(); ++i) EXPECT_LE(Fake.Toolkit.Sleeps[i], 100u);
    const auto start = std::find(Fake.Services.Calls.begin(), Fake.Services.Calls.end(), "start");
    EXPECT_NE(start, Fake.Services.Calls.end());
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, StatusLineShowsStartingBeforeStarted)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::Running};
    Fake.Toolkit.ShowProgressDialog(*Form);  // runs the whole driver; we only look at the order of texts
    const auto& texts = Fake.Toolkit.StatusTexts;
    const auto starting = std::find(texts.begin(), texts.end(), "正在启动SQL SERVER数据库...");
    const auto started = std::find(texts.begin(), texts.end(), "SQL SERVER数据库启动成功...");
    ASSERT_NE(starting, texts.end());
    ASSERT_NE(started, texts.end());
    EXPECT_LT(starting, started);
    EXPECT_EQ(texts.front(), "数据源预处理请稍候...");
}

TEST_F(ServiceCheck, ServiceThatFailsToStartAnswersFalseSilently)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending, ServiceState::Stopped};
    EXPECT_FALSE(Check());
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
    EXPECT_EQ(Fake.Toolkit.Sleeps.back(), 2000u);  // the pause comes before the last look
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, StartThatNeverFinishesGivesUpAfterTwoMinutes)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending};
    EXPECT_FALSE(Check());
    EXPECT_GE(Fake.Toolkit.Now, 120000u);
    EXPECT_LT(Fake.Toolkit.Now, 125000u);
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, UnexpectedStatesAnswerFalseWithoutMessage)
{
    for (unsigned state : {ServiceState::Paused, ServiceState::StartPending, ServiceState::StopPending}) {
        TRunFixture run;
        run.Fake.Services.States = {state};
        EXPECT_FALSE(run.Form->EnsureSqlServer()) << state;
        EXPECT_TRUE(run.Fake.Toolkit.Messages.empty()) << state;
        EXPECT_TRUE(run.Fake.Services.OpenHandles.empty()) << state;
        EXPECT_EQ(run.Fake.Services.Queries, 1) << state;
    }
}

TEST_F(ServiceCheck, OpenFailuresShowTheTextForTheirCode)
{
    const std::vector<std::pair<unsigned, std::string>> cases = {
        {5, "没有访问服务的权限.."},
        {6, "无效的服务句柄.."},
        {123, "无效的服务名.."},
        {1060, "此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K.."},
        {1066, ""},
    };
    for (const auto& [code, text] : cases) {
        TRunFixture run;
        run.Fake.Services.OpenError = code;
        EXPECT_FALSE(run.Form->EnsureSqlServer());
        ASSERT_EQ(run.Fake.Toolkit.Messages.size(), 1u) << code;
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Text, text) << code;
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Caption, "错误");
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Flags, 0x10u);
        EXPECT_TRUE(run.Fake.Services.OpenHandles.empty()) << code;
        EXPECT_EQ(run.Fake.Services.Queries, 0);
    }
}

}  // namespace
}  // namespace Velmora
