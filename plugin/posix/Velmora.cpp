// The library's exports on POSIX systems: DoIt, which puts the run together from
// the terminal toolkit, POSIX files, iconv and the stand-in server, and the string
// functions with which host and library hand the result back and forth.

#include "plugin/posix/Velmora.h"

#include <exception>
#include <memory>
#include <new>
#include <string>

#include "platform/posix/IconvTextConversion.h"
#include "platform/posix/PosixFileSystem.h"
#include "platform/posix/PosixOleString.h"
#include "platform/posix/PosixRunLock.h"
#include "platform/posix/TerminalToolkit.h"
#include "plugin/HostContract.h"
#include "standin/ServerDirectory.h"
#include "standin/StandinDataAccess.h"
#include "standin/StandinServiceControl.h"

namespace {

using namespace Velmora;

// What cannot even be put together gets the same outcome as a failed run: "0" and one box.
void TellSetupFailure(char16_t** result, const std::string& reason) noexcept
{
    try {
        TPosixOleStringVariable variable(result);
        variable.Assign("0");
    } catch (...) {
    }
    try {
        TTerminalToolkit toolkit;
        toolkit.MessageBox("数据源预处理无法进行：" + reason, "错误", MsgBox::IconError);
    } catch (...) {
    }
}

void Run(char16_t** result, void* hostWindow, const char* hostFolder, const char* backupFile, const char* year)
{
    TTerminalToolkit toolkit;
    TPosixFileSystem files;
    TIconvTextConversion text;
    const std::string serverDirectory = Standin::DefaultServerDirectory();
    Standin::TStandinDataAccess data(serverDirectory);
    Standin::TStandinServiceControl services(serverDirectory);
    TPlatform platform{toolkit, services, data, files, text};
    // Per server, and per work folder: two runs on one work folder would fill its
    // database twice, whatever servers they use.
    TPosixRunLock runLock(serverDirectory, std::string(hostFolder != nullptr ? hostFolder : "") + "TempLateTemp");
    TPosixOleStringVariable variable(result);
    RunDoIt(platform, runLock, variable, reinterpret_cast<TWindowHandle>(hostWindow), hostFolder, backupFile, year);
}

}  // namespace

extern "C" VELMORA_API void DoIt(char16_t** Result, void* HostWindow, const char* HostFolder, const char* BackupFile,
                                 const char* Year)
{
    // A C host cannot catch a C++ exception: nothing leaves this function.
    try {
        Run(Result, HostWindow, HostFolder, BackupFile, Year);
    } catch (const std::bad_alloc&) {
        TellSetupFailure(Result, "内存不足");
    } catch (const std::exception& error) {
        TellSetupFailure(Result, error.what());
    } catch (...) {
        TellSetupFailure(Result, "未知错误");
    }
}

extern "C" VELMORA_API char16_t* VelmoraSysAllocStringLen(const char16_t* Chars, uint32_t Length)
{
    return OleAllocStringLen(Chars, Length);
}

extern "C" VELMORA_API void VelmoraSysFreeString(char16_t* String) { OleFreeString(String); }

extern "C" VELMORA_API uint32_t VelmoraSysStringLen(const char16_t* String) { return OleStringLen(String); }
