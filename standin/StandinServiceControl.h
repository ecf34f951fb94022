#pragma once
// The service-control port for the stand-in server. Its state is one word in the
// file "service" of the server directory: running, stopped, paused, missing (not
// installed) or denied (the caller may not open it); no file means installed and
// stopped. A start passes through start pending ("starting <deadline>") and is
// moved on to running by the first status query after the deadline, so no thread
// is needed and another process sees the same state.

#include <set>
#include <string>

#include "platform/ServiceControl.h"

namespace Velmora {

class TStandinServiceControl : public IServiceControl {
public:
    explicit TStandinServiceControl(std::string serverDirectory, unsigned startDelayMs = 400);

    TServiceHandle OpenSCManager(unsigned access) override;
    TServiceHandle OpenService(TServiceHandle manager, const std::string& name, unsigned access) override;
    bool QueryServiceStatus(TServiceHandle service, unsigned& state) override;
    bool StartService(TServiceHandle service) override;
    bool CloseServiceHandle(TServiceHandle handle) override;
    unsigned LastError() const override { return FLastError; }

private:
    std::string FServerDirectory;
    unsigned FStartDelayMs;
    unsigned FLastError = 0;
    TServiceHandle FNextHandle = 0x1000;
    std::set<TServiceHandle> FManagers;
    std::set<TServiceHandle> FServices;

    bool Fail(unsigned error);
};

// Writes the stand-in's state (running, stopped, paused, missing, denied);
// EVelmoraError for any other word or when the file cannot be written.
void WriteServiceState(const std::string& serverDirectory, const std::string& state);

}  // namespace Velmora
