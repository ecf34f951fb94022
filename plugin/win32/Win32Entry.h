#pragma once
// One DoIt call on Windows: COM for the call, the Win32 adapters, the portable run.

#include "platform/win32/Win32Api.h"

namespace Velmora {

class TWin32Toolkit;

// The toolkit is passed in: the library keeps one for the process (it holds the
// application window across calls, as an application object does); tests bring their own.
void Win32DoIt(TWin32Toolkit& toolkit, BSTR* result, HWND hostWindow, const char* hostFolder,
               const char* backupFile, const char* year) noexcept;

}  // namespace Velmora
