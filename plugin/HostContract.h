#pragma once
// The host contract behind the exported DoIt, free of any platform type: each
// platform's export decodes its arguments into these and supplies its adapters.

#include "platform/OleString.h"
#include "platform/Platform.h"
#include "platform/RunLock.h"

namespace Velmora {

// Told when another run holds the server's run lock.
extern const char* const AnotherRunText;

// One preprocessing call. Sets the result to "0" first and to the connection string
// only when every step succeeded; gives the application window back on every path.
// Runs only while it holds runLock; a second call meanwhile is refused before it
// touches anything. Never throws.
void RunDoIt(TPlatform& platform, IRunLock& runLock, IOleStringVariable& result, TWindowHandle hostWindow,
             const char* hostFolder, const char* backupFile, const char* year) noexcept;

}  // namespace Velmora
