#include "plugin/win32/Win32Entry.h"

#include "platform/win32/AdoDataAccess.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32OleString.h"
#include "platform/win32/Win32RunLock.h"
#include "platform/win32/Win32ServiceControl.h"
#include "platform/win32/Win32TextConversion.h"
#include "platform/win32/Win32Toolkit.h"
#include "plugin/HostContract.h"

namespace Velmora {

namespace {

// ADO and the banner decoder need COM on this thread. A host that has COM already
// keeps its apartment: CoInitialize then answers S_FALSE, which COM counts and we
// balance, or RPC_E_CHANGED_MODE (a multithreaded host), which it does not count and
// we leave alone. Either way the host's own initialisation stays in force.
class TComForCall {
public:
    TComForCall() : FResult(CoInitialize(nullptr)) {}
    ~TComForCall()
    {
        if (SUCCEEDED(FResult)) CoUninitialize();
    }
    TComForCall(const TComForCall&) = delete;
    TComForCall& operator=(const TComForCall&) = delete;

private:
    HRESULT FResult;
};

}  // namespace

void Win32DoIt(TWin32Toolkit& toolkit, BSTR* result, HWND hostWindow, const char* hostFolder,
               const char* backupFile, const char* year) noexcept
{
    try {
        TComForCall com;
        TWin32ServiceControl services;
        TAdoDataAccess data;
        TWin32FileSystem files;
        TWin32TextConversion text;
        TPlatform platform{toolkit, services, data, files, text};
        // One run per machine: the database server, and so UFDATA, is the machine's.
        TWin32RunLock runLock;
        TWin32OleString resultVariable(result);
        RunDoIt(platform, runLock, resultVariable, reinterpret_cast<TWindowHandle>(hostWindow), hostFolder, backupFile, year);
    } catch (...) {
        // RunDoIt answers for everything it runs; nothing may reach the host as an exception.
    }
}

}  // namespace Velmora
