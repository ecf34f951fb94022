// A stand-in for the database server's service, for the Windows tests: installed as
// "MSSQLServer" (own process, demand start), it reports start pending for a moment,
// then running, and stops when asked.

#include "platform/win32/Win32Api.h"

#include <cstdio>

namespace {

SERVICE_STATUS_HANDLE StatusHandle = nullptr;
HANDLE StopEvent = nullptr;
SERVICE_STATUS Status{};

void Report(DWORD state, DWORD waitHint = 0)
{
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    Status.dwWin32ExitCode = NO_ERROR;
    Status.dwWaitHint = waitHint;
    Status.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : Status.dwCheckPoint + 1;
    SetServiceStatus(StatusHandle, &Status);
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING, 1000);
        SetEvent(StopEvent);
        return NO_ERROR;
    }
    if (control == SERVICE_CONTROL_INTERROGATE) return NO_ERROR;
    return ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, wchar_t**)
{
    StatusHandle = RegisterServiceCtrlHandlerExW(L"MSSQLServer", &Control, nullptr);
    if (StatusHandle == nullptr) return;
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Long enough for a watcher to see the "starting" status line.
    Report(SERVICE_START_PENDING, 3000);
    Sleep(600);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(StopEvent, INFINITE);
    Report(SERVICE_STOPPED);
}

}  // namespace

int main()
{
    wchar_t name[] = L"MSSQLServer";
    SERVICE_TABLE_ENTRYW table[] = {{name, &ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        std::fprintf(stderr, "This program runs as a service only (error %lu).\n", GetLastError());
        return 1;
    }
    return 0;
}
