#include <gtest/gtest.h>

#include <algorithm>

#include "plugin/HostContract.h"
#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;

// One check on fresh fakes, with what a test looks at afterwards.
struct TServiceRun : TRunFixture {
    bool Check() { return Form->EnsureSqlServer(); }
    void ExpectAllHandlesClosed() { EXPECT_TRUE(Fake.Services.OpenHandles.empty()); }
    bool Called(const std::string& call) const
    {
        const auto& calls = Fake.Services.Calls;
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
    // The one box the check showed, or "" when it showed none or several.
    std::string OnlyBox() const
    {
        const auto& boxes = Fake.Toolkit.Messages;
        if (boxes.size() != 1) return "";
        EXPECT_EQ(boxes[0].Caption, "错误");
        EXPECT_EQ(boxes[0].Flags, 0x10u);
        return boxes[0].Text;
    }
};

class ServiceCheck : public ::testing::Test, protected TServiceRun {};

TEST_F(ServiceCheck, RunningServiceIsOnlyLookedAtWithQueryRights)
{
    Fake.Services.States = {ServiceState::Running};
    Fake.Services.StartRightError = ServiceError::AccessDenied;  // a standard user
    EXPECT_TRUE(Check());
    EXPECT_EQ(Fake.Services.Calls,
              (std::vector<std::string>{"manager:4", "open:MSSQLServer:4", "query", "close:101", "close:100"}));
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
    EXPECT_EQ(Fake.Services.Queries, 5);               // first look, three in the wait, one after it
    ASSERT_FALSE(Fake.Toolkit.Sleeps.empty());
    EXPECT_EQ(Fake.Toolkit.Sleeps.back(), 2000u);
    for (std::size_t i = 0; i + 1 < Fake.Toolkit.Sleeps.size(); ++i) EXPECT_LE(Fake.Toolkit.Sleeps[i], 100u);
    // The start right is asked for only now, and the start goes through that handle.
    const auto& calls = Fake.Services.Calls;
    const auto reopen = std::find(calls.begin(), calls.end(), "open:MSSQLServer:20");
    ASSERT_NE(reopen, calls.end());
    EXPECT_LT(std::find(calls.begin(), calls.end(), "query"), reopen);
    EXPECT_LT(reopen, std::find(calls.begin(), calls.end(), "start"));
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, StartedIsShownOnlyAfterThePause)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::Running};
    Fake.Toolkit.ShowProgressDialog(*Form);  // runs the whole driver; we only look at the order of events
    const auto& events = Fake.Toolkit.Events;
    const auto starting = std::find(events.begin(), events.end(), "status:正在启动SQL SERVER数据库...");
    const auto pause = std::find(events.begin(), events.end(), "sleep:2000");
    const auto started = std::find(events.begin(), events.end(), "status:SQL SERVER数据库启动成功...");
    ASSERT_NE(started, events.end());
    EXPECT_LT(starting, pause);
    EXPECT_LT(pause, started);
    EXPECT_EQ(Fake.Toolkit.StatusTexts.front(), "数据源预处理请稍候...");
}

TEST_F(ServiceCheck, ServiceThatStopsAgainAfterTheWaitIsReported)
{
    // The wait ends on "running", but the look after it finds the service gone again.
    Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending, ServiceState::Running,
                            ServiceState::Stopped};
    EXPECT_FALSE(Check());
    EXPECT_EQ(OnlyBox(), "SQL SERVER数据库服务没有启动成功，当前状态：已停止..");
    EXPECT_EQ(Fake.Toolkit.Sleeps.back(), 2000u);  // the pause comes before the last look
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, StartThatNeverFinishesGivesUpAfterTwoMinutes)
{
    Fake.Services.States = {ServiceState::Stopped, ServiceState::StartPending};
    EXPECT_FALSE(Check());
    EXPECT_GE(Fake.Toolkit.Now, 120000u);
    EXPECT_LT(Fake.Toolkit.Now, 125000u);
    EXPECT_EQ(OnlyBox(), "SQL SERVER数据库服务在120秒内没有完成启动..");
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, UnusableStatesAtTheFirstLookAreExplained)
{
    const std::vector<std::pair<unsigned, std::string>> cases = {
        {ServiceState::Paused, "SQL SERVER数据库服务已暂停，请在服务管理中恢复运行后再试.."},
        {ServiceState::StartPending, "SQL SERVER数据库服务正在启动，请稍候再试.."},
        {ServiceState::StopPending, "SQL SERVER数据库服务正在停止，请稍候再试.."},
        {ServiceState::ContinuePending, "SQL SERVER数据库服务正在恢复运行，请稍候再试.."},
        {ServiceState::PausePending, "SQL SERVER数据库服务正在暂停，请在服务管理中恢复运行后再试.."},
        {9, "SQL SERVER数据库服务处于未知状态（9）.."},
    };
    for (const auto& [state, text] : cases) {
        TServiceRun run;
        run.Fake.Services.States = {state};
        EXPECT_FALSE(run.Check()) << state;
        EXPECT_EQ(run.OnlyBox(), text) << state;
        EXPECT_EQ(run.Fake.Services.Queries, 1) << state;
        EXPECT_FALSE(run.Called("start")) << state;
        EXPECT_TRUE(run.Fake.Services.OpenHandles.empty()) << state;
    }
}

TEST_F(ServiceCheck, StoppedServiceWithoutStartRightsGivesTheAccessBox)
{
    Fake.Services.States = {ServiceState::Stopped};
    Fake.Services.StartRightError = ServiceError::AccessDenied;
    EXPECT_FALSE(Check());
    EXPECT_EQ(OnlyBox(), "没有访问服务的权限..");
    EXPECT_FALSE(Called("start"));
    EXPECT_NE(Form->StatusText(), "正在启动SQL SERVER数据库...");
    ExpectAllHandlesClosed();
}

TEST_F(ServiceCheck, RefusedStartIsExplainedAndTheHostGetsZero)
{
    Fakes::TFakePlatform host;
    host.Services.States = {ServiceState::Stopped};
    host.Services.StartError = ServiceError::ServiceDisabled;
    Fakes::TFakeResultString result;
    RunDoIt(host.Platform, host.RunLock, result, 0x5150, "D:\\host\\", "D:\\a.bak", "2025");
    EXPECT_EQ(result.Value, "0");
    ASSERT_EQ(host.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(host.Toolkit.Messages[0].Text, "无法启动SQL SERVER数据库服务：<system text 1058>");
    EXPECT_EQ(host.Toolkit.Messages[0].Caption, "错误");
    EXPECT_EQ(std::count(host.Toolkit.Sleeps.begin(), host.Toolkit.Sleeps.end(), 2000u), 0);
    EXPECT_TRUE(host.Services.OpenHandles.empty());

    // Started by someone else between the look and the start: not a failure.
    TServiceRun raced;
    raced.Fake.Services.States = {ServiceState::Stopped, ServiceState::Running};
    raced.Fake.Services.StartError = ServiceError::ServiceAlreadyRunning;
    EXPECT_TRUE(raced.Check());
    EXPECT_TRUE(raced.Fake.Toolkit.Messages.empty());
}

TEST_F(ServiceCheck, StatusThatCannotBeReadIsExplained)
{
    for (int failingQuery : {1, 2, 3}) {  // the first look, in the wait, after it
        TServiceRun run;
        run.Fake.Services.States = {ServiceState::Stopped, ServiceState::Running};
        run.Fake.Services.QueryError = 13;
        run.Fake.Services.QueryFailsAt = failingQuery;
        EXPECT_FALSE(run.Check()) << failingQuery;
        EXPECT_EQ(run.OnlyBox(), "无法查询SQL SERVER数据库服务的状态：<system text 13>") << failingQuery;
        EXPECT_EQ(run.Fake.Services.Queries, failingQuery);
        EXPECT_TRUE(run.Fake.Services.OpenHandles.empty()) << failingQuery;
    }
}

TEST_F(ServiceCheck, OpenFailuresShowTheTextForTheirCode)
{
    const std::vector<std::pair<unsigned, std::string>> cases = {
        {5, "没有访问服务的权限.."},
        {6, "无效的服务句柄.."},
        {123, "无效的服务名.."},
        {1060, "此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K.."},
        {1066, "无法打开SQL SERVER数据库服务：<system text 1066>"},
    };
    for (const auto& [code, text] : cases) {
        TServiceRun run;
        run.Fake.Services.OpenError = code;
        EXPECT_FALSE(run.Check());
        EXPECT_EQ(run.OnlyBox(), text) << code;
        EXPECT_TRUE(run.Fake.Services.OpenHandles.empty()) << code;
        EXPECT_EQ(run.Fake.Services.Queries, 0);
    }
}

}  // namespace
}  // namespace Velmora
