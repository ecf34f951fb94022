#pragma once
// The one way the Win32 adapters include the system headers. Several ports have
// methods named like Win32 macros (MessageBox, DeleteFile, OpenService ...); those
// macros are removed here so that the ports keep their names in every unit, and the
// adapters call the explicit A or W functions instead.

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// The library runs on Windows XP: the system headers offer nothing newer, so that a
// later function cannot slip into the import table unnoticed.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0501
#endif

#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <olectl.h>
#include <oleauto.h>

#undef MessageBox
#undef DeleteFile
#undef OpenSCManager
#undef OpenService
#undef StartService
#undef CreateService

#include <string>

namespace Velmora {

// UTF-8 <-> UTF-16 for wide Win32 calls (wchar_t is 16 bits on Windows).
std::wstring ToWide(const std::string& utf8);
std::string FromWide(const wchar_t* text, std::size_t length);
std::string FromWide(const std::wstring& text);

// The same for texts that are only shown to people (boxes, error messages): whatever
// is not valid becomes U+FFFD instead of making the text disappear with an exception.
std::wstring ToWideForDisplay(const std::string& utf8);
std::string FromWideForDisplay(const wchar_t* text, std::size_t length);

// The system's own description of an error code (a Win32 error or an HRESULT),
// without the trailing line break; a code the system cannot describe is given in hex.
std::string SystemErrorText(unsigned long code);

}  // namespace Velmora
