// The stand-in's service state as the service check sees it through the port.

#include <chrono>
#include <thread>

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/StandinServiceControl.h"

namespace Velmora::StandinTests {
namespace {

class ServiceControlTest : public TStandinTest {
protected:
    TServiceHandle Open(Standin::TStandinServiceControl& services, const std::string& name = "MSSQLServer")
    {
        const TServiceHandle manager = services.OpenSCManager(4);
        EXPECT_NE(manager, 0u);
        return services.OpenService(manager, name, 0x14);
    }

    unsigned State(Standin::TStandinServiceControl& services, TServiceHandle service)
    {
        unsigned state = 0;
        EXPECT_TRUE(services.QueryServiceStatus(service, state));
        return state;
    }
};

TEST_F(ServiceControlTest, EachWordGivesItsState)
{
    Standin::TStandinServiceControl services(ServerDir);
    const struct {
        const char* Word;
        unsigned State;
    } cases[] = {{"running", ServiceState::Running}, {"stopped", ServiceState::Stopped}, {"paused", ServiceState::Paused}};
    for (const auto& c : cases) {
        Standin::WriteServiceState(ServerDir, c.Word);
        const TServiceHandle service = Open(services);
        ASSERT_NE(service, 0u) << c.Word;
        EXPECT_EQ(State(services, service), c.State) << c.Word;
        EXPECT_TRUE(services.CloseServiceHandle(service));
    }
}

TEST_F(ServiceControlTest, NoFileMeansInstalledAndStopped)
{
    Standin::TStandinServiceControl services(ServerDir);
    const TServiceHandle service = Open(services);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(State(services, service), ServiceState::Stopped);
}

TEST_F(ServiceControlTest, MissingDeniedAndOtherNamesFailToOpenWithTheirCodes)
{
    Standin::TStandinServiceControl services(ServerDir);
    Standin::WriteServiceState(ServerDir, "missing");
    EXPECT_EQ(Open(services), 0u);
    EXPECT_EQ(services.LastError(), ServiceError::ServiceDoesNotExist);
    Standin::WriteServiceState(ServerDir, "denied");
    EXPECT_EQ(Open(services), 0u);
    EXPECT_EQ(services.LastError(), ServiceError::AccessDenied);
    Standin::WriteServiceState(ServerDir, "running");
    EXPECT_EQ(Open(services, "MSSQL$OTHER"), 0u);
    EXPECT_EQ(services.LastError(), ServiceError::ServiceDoesNotExist);
    EXPECT_NE(Open(services, "mssqlserver"), 0u);  // service names ignore case
    EXPECT_EQ(services.OpenService(0, "MSSQLServer", 0x14), 0u);
    EXPECT_EQ(services.LastError(), ServiceError::InvalidHandle);
}

TEST_F(ServiceControlTest, StartPassesThroughStartPendingThenRuns)
{
    Standin::TStandinServiceControl services(ServerDir, 50);
    Standin::WriteServiceState(ServerDir, "stopped");
    const TServiceHandle service = Open(services);
    ASSERT_TRUE(services.StartService(service));
    EXPECT_EQ(State(services, service), ServiceState::StartPending);
    // Another process sees the same pending start.
    Standin::TStandinServiceControl other(ServerDir);
    EXPECT_EQ(State(other, Open(other)), ServiceState::StartPending);
    while (State(services, service) == ServiceState::StartPending) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(State(services, service), ServiceState::Running);
    EXPECT_EQ(ReadBytes(std::filesystem::path(ServerDir) / "service"), "running\n");
    // A running service cannot be started again.
    EXPECT_FALSE(services.StartService(service));
    EXPECT_EQ(services.LastError(), 1056u);
}

TEST_F(ServiceControlTest, DefaultStartTakesAFewHundredMilliseconds)
{
    Standin::TStandinServiceControl services(ServerDir);
    const TServiceHandle service = Open(services);
    ASSERT_TRUE(services.StartService(service));
    const std::string pending = ReadBytes(std::filesystem::path(ServerDir) / "service");
    ASSERT_EQ(pending.rfind("starting ", 0), 0u) << pending;
    const long long deadline = std::stoll(pending.substr(9));
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    EXPECT_GE(deadline - now, 100);
    EXPECT_LE(deadline - now, 1000);
    // A deadline in the past is moved on by the next query.
    WriteText(std::filesystem::path(ServerDir) / "service", "starting " + std::to_string(now - 1) + "\n");
    EXPECT_EQ(State(services, service), ServiceState::Running);
}

TEST_F(ServiceControlTest, WriteServiceStateRejectsUnknownWords)
{
    for (const char* bad : {"sleeping", "refused", "refused 0", "refused x5", "refused 5 6", "refused 4294967296",
                            "running 5"}) {
        EXPECT_THROW(Standin::WriteServiceState(ServerDir, bad), EVelmoraError) << bad;
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(ServerDir) / "service"));
    Standin::WriteServiceState(ServerDir, "RUNNING");
    EXPECT_EQ(ReadBytes(std::filesystem::path(ServerDir) / "service"), "running\n");
    Standin::WriteServiceState(ServerDir, "Refused 1058");
    EXPECT_EQ(ReadBytes(std::filesystem::path(ServerDir) / "service"), "refused 1058\n");
}

TEST_F(ServiceControlTest, RefusedStartFailsWithItsCode)
{
    Standin::TStandinServiceControl services(ServerDir);
    Standin::WriteServiceState(ServerDir, "refused 1058");
    const TServiceHandle service = Open(services);
    ASSERT_NE(service, 0u);
    EXPECT_EQ(State(services, service), ServiceState::Stopped);
    EXPECT_FALSE(services.StartService(service));
    EXPECT_EQ(services.LastError(), 1058u);
    EXPECT_THAT(services.ErrorText(1058), ::testing::HasSubstr("禁用"));
    EXPECT_EQ(State(services, service), ServiceState::Stopped);

    // Refused for want of rights: looking is allowed, opening to start is not.
    Standin::WriteServiceState(ServerDir, "refused 5");
    const TServiceHandle manager = services.OpenSCManager(4);
    const TServiceHandle lookOnly = services.OpenService(manager, "MSSQLServer", 4);
    ASSERT_NE(lookOnly, 0u);
    EXPECT_EQ(State(services, lookOnly), ServiceState::Stopped);
    EXPECT_FALSE(services.StartService(lookOnly));  // a handle answers only for its rights
    EXPECT_EQ(services.LastError(), ServiceError::AccessDenied);
    EXPECT_EQ(services.OpenService(manager, "MSSQLServer", 0x14), 0u);
    EXPECT_EQ(services.LastError(), ServiceError::AccessDenied);
}

TEST_F(ServiceControlTest, StateFileThatMakesNoSenseIsNamedInTheError)
{
    Standin::TStandinServiceControl services(ServerDir);
    const TServiceHandle service = Open(services);
    const std::filesystem::path file = std::filesystem::path(ServerDir) / "service";
    std::filesystem::create_directories(ServerDir);
    for (const char* text : {"sleeping\n", "starting soon\n", "refused\n", ""}) {
        WriteText(file, text);
        unsigned state = 99;
        EXPECT_FALSE(services.QueryServiceStatus(service, state)) << text;
        EXPECT_EQ(state, 99u);
        EXPECT_THAT(services.ErrorText(services.LastError()), ::testing::HasSubstr(file.string())) << text;
        EXPECT_FALSE(services.StartService(service)) << text;
        EXPECT_EQ(ReadBytes(file), text) << "a start leaves a file it cannot read alone";
    }
    EXPECT_THAT(services.ErrorText(services.LastError()), ::testing::HasSubstr("running、stopped"));
    // An unknown word is shown by its first bytes only.
    WriteText(file, std::string(1 << 20, 'w'));
    unsigned state = 99;
    EXPECT_FALSE(services.QueryServiceStatus(service, state));
    EXPECT_THAT(services.ErrorText(services.LastError()), ::testing::HasSubstr("“" + std::string(32, 'w') + "…”"));
    // A code of its own is described without the last failure's words.
    EXPECT_THAT(services.ErrorText(1060), ::testing::Not(::testing::HasSubstr(file.string())));
}

TEST_F(ServiceControlTest, ClosedOrUnknownHandlesAreRefused)
{
    Standin::TStandinServiceControl services(ServerDir);
    const TServiceHandle service = Open(services);
    EXPECT_TRUE(services.CloseServiceHandle(service));
    unsigned state = 99;
    EXPECT_FALSE(services.QueryServiceStatus(service, state));
    EXPECT_EQ(state, 99u);
    EXPECT_EQ(services.LastError(), ServiceError::InvalidHandle);
    EXPECT_FALSE(services.CloseServiceHandle(service));
}

}  // namespace
}  // namespace Velmora::StandinTests
