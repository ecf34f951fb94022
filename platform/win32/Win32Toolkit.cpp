#include "platform/win32/Win32Toolkit.h"

#include <exception>
#include <string>

#include "platform/Errors.h"
#include "platform/win32/Win32Forms.h"

namespace Velmora {

using namespace Win32Dialogs;

namespace {

constexpr const wchar_t* TimerClass = L"VelmoraTimerWindow";

const int ModuleMarker = 0;

HINSTANCE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleMarker), &module);
    return module;
}

}  // namespace

// ---------------------------------------------------------------- timers

class TWin32Timer : public ITimer {
public:
    TWin32Timer(TWin32Toolkit& toolkit, UINT_PTR id, unsigned intervalMs, std::function<void()> onTick)
        : FToolkit(toolkit), FId(id), FInterval(intervalMs == 0 ? 1 : intervalMs), FOnTick(std::move(onTick))
    {
    }
    ~TWin32Timer() override
    {
        SetEnabled(false);
        FToolkit.TimerGone(FId);
    }
    TWin32Timer(const TWin32Timer&) = delete;
    TWin32Timer& operator=(const TWin32Timer&) = delete;

    void SetEnabled(bool enabled) override
    {
        if (enabled == FEnabled) return;  // a running timer keeps its interval
        HWND window = FToolkit.TimerWindow();
        if (enabled) {
            if (SetTimer(window, FId, FInterval, nullptr) == 0) RaiseWindowError("无法启动定时器");
        } else {
            KillTimer(window, FId);
        }
        FEnabled = enabled;
    }

    bool Enabled() const override { return FEnabled; }

    // An error that escapes the handler is told in a box; the timer's state stays as
    // the handler left it.
    void Tick()
    {
        if (!FEnabled) return;
        // The handler may free this timer: keep the handler itself alive for the call.
        const std::function<void()> handler = FOnTick;
        TWin32Toolkit& toolkit = FToolkit;
        try {
            handler();
        } catch (const std::exception& error) {
            ShowFailure(toolkit, error.what());
        } catch (...) {
            ShowFailure(toolkit, "未知错误");
        }
    }

private:
    static void ShowFailure(TWin32Toolkit& toolkit, const std::string& reason) noexcept
    {
        try {
            toolkit.MessageBox(reason, "错误", MsgBox::IconError);
        } catch (...) {
        }
    }

    TWin32Toolkit& FToolkit;
    UINT_PTR FId;
    UINT FInterval;
    std::function<void()> FOnTick;
    bool FEnabled = false;
};

// ---------------------------------------------------------------- toolkit

TWin32Toolkit::TWin32Toolkit() : FInstance(ThisModule())
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    FCountsPerLook = frequency.QuadPart * LookIntervalMs / 1000;
}

TWin32Toolkit::~TWin32Toolkit()
{
    if (FTimerWindow != nullptr) DestroyWindow(FTimerWindow);
}

namespace {
const TWindowClasses::TClass TimerClasses[1] = {{TimerClass, &TWin32Toolkit::TimerWindowProc, nullptr}};
}

HWND TWin32Toolkit::TimerWindow()
{
    if (FTimerWindow != nullptr && IsWindow(FTimerWindow)) return FTimerWindow;
    if (!FTimerClass) FTimerClass = std::make_unique<TWindowClasses>(FInstance, TimerClasses);
    // A message-only window: ticks arrive through the thread's queue like any other message.
    FTimerWindow = CreateWindowExW(0, TimerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, FInstance, this);
    if (FTimerWindow == nullptr) RaiseWindowError("无法创建定时器窗口");
    return FTimerWindow;
}

void TWin32Toolkit::TimerGone(UINT_PTR id)
{
    FTimers.erase(id);
    if (FTimers.empty() && FTimerWindow != nullptr) {
        DestroyWindow(FTimerWindow);
        FTimerWindow = nullptr;
        FTimerClass.reset();
    }
}

LRESULT CALLBACK TWin32Toolkit::TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        KeepCreateParams(window, lParam);
    } else if (message == WM_TIMER) {
        if (auto* toolkit = StateOf<TWin32Toolkit>(window)) {
            auto timer = toolkit->FTimers.find(static_cast<UINT_PTR>(wParam));
            if (timer != toolkit->FTimers.end()) timer->second->Tick();
        }
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::unique_ptr<ITimer> TWin32Toolkit::CreateTimer(unsigned intervalMs, std::function<void()> onTick)
{
    const UINT_PTR id = FNextTimerId++;
    auto timer = std::make_unique<TWin32Timer>(*this, id, intervalMs, std::move(onTick));
    FTimers[id] = timer.get();
    timer->SetEnabled(true);
    return timer;
}

int TWin32Toolkit::ShowProgressDialog(IProgressDialog& dialog)
{
    // Before the form: the class goes after the window, and so does the quit.
    TWindowClasses classes(FInstance, ProgressFormClasses);
    TQuitRelay quit;
    TProgressForm form(FInstance, dialog, ToWindow(FApplicationHandle));
    TWindowDisabler disabled(ToWindow(FApplicationHandle));
    form.Create(ToWindow(FApplicationHandle));
    TViewAttachment<IProgressDialog> view(dialog, &form);
    ShowWindow(form.Handle(), SW_SHOWNORMAL);
    UpdateWindow(form.Handle());
    dialog.FormShow();
    // A quit before the run is done ends it with the cancel outcome.
    const TModalEnd& end = quit.Keep(RunModalLoop(form, [&dialog] { return dialog.ModalResult(); }));
    FLookedAt.reset();
    // Enabled again before the dialog goes, so that activation returns to the host.
    disabled.Restore();
    form.Destroy();
    form.RethrowKeptError();
    return end.Result;
}

int TWin32Toolkit::ShowChooser(IChooserDialog& dialog)
{
    LoadCommonControls();
    TWindowClasses classes(FInstance, ChooserFormClasses);
    TQuitRelay quit;
    TChooserForm form(FInstance, dialog, ToWindow(FApplicationHandle));
    HWND previous = GetActiveWindow();
    TWindowDisabler disabled(ToWindow(FApplicationHandle));
    form.Create(ToWindow(FApplicationHandle));
    TViewAttachment<IChooserDialog> view(dialog, &form);
    ShowWindow(form.Handle(), SW_SHOWNORMAL);
    UpdateWindow(form.Handle());
    SetFocus(form.List());
    const TModalEnd& end = quit.Keep(RunModalLoop(form, [&dialog] { return dialog.ModalResult(); }));
    FLookedAt.reset();
    disabled.Restore();
    form.Destroy();
    ActivateWindow(previous);
    form.RethrowKeptError();
    // Closed by the quit, the chooser has no answer, and no answer would mean "the
    // first set": the restore must not go on with a set nobody chose.
    if (end.Quit) throw EVelmoraError("程序正在退出，备份集没有选定");
    return end.Result;
}

int TWin32Toolkit::MessageBox(const std::string& text, const std::string& caption, unsigned flags)
{
    // A box that explains a failure must appear even when the failure's text is
    // damaged (bytes from the host that were never text): shown with U+FFFD in place
    // of what cannot be read, rather than not at all.
    const std::wstring wideText = ToWideForDisplay(text);
    const std::wstring wideCaption = ToWideForDisplay(caption);
    HWND previous = GetActiveWindow();
    TWindowDisabler disabled(nullptr);
    const int answer = MessageBoxW(ToWindow(FApplicationHandle), wideText.c_str(), wideCaption.c_str(), flags);
    disabled.Restore();
    FLookedAt.reset();
    ActivateWindow(previous);
    return answer;
}

void TWin32Toolkit::ProcessMessages()
{
    // The copy calls this after every kilobyte. Each look at the queue is a call into
    // the system (under Wine a round trip to its server), which made a look per piece
    // cost more than the copy itself; a look every few milliseconds keeps the dialog
    // just as live. The clock is the performance counter: the tick count is kept up to
    // date by Wine's server only while it is busy, and stood still there for seconds.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (FLookedAt && now.QuadPart - *FLookedAt < FCountsPerLook) return;
    FLookedAt = now.QuadPart;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void TWin32Toolkit::KeepAlive()
{
    MSG message;
    // Messages sent to the thread's windows (the system's probes whether a window still
    // answers among them) are delivered by any look at the queue, and looking is what
    // keeps the system from declaring the dialog hung.
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    // Keys and clicks, from the devices or posted, on a window or its frame, are dropped:
    // neither the dialog nor the host may act on them now, nor once the statement is done.
    const UINT input[][2] = {{WM_KEYFIRST, WM_KEYLAST}, {WM_MOUSEFIRST, WM_MOUSELAST}, {WM_NCMOUSEMOVE, 0x00AD}};
    for (const auto& range : input) {
        while (PeekMessageW(&message, nullptr, range[0], range[1], PM_REMOVE)) {
        }
    }
    // Painting only: timers stay in the queue, so the step that waits is not re-entered.
    // A window that never validates itself keeps asking; it is served a bounded number of times.
    for (int turn = 0; turn < 64 && PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE); ++turn) {
        DispatchMessageW(&message);
    }
}

}  // namespace Velmora
