#pragma once
// The banner at the top of the progress dialog: a JPEG shipped as a resource of the
// module (RCDATA "BANNER") and decoded at run time by OLE's picture loader, so that
// no JPEG library has to be linked in.

#include "platform/win32/Win32Api.h"

namespace Velmora {

constexpr const wchar_t* BannerResourceName = L"BANNER";

// A device-independent bitmap of the banner, owned by the caller (DeleteObject), or
// nullptr when the module has no banner or it cannot be decoded. COM should be
// initialised on the thread: some systems decode through COM codecs.
HBITMAP LoadBannerBitmap(HMODULE module);

}  // namespace Velmora
