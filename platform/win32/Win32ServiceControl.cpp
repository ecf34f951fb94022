#include "platform/win32/Win32ServiceControl.h"

#include "platform/win32/Win32Api.h"

namespace Velmora {

namespace {

SC_HANDLE ToHandle(TServiceHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
TServiceHandle FromHandle(SC_HANDLE handle) { return reinterpret_cast<TServiceHandle>(handle); }

}  // namespace

// The last error is taken right after each call, before anything else can change it.

TServiceHandle TWin32ServiceControl::OpenSCManager(unsigned access)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, access);
    if (manager == nullptr) FLastError = GetLastError();
    return FromHandle(manager);
}

TServiceHandle TWin32ServiceControl::OpenService(TServiceHandle manager, const std::string& name, unsigned access)
{
    SC_HANDLE service = OpenServiceA(ToHandle(manager), name.c_str(), access);
    if (service == nullptr) FLastError = GetLastError();
    return FromHandle(service);
}

bool TWin32ServiceControl::QueryServiceStatus(TServiceHandle service, unsigned& state)
{
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(ToHandle(service), &status)) {
        FLastError = GetLastError();
        return false;
    }
    state = status.dwCurrentState;
    return true;
}

bool TWin32ServiceControl::StartService(TServiceHandle service)
{
    if (!StartServiceA(ToHandle(service), 0, nullptr)) {
        FLastError = GetLastError();
        return false;
    }
    return true;
}

bool TWin32ServiceControl::CloseServiceHandle(TServiceHandle handle)
{
    if (!::CloseServiceHandle(ToHandle(handle))) {
        FLastError = GetLastError();
        return false;
    }
    return true;
}

// FormatMessage in the user's language, so the box reads as the system's own dialogs do.
std::string TWin32ServiceControl::ErrorText(unsigned error) const { return SystemErrorText(error); }

}  // namespace Velmora
