#pragma once
// The windowing port on plain Win32: wide APIs, no framework. The two dialogs are
// built from window classes of this module, run in a modal loop of their own, and
// drive the portable forms through IProgressDialog and IChooserDialog.

#include <map>
#include <memory>
#include <optional>

#include "platform/Toolkit.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Ticks.h"

namespace Velmora {

// Control IDs and window classes of the dialogs, for whoever has to find them again
// (accessibility tools, the Windows test programs).
namespace Win32Controls {
constexpr int Image_log = 101;
constexpr int RzPanel_Client = 102;
constexpr int RzLabel_ShowInfo = 103;
constexpr int RzPanel_Bottom = 104;
constexpr int Progress_Step = 105;
constexpr int RzPanel2 = 201;
constexpr int List_Files = 202;
constexpr int RzPanel1 = 203;
constexpr int Btn_OK = IDOK;

constexpr const wchar_t* ProgressFormClass = L"TForm_DealWithUFO";
constexpr const wchar_t* ChooserFormClass = L"TForm_GetFileList";
}  // namespace Win32Controls

class TWin32Timer;
namespace Win32Dialogs {
class TWindowClasses;
}

class TWin32Toolkit : public IToolkit {
public:
    TWin32Toolkit();
    ~TWin32Toolkit() override;
    TWin32Toolkit(const TWin32Toolkit&) = delete;
    TWin32Toolkit& operator=(const TWin32Toolkit&) = delete;

    TWindowHandle ApplicationHandle() const override { return FApplicationHandle; }
    void SetApplicationHandle(TWindowHandle handle) override { FApplicationHandle = handle; }

    int ShowProgressDialog(IProgressDialog& dialog) override;
    int ShowChooser(IChooserDialog& dialog) override;
    std::unique_ptr<ITimer> CreateTimer(unsigned intervalMs, std::function<void()> onTick) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    // Looks at the queue at most once in LookIntervalMs (see the definition), and always
    // on the first call after a sleep, a message box or a dialog.
    void ProcessMessages() override;
    void KeepAlive() override;
    void Sleep(unsigned ms) override
    {
        ::Sleep(ms);
        FLookedAt.reset();
    }
    std::uint64_t TickCount() override { return TickCount64(); }

    static constexpr unsigned LookIntervalMs = 4;

    static LRESULT CALLBACK TimerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    friend class TWin32Timer;
    HWND TimerWindow();
    void TimerGone(UINT_PTR id);

    TWindowHandle FApplicationHandle = 0;
    HINSTANCE FInstance = nullptr;
    HWND FTimerWindow = nullptr;
    // The timer window's class, registered while the window exists.
    std::unique_ptr<Win32Dialogs::TWindowClasses> FTimerClass;
    UINT_PTR FNextTimerId = 1;
    std::map<UINT_PTR, TWin32Timer*> FTimers;
    // When ProcessMessages last looked at the queue, in performance-counter units;
    // empty once something else happened since.
    std::optional<std::int64_t> FLookedAt;
    std::int64_t FCountsPerLook = 0;
};

}  // namespace Velmora
