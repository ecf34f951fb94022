#pragma once
// The host contract behind the exported DoIt, free of any platform type: each
// platform's export decodes its arguments into these and supplies its adapters.

#include "platform/OleString.h"
#include "platform/Platform.h"

namespace Velmora {

// One preprocessing call. Sets the result to "0" first and to the connection string
// only when every step succeeded; gives the application window back on every path.
// Never throws.
void RunDoIt(TPlatform& platform, IOleStringVariable& result, TWindowHandle hostWindow, const char* hostFolder,
             const char* backupFile, const char* year) noexcept;

}  // namespace Velmora
