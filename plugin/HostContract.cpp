#include "plugin/HostContract.h"

#include <exception>
#include <memory>
#include <new>

#include "preprocess/DealWithUFO.h"

namespace Velmora {

const char* const AnotherRunText = "另一个数据源预处理正在进行，请等它结束后再试";

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

// Holds the run lock for the call, when it could be had.
class TRunLockHold {
public:
    explicit TRunLockHold(IRunLock& lock) : FLock(lock), FHeld(lock.TryAcquire()) {}
    ~TRunLockHold()
    {
        if (FHeld) FLock.Release();
    }
    TRunLockHold(const TRunLockHold&) = delete;
    TRunLockHold& operator=(const TRunLockHold&) = delete;
    bool Held() const { return FHeld; }

private:
    IRunLock& FLock;
    bool FHeld;
};

}  // namespace

void RunDoIt(TPlatform& platform, IRunLock& runLock, IOleStringVariable& result, TWindowHandle hostWindow,
             const char* hostFolder, const char* backupFile, const char* year) noexcept
{
    std::string notAssigned;
    try {
        result.Assign("0");
    } catch (const std::bad_alloc&) {
        notAssigned = "内存不足";
    } catch (const std::exception& error) {
        notAssigned = error.what();
    } catch (...) {
        notAssigned = "未知错误";
    }
    if (!notAssigned.empty()) {
        // Without even a "0" the variable must not keep an earlier call's connection
        // string, which the host would take for this call's success.
        result.Clear();
        try {
            TApplicationHandleSwap windowSwap(platform.Toolkit, hostWindow);
            TellFailure(platform.Toolkit, notAssigned);
        } catch (...) {
        }
        return;
    }
    try {
        TApplicationHandleSwap windowSwap(platform.Toolkit, hostWindow);
        try {
            const TRunLockHold lock(runLock);
            if (!lock.Held()) {
                TellFailure(platform.Toolkit, AnotherRunText);
                return;
            }
            auto form = std::make_unique<TForm_DealWithUFO>(platform);
            form->FSourceFile = platform.Text.AnsiToUtf8(backupFile ? backupFile : "");
            form->FWorkDir = platform.Text.AnsiToUtf8(hostFolder ? hostFolder : "") + "TempLateTemp" +
                             platform.Files.PathSeparator();
            form->FYear = platform.Text.AnsiToUtf8(year ? year : "");
            const int outcome = form->ShowModal();
            result.Assign(outcome == mrOk ? ConnectionStrings::HostResult : "0");
        } catch (const std::bad_alloc&) {
            TellFailure(platform.Toolkit, "内存不足");
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
