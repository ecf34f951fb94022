#pragma once
// The two dialogs as top-level windows, their modal loop, and where they appear:
// centred on the work area of the host window's monitor, their 96-DPI layout drawn
// at that monitor's DPI.

#include <exception>
#include <vector>

#include "platform/Toolkit.h"
#include "platform/win32/Win32ChildWindows.h"

namespace Velmora::Win32Dialogs {

// Where a dialog goes and how large its layout is drawn there.
class TPlacement {
public:
    // The monitor holding the owner (the primary one without an owner), and the DPI
    // the owner, or else that monitor, or else the screen is drawn at.
    explicit TPlacement(HWND owner);
    // A length of the 96-DPI layout at this DPI.
    int Scale(int pixels) const { return MulDiv(pixels, FDpi, 96); }
    // A rectangle of the 96-DPI layout: its edges are scaled, so that neighbours still meet.
    RECT Scale(int left, int top, int width, int height) const;
    // The top-left corner that centres a window of this size on the work area.
    POINT Centre(int width, int height) const;

private:
    RECT FWorkArea{};
    int FDpi = 96;
};

// While a dialog or a box is up, every other window of the thread and the
// application window take no input; afterwards exactly those are enabled again.
class TWindowDisabler {
public:
    explicit TWindowDisabler(HWND applicationWindow);
    ~TWindowDisabler() { Restore(); }
    TWindowDisabler(const TWindowDisabler&) = delete;
    TWindowDisabler& operator=(const TWindowDisabler&) = delete;
    void Restore();

private:
    static BOOL CALLBACK DisableOne(HWND window, LPARAM self);
    std::vector<HWND> FDisabled;
};

void ActivateWindow(HWND window);

// A top-level dialog window. Failures inside its message handling cannot cross the
// system's call back into us: they are kept, the dialog closes, and the Show call
// raises them again once the window is gone.
class TFormWindow {
public:
    virtual ~TFormWindow();
    TFormWindow(const TFormWindow&) = delete;
    TFormWindow& operator=(const TFormWindow&) = delete;

    HWND Handle() const { return FHandle; }
    bool CloseRequested() const { return FCloseRequested; }
    void Destroy();
    void RethrowKeptError();

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

protected:
    explicit TFormWindow(HWND owner) : FPlacement(owner) {}

    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void KeepError(std::exception_ptr error);
    void RequestClose() { FCloseRequested = true; }

    // Created centred with this outer size; clientWidth/Height, when given, are then
    // made exact whatever frame the system draws at this DPI.
    HWND CreateForm(HINSTANCE instance, const wchar_t* className, const std::string& caption, DWORD style,
                    DWORD exStyle, int width, int height, HWND owner, int clientWidth = 0, int clientHeight = 0);
    HWND CreateChild(HINSTANCE instance, const wchar_t* className, const wchar_t* text, DWORD style,
                     const RECT& place, HWND parent, int id, void* state, DWORD exStyle = 0);

    const TPlacement FPlacement;

private:
    HWND FHandle = nullptr;
    bool FCloseRequested = false;
    std::exception_ptr FError;
};

// How a modal loop ended: with the form's outcome, or with the thread's quit
// request (WM_QUIT), which the loop has taken out of the queue.
struct TModalEnd {
    int Result = mrCancel;
    bool Quit = false;
    int ExitCode = 0;
};

// Runs the thread's messages until the form has an outcome. The outcome is looked
// at between messages only, so a handler that sets it finishes before the dialog closes.
template <class TOutcome>
TModalEnd RunModalLoop(TFormWindow& form, TOutcome outcome)
{
    TModalEnd end;
    for (;;) {
        const int result = outcome();
        if (result != mrNone) {
            end.Result = result;
            return end;
        }
        if (form.CloseRequested()) return end;
        MSG message;
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) {
            end.Quit = true;
            end.ExitCode = static_cast<int>(message.wParam);
            return end;
        }
        if (got == -1) return end;
        if (form.Handle() == nullptr || !IsDialogMessageW(form.Handle(), &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

// A quit request met by a modal loop belongs to the loop outside it (the host's, or
// the progress dialog's around the chooser): it is put back once the dialog is gone,
// however the Show call ends, as the system's own modal loops do.
class TQuitRelay {
public:
    TQuitRelay() = default;
    ~TQuitRelay()
    {
        if (FEnd.Quit) PostQuitMessage(FEnd.ExitCode);
    }
    TQuitRelay(const TQuitRelay&) = delete;
    TQuitRelay& operator=(const TQuitRelay&) = delete;

    const TModalEnd& Keep(const TModalEnd& end)
    {
        FEnd = end;
        return FEnd;
    }

private:
    TModalEnd FEnd;
};

// Attaches a view for as long as the dialog is shown.
template <class TDialog>
class TViewAttachment {
public:
    TViewAttachment(TDialog& dialog, IFormView* view) : FDialog(dialog) { FDialog.AttachView(view); }
    ~TViewAttachment() { FDialog.AttachView(nullptr); }
    TViewAttachment(const TViewAttachment&) = delete;
    TViewAttachment& operator=(const TViewAttachment&) = delete;

private:
    TDialog& FDialog;
};

// The module's window classes the forms are built from: the form class and the
// child classes, registered for as long as the form's Show call runs.
extern const TWindowClasses::TClass ProgressFormClasses[4];
extern const TWindowClasses::TClass ChooserFormClasses[4];
// The common controls the chooser's list needs, loaded once.
void LoadCommonControls();

class TProgressForm : public TFormWindow, public IFormView {
public:
    TProgressForm(HINSTANCE instance, IProgressDialog& dialog, HWND owner);
    ~TProgressForm() override;

    void Create(HWND owner);
    // IFormView: the status line and the bar follow the form at once, also while no
    // message loop runs (the copy and the service wait call in here directly).
    void Changed() override;

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void FitLabel(const std::wstring& text);

    HINSTANCE FInstance;
    IProgressDialog& FDialog;
    TGdiObject<HFONT> FFont;
    TGdiObject<HFONT> FLabelFont;
    TPanelLook FClientLook;
    TPanelLook FBottomLook;
    TImageState FBanner;
    TBarState FBar;
    HWND FLabel = nullptr;
    HWND FBarWindow = nullptr;
};

class TChooserForm : public TFormWindow, public IFormView {
public:
    TChooserForm(HINSTANCE instance, IChooserDialog& dialog, HWND owner);
    ~TChooserForm() override;

    void Create(HWND owner);
    HWND List() const { return FList; }
    // IFormView: rows added since, and the check marks as the form holds them.
    void Changed() override;

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    class TSyncing;
    void AddColumn(int index, const std::string& title, int width);
    void Layout();
    void Populate();
    void SyncChecks();
    void SyncChecksLocked();
    void ListItemChanged(const NMLISTVIEW& change);

    HINSTANCE FInstance;
    IChooserDialog& FDialog;
    TGdiObject<HFONT> FFont;
    TPanelLook FListLook;
    TPanelLook FButtonLook;
    HWND FListPanel = nullptr;
    HWND FList = nullptr;
    HWND FButtonPanel = nullptr;
    bool FSyncing = false;
};

}  // namespace Velmora::Win32Dialogs
