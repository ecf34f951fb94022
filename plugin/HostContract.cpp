#include "plugin/HostContract.h"

#include <exception>
#include <memory>

#include "preprocess/DealWithUFO.h"

namespace Velmora {

namespace {

// Gives the application its window back however the call ends.
class TApplicationHandleSwap {
public:
    TApplicationHandleSwap(IToolkit& toolkit, TWindowHandle hostWindow)
        : FToolkit(toolkit), FPrevious(toolkit.ApplicationHandle())
    {
        FToolkit.SetApplicationHandle(hostWindow);
    }
    ~TApplicationHandleSwap() { FToolkit.SetApplicationHandle(FPrevious); }
    TApplicationHandleSwap(const TApplicationHandleSwap&) = delete;
    TApplicationHandleSwap& operator=(const TApplicationHandleSwap&) = delete;

private:
    IToolkit& FToolkit;
    TWindowHandle FPrevious;
};

void TellFailure(IToolkit& toolkit, const std::string& reason) noexcept
{
    try {
        toolkit.MessageBox("数据源预处理无法进行：" + reason, DealWithUFOText::CaptionError, MsgBox::IconError);
    } catch (...) {
    }
}

}  // namespace

void RunDoIt(TPlatform& platform, IOleStringVariable& result, TWindowHandle hostWindow, const char* hostFolder,
             const char* backupFile, const char* year) noexcept
{
    try {
        result.Assign("0");
    } catch (...) {
        // Without even a "0" there is nothing to tell the host; leave its variable alone.
        return;
    }
    try {
        TApplicationHandleSwap windowSwap(platform.Toolkit, hostWindow);
        try {
            auto form = std::make_unique<TForm_DealWithUFO>(platform);
            form->FSourceFile = platform.Text.AnsiToUtf8(backupFile ? backupFile : "");
            form->FWorkDir = platform.Text.AnsiToUtf8(hostFolder ? hostFolder : "") + "TempLateTemp" +
                             platform.Files.PathSeparator();
            form->FYear = platform.Text.AnsiToUtf8(year ? year : "");
            const int outcome = form->ShowModal();
            result.Assign(outcome == mrOk ? ConnectionStrings::HostResult : "0");
        } catch (const std::exception& error) {
            TellFailure(platform.Toolkit, error.what());
        } catch (...) {
            TellFailure(platform.Toolkit, "未知错误");
        }
    } catch (...) {
        // Even the window hand-over failed; the result is already "0".
    }
}

}  // namespace Velmora
