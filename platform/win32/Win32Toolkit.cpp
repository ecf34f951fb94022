#include "platform/win32/Win32Toolkit.h"

#include <exception>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/win32/Win32Banner.h"

namespace Velmora {

namespace {

// ---------------------------------------------------------------- looks and sizes

constexpr COLORREF PanelGrey = RGB(240, 240, 240);  // 15790320
constexpr COLORREF LabelGrey = RGB(128, 128, 128);

constexpr int ProgressClientWidth = 295;
constexpr int ProgressClientHeight = 78;
constexpr int BannerHeight = 25;
constexpr int BottomPanelHeight = 20;
constexpr int LabelLeft = 67;
constexpr int LabelTop = 11;
constexpr int LabelWidth = 147;
constexpr int LabelHeight = 14;

constexpr int ChooserWidth = 315;
constexpr int ChooserHeight = 200;
constexpr int ButtonPanelHeight = 41;
constexpr int OkLeft = 192;
constexpr int OkTop = 8;
constexpr int OkWidth = 75;
constexpr int OkHeight = 25;
constexpr int PositionColumnWidth = 50;  // a list column's default width
constexpr int FileColumnWidth = 239;

constexpr const wchar_t* PanelClass = L"VelmoraPanel";
constexpr const wchar_t* ImageClass = L"VelmoraImage";
constexpr const wchar_t* ProgressBarClass = L"VelmoraProgressBar";
constexpr const wchar_t* TimerClass = L"VelmoraTimerWindow";

const int ModuleMarker = 0;

HINSTANCE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleMarker), &module);
    return module;
}

HWND ToWindow(TWindowHandle handle) { return reinterpret_cast<HWND>(handle); }

HFONT CreateDialogFont(int pixelHeight)
{
    // SimSun in the GB2312 character set, as the dialogs were laid out with.
    return CreateFontW(-pixelHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"宋体");
}

[[noreturn]] void RaiseWindowError(const char* what)
{
    throw EVelmoraError(std::string(what) + "：" + SystemErrorText(GetLastError()));
}

std::wstring WindowText(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(window, &text[0], length + 1);
    text.resize(static_cast<std::size_t>(copied < 0 ? 0 : copied));
    return text;
}

POINT CentredOnDesktop(int width, int height)
{
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int desktopWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
    const int desktopHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    return POINT{left + (desktopWidth - width) / 2, top + (desktopHeight - height) / 2};
}

// ---------------------------------------------------------------- modal helpers

// While a dialog or a box is up, every other window of the thread and the
// application window take no input; afterwards exactly those are enabled again.
class TWindowDisabler {
public:
    explicit TWindowDisabler(HWND applicationWindow)
    {
        EnumThreadWindows(GetCurrentThreadId(), &TWindowDisabler::DisableOne, reinterpret_cast<LPARAM>(this));
        if (applicationWindow != nullptr && IsWindow(applicationWindow) && IsWindowEnabled(applicationWindow)) {
            EnableWindow(applicationWindow, FALSE);
            FDisabled.push_back(applicationWindow);
        }
    }
    ~TWindowDisabler() { Restore(); }
    TWindowDisabler(const TWindowDisabler&) = delete;
    TWindowDisabler& operator=(const TWindowDisabler&) = delete;

    void Restore()
    {
        for (auto window = FDisabled.rbegin(); window != FDisabled.rend(); ++window) {
            if (IsWindow(*window)) EnableWindow(*window, TRUE);
        }
        FDisabled.clear();
    }

private:
    static BOOL CALLBACK DisableOne(HWND window, LPARAM self)
    {
        if (IsWindowVisible(window) && IsWindowEnabled(window)) {
            EnableWindow(window, FALSE);
            reinterpret_cast<TWindowDisabler*>(self)->FDisabled.push_back(window);
        }
        return TRUE;
    }

    std::vector<HWND> FDisabled;
};

// ---------------------------------------------------------------- child windows

struct TPanelLook {
    COLORREF Colour = GetSysColor(COLOR_BTNFACE);
    bool FlatOuter = false;
    bool GroovedInner = false;
    COLORREF TextColour = GetSysColor(COLOR_WINDOWTEXT);
    HBRUSH Brush = nullptr;

    TPanelLook() = default;
    TPanelLook(COLORREF colour, bool flatOuter, bool groovedInner, COLORREF textColour)
        : Colour(colour), FlatOuter(flatOuter), GroovedInner(groovedInner), TextColour(textColour)
    {
    }
    ~TPanelLook()
    {
        if (Brush != nullptr) DeleteObject(Brush);
    }
    TPanelLook(const TPanelLook&) = delete;
    TPanelLook& operator=(const TPanelLook&) = delete;

    HBRUSH GetBrush()
    {
        if (Brush == nullptr) Brush = CreateSolidBrush(Colour);
        return Brush;
    }
};

struct TImageState {
    HBITMAP Bitmap = nullptr;
};

struct TBarState {
    int Percent = 0;
    HFONT Font = nullptr;
};

template <class T>
T* StateOf(HWND window)
{
    return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

void KeepCreateParams(HWND window, LPARAM lParam)
{
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
}

LRESULT CALLBACK PanelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCREATE:
        KeepCreateParams(window, lParam);
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        if (TPanelLook* look = StateOf<TPanelLook>(window)) {
            FillRect(dc, &area, look->GetBrush());
            if (look->FlatOuter) {
                FrameRect(dc, &area, GetSysColorBrush(COLOR_BTNSHADOW));
                InflateRect(&area, -1, -1);
            }
            if (look->GroovedInner) DrawEdge(dc, &area, EDGE_ETCHED, BF_RECT);
        }
        EndPaint(window, &paint);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        if (TPanelLook* look = StateOf<TPanelLook>(window)) {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, look->TextColour);
            SetBkColor(dc, look->Colour);
            return reinterpret_cast<LRESULT>(look->GetBrush());
        }
        break;
    case WM_COMMAND:
    case WM_NOTIFY:
        // The form answers for every control, whichever panel holds it.
        return SendMessageW(GetParent(window), message, wParam, lParam);
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK ImageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCREATE:
        KeepCreateParams(window, lParam);
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        TImageState* state = StateOf<TImageState>(window);
        BITMAP info{};
        if (state != nullptr && state->Bitmap != nullptr && GetObjectW(state->Bitmap, sizeof info, &info) != 0) {
            HDC source = CreateCompatibleDC(dc);
            HGDIOBJ previous = SelectObject(source, state->Bitmap);
            // Stretched to fit, smoothed rather than dropping rows.
            SetStretchBltMode(dc, HALFTONE);
            SetBrushOrgEx(dc, 0, 0, nullptr);
            StretchBlt(dc, 0, 0, area.right, area.bottom, source, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
            SelectObject(source, previous);
            DeleteDC(source);
        } else {
            FillRect(dc, &area, GetSysColorBrush(COLOR_WINDOW));
        }
        EndPaint(window, &paint);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// A plain horizontal bar with its percentage written in the middle; the window
// text is the percentage as shown ("45%").
LRESULT CALLBACK ProgressBarWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NCCREATE:
        KeepCreateParams(window, lParam);
        break;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        const TBarState* state = StateOf<TBarState>(window);
        const int percent = state != nullptr ? state->Percent : 0;
        // Drawn off screen first, so that fast updates during the copy do not flicker.
        HDC buffer = CreateCompatibleDC(dc);
        HBITMAP bitmap = CreateCompatibleBitmap(dc, area.right > 0 ? area.right : 1, area.bottom > 0 ? area.bottom : 1);
        HGDIOBJ previousBitmap = SelectObject(buffer, bitmap);
        const int filled = MulDiv(area.right, percent, 100);
        RECT done{0, 0, filled, area.bottom};
        RECT rest{filled, 0, area.right, area.bottom};
        FillRect(buffer, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
        FillRect(buffer, &rest, GetSysColorBrush(COLOR_WINDOW));
        const std::wstring text = WindowText(window);
        HGDIOBJ previousFont = state != nullptr && state->Font != nullptr ? SelectObject(buffer, state->Font) : nullptr;
        SetBkMode(buffer, TRANSPARENT);
        for (int part = 0; part < 2; ++part) {
            const RECT& clip = part == 0 ? done : rest;
            if (clip.right <= clip.left) continue;
            SaveDC(buffer);
            IntersectClipRect(buffer, clip.left, clip.top, clip.right, clip.bottom);
            SetTextColor(buffer, GetSysColor(part == 0 ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
            RECT whole = area;
            DrawTextW(buffer, text.c_str(), static_cast<int>(text.size()), &whole,
                      DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
            RestoreDC(buffer, -1);
        }
        if (previousFont != nullptr) SelectObject(buffer, previousFont);
        BitBlt(dc, 0, 0, area.right, area.bottom, buffer, 0, 0, SRCCOPY);
        SelectObject(buffer, previousBitmap);
        DeleteObject(bitmap);
        DeleteDC(buffer);
        EndPaint(window, &paint);
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// ---------------------------------------------------------------- forms

// A top-level dialog window. Failures inside its message handling cannot cross the
// system's call back into us: they are kept, the dialog closes, and the Show call
// raises them again once the window is gone.
class TFormWindow {
public:
    virtual ~TFormWindow()
    {
        if (FHandle != nullptr) DestroyWindow(FHandle);
    }
    TFormWindow(const TFormWindow&) = delete;
    TFormWindow& operator=(const TFormWindow&) = delete;

    HWND Handle() const { return FHandle; }
    bool CloseRequested() const { return FCloseRequested; }

    void Destroy()
    {
        if (FHandle != nullptr) DestroyWindow(FHandle);
    }

    void RethrowKeptError()
    {
        if (FError) std::rethrow_exception(FError);
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_NCCREATE) {
            KeepCreateParams(window, lParam);
            StateOf<TFormWindow>(window)->FHandle = window;
        }
        TFormWindow* form = StateOf<TFormWindow>(window);
        if (form == nullptr) return DefWindowProcW(window, message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            form->FHandle = nullptr;
            form->FCloseRequested = true;
            return DefWindowProcW(window, message, wParam, lParam);
        }
        try {
            return form->HandleMessage(message, wParam, lParam);
        } catch (...) {
            form->KeepError(std::current_exception());
            return DefWindowProcW(window, message, wParam, lParam);
        }
    }

protected:
    TFormWindow() = default;

    virtual LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
    {
        return DefWindowProcW(FHandle, message, wParam, lParam);
    }

    void KeepError(std::exception_ptr error)
    {
        if (!FError) FError = error;
        FCloseRequested = true;
    }

    void RequestClose() { FCloseRequested = true; }

    HWND CreateForm(HINSTANCE instance, const wchar_t* className, const std::string& caption, DWORD style,
                    DWORD exStyle, int width, int height, HWND owner)
    {
        const POINT place = CentredOnDesktop(width, height);
        HWND window = CreateWindowExW(exStyle, className, ToWide(caption).c_str(), style, place.x, place.y, width,
                                      height, owner, nullptr, instance, this);
        if (window == nullptr) RaiseWindowError("无法创建对话框");
        return window;
    }

    HWND CreateChild(HINSTANCE instance, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y,
                     int width, int height, HWND parent, int id, void* state, DWORD exStyle = 0)
    {
        HWND window = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, x, y, width, height,
                                      parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, state);
        if (window == nullptr) RaiseWindowError("无法创建对话框中的控件");
        return window;
    }

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

class TFont {
public:
    explicit TFont(int pixelHeight) : FFont(CreateDialogFont(pixelHeight)) {}
    ~TFont()
    {
        if (FFont != nullptr) DeleteObject(FFont);
    }
    TFont(const TFont&) = delete;
    TFont& operator=(const TFont&) = delete;
    HFONT Get() const { return FFont; }

private:
    HFONT FFont;
};

class TProgressForm : public TFormWindow, public IFormView {
public:
    TProgressForm(HINSTANCE instance, IProgressDialog& dialog)
        : FInstance(instance),
          FDialog(dialog),
          FFont(13),
          FLabelFont(14),
          FClientLook(PanelGrey, true, true, LabelGrey),
          FBottomLook(GetSysColor(COLOR_BTNFACE), true, false, GetSysColor(COLOR_WINDOWTEXT))
    {
        FBanner.Bitmap = LoadBannerBitmap(instance);
        FBar.Font = FFont.Get();
    }
    ~TProgressForm() override
    {
        Destroy();
        if (FBanner.Bitmap != nullptr) DeleteObject(FBanner.Bitmap);
    }

    void Create(HWND owner)
    {
        // A dialog frame without close, minimise or system-menu buttons.
        const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN | DS_MODALFRAME;
        const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT;
        RECT outer{0, 0, ProgressClientWidth, ProgressClientHeight};
        AdjustWindowRectEx(&outer, style, FALSE, exStyle);
        HWND form = CreateForm(FInstance, Win32Controls::ProgressFormClass, FDialog.Caption(), style, exStyle,
                               outer.right - outer.left, outer.bottom - outer.top, owner);
        SendMessageW(form, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);

        CreateChild(FInstance, ImageClass, L"", 0, 0, 0, ProgressClientWidth, BannerHeight, form,
                    Win32Controls::Image_log, &FBanner);
        const int middleHeight = ProgressClientHeight - BannerHeight - BottomPanelHeight;
        HWND client = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN, 0, BannerHeight, ProgressClientWidth,
                                  middleHeight, form, Win32Controls::RzPanel_Client, &FClientLook);
        FLabel = CreateChild(FInstance, L"STATIC", L"", SS_LEFT | SS_NOPREFIX, LabelLeft, LabelTop, LabelWidth,
                             LabelHeight, client, Win32Controls::RzLabel_ShowInfo, nullptr);
        SendMessageW(FLabel, WM_SETFONT, reinterpret_cast<WPARAM>(FLabelFont.Get()), FALSE);
        HWND bottom = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN, 0,
                                  ProgressClientHeight - BottomPanelHeight, ProgressClientWidth, BottomPanelHeight,
                                  form, Win32Controls::RzPanel_Bottom, &FBottomLook);
        FBarWindow = CreateChild(FInstance, ProgressBarClass, L"0%", 0, 1, 1, ProgressClientWidth - 2,
                                 BottomPanelHeight - 2, bottom, Win32Controls::Progress_Step, &FBar);
        Changed();
    }

    // IFormView: the status line and the bar follow the form at once, also while no
    // message loop runs (the copy and the service wait call in here directly).
    void Changed() override
    {
        if (Handle() == nullptr) return;
        const std::wstring status = ToWide(FDialog.StatusText());
        if (WindowText(FLabel) != status) {
            SetWindowTextW(FLabel, status.c_str());
            FitLabel(status);
            UpdateWindow(GetParent(FLabel));
            UpdateWindow(FLabel);
        }
        const int percent = FDialog.Percent();
        if (percent != FBar.Percent || WindowText(FBarWindow).empty()) {
            FBar.Percent = percent;
            SetWindowTextW(FBarWindow, (std::to_wstring(percent) + L"%").c_str());
            InvalidateRect(FBarWindow, nullptr, FALSE);
            UpdateWindow(FBarWindow);
        }
    }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case WM_CLOSE:
            // No way out but the run's own outcome.
            return 0;
        default:
            return TFormWindow::HandleMessage(message, wParam, lParam);
        }
    }

private:
    // The label grows with its caption, as an auto-sized label does: its design size
    // (147 x 14) holds the first caption in SimSun, the later ones are longer.
    void FitLabel(const std::wstring& text)
    {
        HDC dc = GetDC(FLabel);
        HGDIOBJ previous = SelectObject(dc, FLabelFont.Get());
        SIZE size{0, 0};
        GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
        SelectObject(dc, previous);
        ReleaseDC(FLabel, dc);
        const int width = size.cx > LabelWidth ? size.cx : LabelWidth;
        const int height = size.cy > LabelHeight ? size.cy : LabelHeight;
        SetWindowPos(FLabel, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    HINSTANCE FInstance;
    IProgressDialog& FDialog;
    TFont FFont;
    TFont FLabelFont;
    TPanelLook FClientLook;
    TPanelLook FBottomLook;
    TImageState FBanner;
    TBarState FBar;
    HWND FLabel = nullptr;
    HWND FBarWindow = nullptr;
};

class TChooserForm : public TFormWindow, public IFormView {
public:
    TChooserForm(HINSTANCE instance, IChooserDialog& dialog)
        : FInstance(instance),
          FDialog(dialog),
          FFont(13),
          FListLook(GetSysColor(COLOR_BTNFACE), true, false, GetSysColor(COLOR_WINDOWTEXT)),
          FButtonLook(PanelGrey, true, false, GetSysColor(COLOR_WINDOWTEXT))
    {
    }
    ~TChooserForm() override { Destroy(); }

    void Create(HWND owner)
    {
        // Sizeable, without border icons.
        const DWORD style = WS_POPUP | WS_CAPTION | WS_THICKFRAME | WS_CLIPCHILDREN;
        const DWORD exStyle = WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT;
        HWND form = CreateForm(FInstance, Win32Controls::ChooserFormClass, FDialog.Caption(), style, exStyle,
                               ChooserWidth, ChooserHeight, owner);
        SendMessageW(form, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);

        FListPanel = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN, 0, 0, 0, 0, form,
                                 Win32Controls::RzPanel2, &FListLook, WS_EX_CONTROLPARENT);
        FList = CreateChild(FInstance, WC_LISTVIEWW, L"",
                            WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS, 0, 0, 0, 0, FListPanel,
                            Win32Controls::List_Files, nullptr);
        SendMessageW(FList, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);
        const DWORD listStyle = LVS_EX_CHECKBOXES | LVS_EX_GRIDLINES | LVS_EX_TRACKSELECT | LVS_EX_FULLROWSELECT;
        SendMessageW(FList, LVM_SETEXTENDEDLISTVIEWSTYLE, listStyle, listStyle);
        SendMessageW(FList, LVM_SETBKCOLOR, 0, PanelGrey);
        SendMessageW(FList, LVM_SETTEXTBKCOLOR, 0, PanelGrey);
        AddColumn(0, FDialog.ColumnTitle(0), PositionColumnWidth);
        AddColumn(1, FDialog.ColumnTitle(1), FileColumnWidth);

        FButtonPanel = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN, 0, 0, 0, 0, form,
                                   Win32Controls::RzPanel1, &FButtonLook, WS_EX_CONTROLPARENT);
        HWND ok = CreateChild(FInstance, L"BUTTON", ToWide(FDialog.OkCaption()).c_str(), WS_TABSTOP | BS_DEFPUSHBUTTON,
                              OkLeft, OkTop, OkWidth, OkHeight, FButtonPanel, Win32Controls::Btn_OK, nullptr);
        SendMessageW(ok, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);

        Layout();
        Populate();
    }

    HWND List() const { return FList; }

    // IFormView: rows added since, and the check marks as the form holds them.
    void Changed() override
    {
        if (Handle() == nullptr) return;
        if (static_cast<std::size_t>(SendMessageW(FList, LVM_GETITEMCOUNT, 0, 0)) != FDialog.RowCount()) {
            Populate();
        } else {
            SyncChecks();
        }
    }

protected:
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        switch (message) {
        case WM_SIZE:
            Layout();
            return 0;
        case WM_CLOSE:
            RequestClose();
            return 0;
        case DM_GETDEFID:
            return MAKELRESULT(Win32Controls::Btn_OK, DC_HASDEFID);
        case WM_COMMAND:
            // A click on the button, or Enter anywhere in the dialog.
            if (LOWORD(wParam) == Win32Controls::Btn_OK && HIWORD(wParam) == BN_CLICKED) {
                FDialog.UserPressedOk();
                return 0;
            }
            break;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->hwndFrom == FList && header->code == LVN_ITEMCHANGED) {
                ListItemChanged(*reinterpret_cast<const NMLISTVIEW*>(lParam));
                return 0;
            }
            break;
        }
        default:
            break;
        }
        return TFormWindow::HandleMessage(message, wParam, lParam);
    }

private:
    void AddColumn(int index, const std::string& title, int width)
    {
        std::wstring text = ToWide(title);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.pszText = &text[0];
        column.cx = width;
        column.iSubItem = index;
        SendMessageW(FList, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
    }

    void Layout()
    {
        RECT area;
        GetClientRect(Handle(), &area);
        const int listHeight = area.bottom - ButtonPanelHeight > 0 ? area.bottom - ButtonPanelHeight : 0;
        MoveWindow(FListPanel, 0, 0, area.right, listHeight, TRUE);
        MoveWindow(FList, 1, 1, area.right > 2 ? area.right - 2 : 0, listHeight > 2 ? listHeight - 2 : 0, TRUE);
        MoveWindow(FButtonPanel, 0, listHeight, area.right, ButtonPanelHeight, TRUE);
    }

    void Populate()
    {
        TSyncing syncing(*this);
        SendMessageW(FList, LVM_DELETEALLITEMS, 0, 0);
        for (std::size_t row = 0; row < FDialog.RowCount(); ++row) {
            std::wstring caption = ToWide(FDialog.RowCaption(row));
            std::wstring subItem = ToWide(FDialog.RowSubItem(row));
            LVITEMW item{};
            item.mask = LVIF_TEXT;
            item.iItem = static_cast<int>(row);
            item.pszText = &caption[0];
            const auto index = static_cast<int>(SendMessageW(FList, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
            LVITEMW sub{};
            sub.iSubItem = 1;
            sub.pszText = &subItem[0];
            SendMessageW(FList, LVM_SETITEMTEXTW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&sub));
        }
        SyncChecksLocked();
    }

    void SyncChecks()
    {
        TSyncing syncing(*this);
        SyncChecksLocked();
    }

    void SyncChecksLocked()
    {
        for (std::size_t row = 0; row < FDialog.RowCount(); ++row) {
            const bool wanted = FDialog.RowChecked(row);
            const auto state = static_cast<UINT>(
                SendMessageW(FList, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK));
            const bool shown = ((state & LVIS_STATEIMAGEMASK) >> 12) == 2;
            if (wanted == shown) continue;
            LVITEMW item{};
            item.stateMask = LVIS_STATEIMAGEMASK;
            item.state = INDEXTOSTATEIMAGEMASK(wanted ? 2 : 1);
            SendMessageW(FList, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
        }
    }

    void ListItemChanged(const NMLISTVIEW& change)
    {
        // Our own syncing changes check marks too; only the user's changes go to the form.
        if (FSyncing || change.iItem < 0 || (change.uChanged & LVIF_STATE) == 0) return;
        const UINT oldImage = (change.uOldState & LVIS_STATEIMAGEMASK) >> 12;
        const UINT newImage = (change.uNewState & LVIS_STATEIMAGEMASK) >> 12;
        // Image 0 is "no check box yet": the list giving a new row its box is no user action.
        if (oldImage == newImage || oldImage == 0 || newImage == 0) return;
        FDialog.UserSetChecked(static_cast<std::size_t>(change.iItem), newImage == 2);
        SyncChecks();
    }

    class TSyncing {
    public:
        explicit TSyncing(TChooserForm& form) : FForm(form), FWas(form.FSyncing) { FForm.FSyncing = true; }
        ~TSyncing() { FForm.FSyncing = FWas; }
        TSyncing(const TSyncing&) = delete;
        TSyncing& operator=(const TSyncing&) = delete;

    private:
        TChooserForm& FForm;
        bool FWas;
    };

    HINSTANCE FInstance;
    IChooserDialog& FDialog;
    TFont FFont;
    TPanelLook FListLook;
    TPanelLook FButtonLook;
    HWND FListPanel = nullptr;
    HWND FList = nullptr;
    HWND FButtonPanel = nullptr;
    bool FSyncing = false;
};

void RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure, HBRUSH background)
{
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(instance, name, &existing)) return;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
    windowClass.hbrBackground = background;
    windowClass.lpszClassName = name;
    if (RegisterClassExW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        RaiseWindowError("无法注册窗口类");
    }
}

void RegisterDialogClasses(HINSTANCE instance)
{
    static bool commonControlsReady = false;
    if (!commonControlsReady) {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
        commonControlsReady = InitCommonControlsEx(&controls) != FALSE;
    }
    HBRUSH face = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    RegisterWindowClass(instance, Win32Controls::ProgressFormClass, &TFormWindow::WindowProc, face);
    RegisterWindowClass(instance, Win32Controls::ChooserFormClass, &TFormWindow::WindowProc, face);
    RegisterWindowClass(instance, PanelClass, &PanelWindowProc, nullptr);
    RegisterWindowClass(instance, ImageClass, &ImageWindowProc, nullptr);
    RegisterWindowClass(instance, ProgressBarClass, &ProgressBarWindowProc, nullptr);
}

void ActivateWindow(HWND window)
{
    if (window != nullptr && IsWindow(window) && IsWindowVisible(window)) SetActiveWindow(window);
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

TWin32Toolkit::TWin32Toolkit() : FInstance(ThisModule()) {}

TWin32Toolkit::~TWin32Toolkit()
{
    if (FTimerWindow != nullptr) DestroyWindow(FTimerWindow);
}

HWND TWin32Toolkit::TimerWindow()
{
    if (FTimerWindow != nullptr && IsWindow(FTimerWindow)) return FTimerWindow;
    RegisterWindowClass(FInstance, TimerClass, &TWin32Toolkit::TimerWindowProc, nullptr);
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
    RegisterDialogClasses(FInstance);
    TQuitRelay quit;  // before the form: the quit goes back after the window is gone
    TProgressForm form(FInstance, dialog);
    TWindowDisabler disabled(ToWindow(FApplicationHandle));
    form.Create(ToWindow(FApplicationHandle));
    TViewAttachment<IProgressDialog> view(dialog, &form);
    ShowWindow(form.Handle(), SW_SHOWNORMAL);
    UpdateWindow(form.Handle());
    dialog.FormShow();
    // A quit before the run is done ends it with the cancel outcome.
    const TModalEnd& end = quit.Keep(RunModalLoop(form, [&dialog] { return dialog.ModalResult(); }));
    // Enabled again before the dialog goes, so that activation returns to the host.
    disabled.Restore();
    form.Destroy();
    form.RethrowKeptError();
    return end.Result;
}

int TWin32Toolkit::ShowChooser(IChooserDialog& dialog)
{
    RegisterDialogClasses(FInstance);
    TQuitRelay quit;  // before the form: the quit goes back after the window is gone
    TChooserForm form(FInstance, dialog);
    HWND previous = GetActiveWindow();
    TWindowDisabler disabled(ToWindow(FApplicationHandle));
    form.Create(ToWindow(FApplicationHandle));
    TViewAttachment<IChooserDialog> view(dialog, &form);
    ShowWindow(form.Handle(), SW_SHOWNORMAL);
    UpdateWindow(form.Handle());
    SetFocus(form.List());
    const TModalEnd& end = quit.Keep(RunModalLoop(form, [&dialog] { return dialog.ModalResult(); }));
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
    ActivateWindow(previous);
    return answer;
}

void TWin32Toolkit::ProcessMessages()
{
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
    // Sent messages (the system asking whether we answer) are delivered by any peek.
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    while (PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageW(&message);
    // Input meant for the dialog while it cannot act on it is dropped, not delivered later.
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE | PM_QS_INPUT)) {
    }
}

}  // namespace Velmora
