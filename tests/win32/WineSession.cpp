// Keeps one Wine session alive while a test script runs several Windows programs in
// turn: when the last Windows program of a session exits, Wine ends the session and
// with it the service manager and every running service.
//   WineSession hold      waits until released (at most 30 minutes)
//   WineSession release   lets the holder go

#include "platform/win32/Win32Api.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const wchar_t* eventName = L"VelmoraWineSessionRelease";
    if (argc == 2 && std::strcmp(argv[1], "hold") == 0) {
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, eventName);
        if (release == nullptr) return 1;
        WaitForSingleObject(release, 30 * 60 * 1000);
        CloseHandle(release);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "release") == 0) {
        HANDLE release = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
        if (release == nullptr) return 1;
        SetEvent(release);
        CloseHandle(release);
        return 0;
    }
    std::fprintf(stderr, "usage: WineSession hold|release\n");
    return 2;
}
