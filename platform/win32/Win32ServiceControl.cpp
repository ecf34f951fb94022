#include "platform/win32/Win32ServiceControl.h"

#include <vector>

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

// The start name is wide: an account's name may hold any character.
bool TWin32ServiceControl::QueryServiceAccount(TServiceHandle service, std::string& account)
{
    DWORD needed = 0;
    QueryServiceConfigW(ToHandle(service), nullptr, 0, &needed);
    const DWORD sizeError = GetLastError();
    if (sizeError != ERROR_INSUFFICIENT_BUFFER) {
        FLastError = sizeError;
        return false;
    }
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(ToHandle(service), config, needed, &needed)) {
        FLastError = GetLastError();
        return false;
    }
    // No start name at all means the system's own account.
    account = config->lpServiceStartName != nullptr && config->lpServiceStartName[0] != L'\0'
                  ? FromWide(std::wstring(config->lpServiceStartName))
                  : std::string("LocalSystem");
    return true;
}

// FormatMessage in the user's language, so the box reads as the system's own dialogs do.
std::string TWin32ServiceControl::ErrorText(unsigned error) const { return SystemErrorText(error); }

}  // namespace Velmora
