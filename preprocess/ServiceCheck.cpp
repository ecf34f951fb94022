#include "preprocess/DealWithUFO.h"

namespace Velmora {

namespace {

constexpr const char* ServiceName = "MSSQLServer";
constexpr unsigned ScManagerEnumerateService = 0x0004;
constexpr unsigned ServiceQueryStatusAndStart = 0x0014;
constexpr unsigned PauseAfterStart = 2000;
// The start wait yields between status queries instead of spinning, and gives up
// on a service that never leaves start pending rather than hang the host.
constexpr unsigned StartPollInterval = 50;
constexpr std::uint64_t StartWaitLimit = 120000;

std::string ServiceOpenErrorText(unsigned error)
{
    switch (error) {
    case ServiceError::AccessDenied:
        return "没有访问服务的权限..";
    case ServiceError::InvalidHandle:
        return "无效的服务句柄..";
    case ServiceError::InvalidName:
        return "无效的服务名..";
    case ServiceError::ServiceDoesNotExist:
        return "此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K..";
    default:
        return std::string();
    }
}

// Closes a service-manager handle on every way out of the check.
class TServiceHandleGuard {
public:
    TServiceHandleGuard(IServiceControl& services, TServiceHandle handle) : FServices(services), FHandle(handle) {}
    ~TServiceHandleGuard()
    {
        if (FHandle != 0) FServices.CloseServiceHandle(FHandle);
    }
    TServiceHandleGuard(const TServiceHandleGuard&) = delete;
    TServiceHandleGuard& operator=(const TServiceHandleGuard&) = delete;

private:
    IServiceControl& FServices;
    TServiceHandle FHandle;
};

}  // namespace

bool TForm_DealWithUFO::EnsureSqlServer()
{
    IServiceControl& services = FPlatform.Services;
    IToolkit& toolkit = FPlatform.Toolkit;

    const TServiceHandle manager = services.OpenSCManager(ScManagerEnumerateService);
    TServiceHandleGuard managerGuard(services, manager);
    const TServiceHandle service = services.OpenService(manager, ServiceName, ServiceQueryStatusAndStart);
    if (service == 0) {
        const unsigned error = services.LastError();
        ShowMessage(ServiceOpenErrorText(error), DealWithUFOText::CaptionError, MsgBox::IconError);
        return false;
    }
    TServiceHandleGuard serviceGuard(services, service);

    auto queryState = [&] {
        unsigned state = 0;
        return services.QueryServiceStatus(service, state) ? state : 0u;
    };

    const unsigned state = queryState();
    if (state == ServiceState::Running) {
        SetStatusText(DealWithUFOText::StatusAlreadyRunning);
        return true;
    }
    if (state != ServiceState::Stopped) return false;

    SetStatusText(DealWithUFOText::StatusStarting);
    services.StartService(service);
    const std::uint64_t waitStart = toolkit.TickCount();
    while (queryState() == ServiceState::StartPending) {
        if (toolkit.TickCount() - waitStart >= StartWaitLimit) return false;
        toolkit.ProcessMessages();
        toolkit.Sleep(StartPollInterval);
    }
    const unsigned finalState = queryState();
    toolkit.Sleep(PauseAfterStart);
    if (finalState != ServiceState::Running) return false;
    SetStatusText(DealWithUFOText::StatusStarted);
    return true;
}

}  // namespace Velmora
