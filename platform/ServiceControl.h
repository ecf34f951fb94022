#pragma once
// The service-control port, shaped after the Service Control Manager calls the
// service check makes, so the check reads like the calls it stands for.

#include <cstdint>
#include <string>

namespace Velmora {

using TServiceHandle = std::uintptr_t;  // 0 = no handle

namespace ServiceState {
constexpr unsigned Stopped = 1;
constexpr unsigned StartPending = 2;
constexpr unsigned StopPending = 3;
constexpr unsigned Running = 4;
constexpr unsigned ContinuePending = 5;
constexpr unsigned PausePending = 6;
constexpr unsigned Paused = 7;
}  // namespace ServiceState

// Rights asked of a service when it is opened.
namespace ServiceAccess {
constexpr unsigned QueryConfig = 0x0001;
constexpr unsigned QueryStatus = 0x0004;
constexpr unsigned Start = 0x0010;
}  // namespace ServiceAccess

namespace ServiceError {
constexpr unsigned AccessDenied = 5;
constexpr unsigned InvalidHandle = 6;
constexpr unsigned InvalidName = 123;
constexpr unsigned ServiceAlreadyRunning = 1056;
constexpr unsigned ServiceDisabled = 1058;
constexpr unsigned ServiceDoesNotExist = 1060;
}  // namespace ServiceError

class IServiceControl {
public:
    virtual ~IServiceControl() = default;
    // Local machine, default service database. 0 on failure (see LastError).
    virtual TServiceHandle OpenSCManager(unsigned access) = 0;
    virtual TServiceHandle OpenService(TServiceHandle manager, const std::string& name, unsigned access) = 0;
    // False when the status cannot be read; state is then left alone.
    virtual bool QueryServiceStatus(TServiceHandle service, unsigned& state) = 0;
    virtual bool StartService(TServiceHandle service) = 0;
    virtual bool CloseServiceHandle(TServiceHandle handle) = 0;
    // The account the service runs as (its configured start name, such as
    // "NT AUTHORITY\\NetworkService"); the handle needs the query-config right.
    // False when it cannot be read (see LastError); account is then left alone. An
    // adapter that has no accounts answers false.
    virtual bool QueryServiceAccount(TServiceHandle service, std::string& account)
    {
        static_cast<void>(service);
        static_cast<void>(account);
        return false;
    }
    // The platform's error code of the last failed call.
    virtual unsigned LastError() const = 0;
    // The platform's own description of an error code (UTF-8, no line break at the
    // end), for the codes the service check has no fixed text for.
    virtual std::string ErrorText(unsigned error) const = 0;
};

}  // namespace Velmora
