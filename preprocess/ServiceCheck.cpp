#include "preprocess/DealWithUFO.h"

namespace Velmora {

namespace {

constexpr const char* ServiceName = "MSSQLServer";
constexpr unsigned ScManagerEnumerateService = 0x0004;
// Most users may look at a service but only administrators may start it: the start
// right is asked for only when the service has to be started.
constexpr unsigned ServiceQuery = ServiceAccess::QueryStatus;
constexpr unsigned ServiceQueryAndStart = ServiceAccess::QueryStatus | ServiceAccess::Start;
constexpr unsigned PauseAfterStart = 2000;
// The start wait yields between status queries instead of spinning, and gives up
// on a service that never leaves start pending rather than hang the host.
constexpr unsigned StartPollInterval = 50;
constexpr std::uint64_t StartWaitLimit = 120000;

std::string ServiceOpenErrorText(IServiceControl& services, unsigned error)
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
        return "无法打开SQL SERVER数据库服务：" + services.ErrorText(error);
    }
}

// Why a service found in this state at the first look cannot be used now.
std::string UnusableStateText(unsigned state)
{
    switch (state) {
    case ServiceState::StartPending:
        return "SQL SERVER数据库服务正在启动，请稍候再试..";
    case ServiceState::StopPending:
        return "SQL SERVER数据库服务正在停止，请稍候再试..";
    case ServiceState::ContinuePending:
        return "SQL SERVER数据库服务正在恢复运行，请稍候再试..";
    case ServiceState::PausePending:
        return "SQL SERVER数据库服务正在暂停，请在服务管理中恢复运行后再试..";
    case ServiceState::Paused:
        return "SQL SERVER数据库服务已暂停，请在服务管理中恢复运行后再试..";
    default:
        return "SQL SERVER数据库服务处于未知状态（" + std::to_string(state) + "）..";
    }
}

std::string StateName(unsigned state)
{
    switch (state) {
    case ServiceState::Stopped:
        return "已停止";
    case ServiceState::StartPending:
        return "正在启动";
    case ServiceState::StopPending:
        return "正在停止";
    case ServiceState::Running:
        return "正在运行";
    case ServiceState::ContinuePending:
        return "正在恢复运行";
    case ServiceState::PausePending:
        return "正在暂停";
    case ServiceState::Paused:
        return "已暂停";
    default:
        return "未知（" + std::to_string(state) + "）";
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
    // Every way out with false has told the user why, in one box.
    auto refuse = [&](const std::string& text) {
        ShowMessage(text, DealWithUFOText::CaptionError, MsgBox::IconError);
        return false;
    };

    const TServiceHandle manager = services.OpenSCManager(ScManagerEnumerateService);
    TServiceHandleGuard managerGuard(services, manager);
    const TServiceHandle service = services.OpenService(manager, ServiceName, ServiceQuery);
    if (service == 0) return refuse(ServiceOpenErrorText(services, services.LastError()));
    TServiceHandleGuard serviceGuard(services, service);

    unsigned state = 0;
    auto query = [&] {
        if (services.QueryServiceStatus(service, state)) return true;
        refuse("无法查询SQL SERVER数据库服务的状态：" + services.ErrorText(services.LastError()));
        return false;
    };

    if (!query()) return false;
    if (state == ServiceState::Running) {
        SetStatusText(DealWithUFOText::StatusAlreadyRunning);
        return true;
    }
    if (state != ServiceState::Stopped) return refuse(UnusableStateText(state));

    const TServiceHandle starter = services.OpenService(manager, ServiceName, ServiceQueryAndStart);
    if (starter == 0) return refuse(ServiceOpenErrorText(services, services.LastError()));
    TServiceHandleGuard starterGuard(services, starter);

    SetStatusText(DealWithUFOText::StatusStarting);
    // Someone else starting it in the meantime is no failure: the wait below sees it run.
    if (!services.StartService(starter) && services.LastError() != ServiceError::ServiceAlreadyRunning) {
        return refuse("无法启动SQL SERVER数据库服务：" + services.ErrorText(services.LastError()));
    }
    const std::uint64_t waitStart = toolkit.TickCount();
    do {
        if (!query()) return false;
        if (state != ServiceState::StartPending) break;
        if (toolkit.TickCount() - waitStart >= StartWaitLimit) {
            return refuse("SQL SERVER数据库服务在120秒内没有完成启动..");
        }
        toolkit.ProcessMessages();
        toolkit.Sleep(StartPollInterval);
    } while (true);
    // The state that decides is the one after the wait, not the one that ended it.
    if (!query()) return false;
    toolkit.Sleep(PauseAfterStart);
    if (state != ServiceState::Running) {
        return refuse("SQL SERVER数据库服务没有启动成功，当前状态：" + StateName(state) + "..");
    }
    SetStatusText(DealWithUFOText::StatusStarted);
    return true;
}

}  // namespace Velmora
