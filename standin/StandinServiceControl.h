#pragma once
// The service-control port for the stand-in server. Its state is one word in the
// file "service" of the server directory: running, stopped, paused, missing (not
// installed), denied (the caller may not open it) or "refused N" (stopped, and a
// start is refused with error N; with 5 the caller may open it only to look, as a
// standard user on Windows); no file means installed and stopped. A start passes through start pending ("starting <deadline>") and is
// moved on to running by the first status query after the deadline, so no thread
// is needed and another process sees the same state.

#include <map>
#include <set>
#include <string>

#include "platform/ServiceControl.h"

namespace Velmora::Standin {

class TStandinServiceControl : public IServiceControl {
public:
    explicit TStandinServiceControl(std::string serverDirectory, unsigned startDelayMs = 400);

    TServiceHandle OpenSCManager(unsigned access) override;
    TServiceHandle OpenService(TServiceHandle manager, const std::string& name, unsigned access) override;
    bool QueryServiceStatus(TServiceHandle service, unsigned& state) override;
    bool StartService(TServiceHandle service) override;
    bool CloseServiceHandle(TServiceHandle handle) override;
    // The first line of the file "account" of the server directory; without the
    // file the account SQL Server 2000 installs with by default.
    bool QueryServiceAccount(TServiceHandle service, std::string& account) override;
    unsigned LastError() const override { return FLastError; }
    // The last failure's own words when it has them (a state file that makes no sense).
    std::string ErrorText(unsigned error) const override;

private:
    std::string FServerDirectory;
    unsigned FStartDelayMs;
    unsigned FLastError = 0;
    std::string FLastProblem;
    TServiceHandle FNextHandle = 0x1000;
    std::set<TServiceHandle> FManagers;
    std::map<TServiceHandle, unsigned> FServices;  // with the rights each was opened with

    bool Fail(unsigned error, std::string problem = std::string());
};

// Writes the stand-in's state (running, stopped, paused, missing, denied, "refused N");
// EVelmoraError for any other word or when the file cannot be written.
void WriteServiceState(const std::string& serverDirectory, const std::string& state);

}  // namespace Velmora::Standin
