#pragma once
// The Service Control Manager, called with the ANSI entry points the service check names.

#include "platform/ServiceControl.h"

namespace Velmora {

class TWin32ServiceControl : public IServiceControl {
public:
    TServiceHandle OpenSCManager(unsigned access) override;
    TServiceHandle OpenService(TServiceHandle manager, const std::string& name, unsigned access) override;
    bool QueryServiceStatus(TServiceHandle service, unsigned& state) override;
    bool StartService(TServiceHandle service) override;
    bool CloseServiceHandle(TServiceHandle handle) override;
    bool QueryServiceAccount(TServiceHandle service, std::string& account) override;
    unsigned LastError() const override { return FLastError; }
    std::string ErrorText(unsigned error) const override;

private:
    unsigned FLastError = 0;
};

}  // namespace Velmora
