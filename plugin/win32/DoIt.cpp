// The library's only export. The host declares it as
//   procedure DoIt(var Result: WideString; HostWindow: HWND; HostFolder, BackupFile, Year: PAnsiChar); stdcall;
// and finds it by its plain name (see Velmora.def.in).

#include "platform/win32/Win32Toolkit.h"
#include "plugin/win32/Win32Entry.h"

extern "C" void __stdcall DoIt(BSTR* Result, HWND HostWindow, const char* HostFolder, const char* BackupFile,
                               const char* Year)
{
    try {
        // One toolkit for the life of the library: it carries the application window
        // from call to call.
        static Velmora::TWin32Toolkit toolkit;
        Velmora::Win32DoIt(toolkit, Result, HostWindow, HostFolder, BackupFile, Year);
    } catch (...) {
        // Only the toolkit's construction can get here; the result is left as it was.
    }
}
