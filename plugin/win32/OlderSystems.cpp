// Windows XP and Server 2003 refuse to load a DLL that imports a function they lack.
// The C++ runtime linked into the DLL (its POSIX thread library, built for Vista)
// calls GetTickCount64 when it waits with a time limit; the import slot it calls
// through is defined here, pointing at a count that works on every system, so the
// linker takes this slot and the DLL never imports the function from kernel32.
// Only the DLL's own calls go through it: nothing else in the process is touched.

#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Ticks.h"

namespace {

ULONGLONG WINAPI TickCountOnAnySystem() { return Velmora::TickCount64(); }

using TGetTickCount64 = ULONGLONG(WINAPI*)();

}  // namespace

#if defined(__i386__)
extern "C" TGetTickCount64 VelmoraGetTickCount64Slot __asm__("__imp__GetTickCount64@0");
#else
extern "C" TGetTickCount64 VelmoraGetTickCount64Slot __asm__("__imp_GetTickCount64");
#endif
extern "C" {
TGetTickCount64 VelmoraGetTickCount64Slot = &TickCountOnAnySystem;
}
