#include "platform/win32/Win32Forms.h"

#include "platform/Errors.h"
#include "platform/win32/Win32Banner.h"
#include "platform/win32/Win32Toolkit.h"

namespace Velmora::Win32Dialogs {

namespace {

// The layouts, in pixels at 96 DPI.
constexpr int ProgressClientWidth = 295;
constexpr int ProgressClientHeight = 78;
constexpr int BannerHeight = 25;
constexpr int BottomPanelHeight = 20;
constexpr int LabelLeft = 67;
constexpr int LabelTop = 11;
constexpr int LabelWidth = 147;
constexpr int LabelHeight = 14;
constexpr int FontHeight = 13;
constexpr int LabelFontHeight = 14;

constexpr int ChooserWidth = 315;
constexpr int ChooserHeight = 200;
constexpr int ButtonPanelHeight = 41;
constexpr int OkLeft = 192;
constexpr int OkTop = 8;
constexpr int OkWidth = 75;
constexpr int OkHeight = 25;
constexpr int PositionColumnWidth = 50;  // a list column's default width
constexpr int FileColumnWidth = 239;

template <class TFunction>
TFunction SystemFunction(HMODULE module, const char* name)
{
    FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
    return reinterpret_cast<TFunction>(reinterpret_cast<void*>(found));
}

// Later systems say per window (Windows 10) or per monitor (8.1) what DPI a DPI-aware
// program draws at; XP and a DPI-unaware program have the screen's one, which the
// system scales for it. Looked up at run time: the DLL still loads where they are missing.
int DpiOf(HWND owner, HMONITOR monitor)
{
    if (owner != nullptr) {
        using TGetDpiForWindow = UINT(WINAPI*)(HWND);
        auto forWindow = SystemFunction<TGetDpiForWindow>(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow");
        const UINT dpi = forWindow != nullptr ? forWindow(owner) : 0;
        if (dpi != 0) return static_cast<int>(dpi);
    }
    if (HMODULE shcore = LoadLibraryW(L"shcore.dll")) {
        using TGetDpiForMonitor = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
        auto forMonitor = SystemFunction<TGetDpiForMonitor>(shcore, "GetDpiForMonitor");
        UINT x = 0;
        UINT y = 0;
        const bool known = forMonitor != nullptr && SUCCEEDED(forMonitor(monitor, 0 /* MDT_EFFECTIVE_DPI */, &x, &y));
        FreeLibrary(shcore);
        if (known && x != 0) return static_cast<int>(x);
    }
    const TWindowDC screen(nullptr);
    const int dpi = screen.Get() != nullptr ? GetDeviceCaps(screen.Get(), LOGPIXELSX) : 0;
    return dpi > 0 ? dpi : 96;
}

}  // namespace

// ---------------------------------------------------------------- placement

TPlacement::TPlacement(HWND owner)
{
    const bool hasOwner = owner != nullptr && IsWindow(owner);
    HMONITOR monitor = hasOwner ? MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST)
                                : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) {
        FWorkArea = info.rcWork;
    } else {
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &FWorkArea, 0);
    }
    FDpi = DpiOf(hasOwner ? owner : nullptr, monitor);
}

RECT TPlacement::Scale(int left, int top, int width, int height) const
{
    return RECT{Scale(left), Scale(top), Scale(left + width), Scale(top + height)};
}

POINT TPlacement::Centre(int width, int height) const
{
    return POINT{FWorkArea.left + (FWorkArea.right - FWorkArea.left - width) / 2,
                 FWorkArea.top + (FWorkArea.bottom - FWorkArea.top - height) / 2};
}

// ---------------------------------------------------------------- modal helpers

TWindowDisabler::TWindowDisabler(HWND applicationWindow)
{
    EnumThreadWindows(GetCurrentThreadId(), &TWindowDisabler::DisableOne, reinterpret_cast<LPARAM>(this));
    if (applicationWindow != nullptr && IsWindow(applicationWindow) && IsWindowEnabled(applicationWindow)) {
        EnableWindow(applicationWindow, FALSE);
        FDisabled.push_back(applicationWindow);
    }
}

void TWindowDisabler::Restore()
{
    for (auto window = FDisabled.rbegin(); window != FDisabled.rend(); ++window) {
        if (IsWindow(*window)) EnableWindow(*window, TRUE);
    }
    FDisabled.clear();
}

BOOL CALLBACK TWindowDisabler::DisableOne(HWND window, LPARAM self)
{
    if (IsWindowVisible(window) && IsWindowEnabled(window)) {
        EnableWindow(window, FALSE);
        reinterpret_cast<TWindowDisabler*>(self)->FDisabled.push_back(window);
    }
    return TRUE;
}

void ActivateWindow(HWND window)
{
    if (window != nullptr && IsWindow(window) && IsWindowVisible(window)) SetActiveWindow(window);
}

// ---------------------------------------------------------------- form window

TFormWindow::~TFormWindow()
{
    if (FHandle != nullptr) DestroyWindow(FHandle);
}

void TFormWindow::Destroy()
{
    if (FHandle != nullptr) DestroyWindow(FHandle);
}

void TFormWindow::RethrowKeptError()
{
    if (FError) std::rethrow_exception(FError);
}

LRESULT CALLBACK TFormWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
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

LRESULT TFormWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(FHandle, message, wParam, lParam);
}

void TFormWindow::KeepError(std::exception_ptr error)
{
    if (!FError) FError = error;
    FCloseRequested = true;
}

HWND TFormWindow::CreateForm(HINSTANCE instance, const wchar_t* className, const std::string& caption, DWORD style,
                             DWORD exStyle, int width, int height, HWND owner, int clientWidth, int clientHeight)
{
    POINT place = FPlacement.Centre(width, height);
    HWND window = CreateWindowExW(exStyle, className, ToWide(caption).c_str(), style, place.x, place.y, width, height,
                                  owner, nullptr, instance, this);
    if (window == nullptr) RaiseWindowError("无法创建对话框");
    RECT client;
    if (clientWidth > 0 && GetClientRect(window, &client) &&
        (client.right != clientWidth || client.bottom != clientHeight)) {
        // A frame the system draws wider at this DPI than it said.
        width += clientWidth - client.right;
        height += clientHeight - client.bottom;
        place = FPlacement.Centre(width, height);
        SetWindowPos(window, nullptr, place.x, place.y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return window;
}

HWND TFormWindow::CreateChild(HINSTANCE instance, const wchar_t* className, const wchar_t* text, DWORD style,
                              const RECT& place, HWND parent, int id, void* state, DWORD exStyle)
{
    HWND window = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, place.left, place.top,
                                  place.right - place.left, place.bottom - place.top, parent,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, state);
    if (window == nullptr) RaiseWindowError("无法创建对话框中的控件");
    return window;
}

// ---------------------------------------------------------------- classes

namespace {
HBRUSH const FaceBrush = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
}

const TWindowClasses::TClass ProgressFormClasses[4] = {
    {Win32Controls::ProgressFormClass, &TFormWindow::WindowProc, FaceBrush},
    TWindowClasses::ChildClasses[0],
    TWindowClasses::ChildClasses[1],
    TWindowClasses::ChildClasses[2],
};
const TWindowClasses::TClass ChooserFormClasses[4] = {
    {Win32Controls::ChooserFormClass, &TFormWindow::WindowProc, FaceBrush},
    TWindowClasses::ChildClasses[0],
    TWindowClasses::ChildClasses[1],
    TWindowClasses::ChildClasses[2],
};

void LoadCommonControls()
{
    static bool ready = false;
    if (!ready) {
        INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
        ready = InitCommonControlsEx(&controls) != FALSE;
    }
}

// ---------------------------------------------------------------- progress form

TProgressForm::TProgressForm(HINSTANCE instance, IProgressDialog& dialog, HWND owner)
    : TFormWindow(owner),
      FInstance(instance),
      FDialog(dialog),
      FFont(CreateDialogFont(FPlacement.Scale(FontHeight))),
      FLabelFont(CreateDialogFont(FPlacement.Scale(LabelFontHeight))),
      FClientLook(PanelGrey, true, true, LabelGrey),
      FBottomLook(GetSysColor(COLOR_BTNFACE), true, false, GetSysColor(COLOR_WINDOWTEXT))
{
    FBanner.Bitmap.Reset(LoadBannerBitmap(instance));
    FBar.Font = FFont.Get();
}

TProgressForm::~TProgressForm()
{
    Destroy();
}

void TProgressForm::Create(HWND owner)
{
    // A dialog frame without close, minimise or system-menu buttons.
    const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN | DS_MODALFRAME;
    const DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT;
    const TPlacement& at = FPlacement;
    const int clientWidth = at.Scale(ProgressClientWidth);
    const int clientHeight = at.Scale(ProgressClientHeight);
    RECT outer{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&outer, style, FALSE, exStyle);
    HWND form = CreateForm(FInstance, Win32Controls::ProgressFormClass, FDialog.Caption(), style, exStyle,
                           outer.right - outer.left, outer.bottom - outer.top, owner, clientWidth, clientHeight);
    SendMessageW(form, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);

    CreateChild(FInstance, ImageClass, L"", 0, at.Scale(0, 0, ProgressClientWidth, BannerHeight), form,
                Win32Controls::Image_log, &FBanner);
    const int middleHeight = ProgressClientHeight - BannerHeight - BottomPanelHeight;
    HWND client = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN,
                              at.Scale(0, BannerHeight, ProgressClientWidth, middleHeight), form,
                              Win32Controls::RzPanel_Client, &FClientLook);
    FLabel = CreateChild(FInstance, L"STATIC", L"", SS_LEFT | SS_NOPREFIX,
                         at.Scale(LabelLeft, LabelTop, LabelWidth, LabelHeight), client,
                         Win32Controls::RzLabel_ShowInfo, nullptr);
    SendMessageW(FLabel, WM_SETFONT, reinterpret_cast<WPARAM>(FLabelFont.Get()), FALSE);
    // The bar's place is given inside its panel; the panel's edges are scaled on the
    // dialog, the bar's on the panel.
    HWND bottom = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN,
                              at.Scale(0, ProgressClientHeight - BottomPanelHeight, ProgressClientWidth,
                                       BottomPanelHeight),
                              form, Win32Controls::RzPanel_Bottom, &FBottomLook);
    FBarWindow = CreateChild(FInstance, ProgressBarClass, L"0%", 0,
                             at.Scale(1, 1, ProgressClientWidth - 2, BottomPanelHeight - 2), bottom,
                             Win32Controls::Progress_Step, &FBar);
    Changed();
}

void TProgressForm::Changed()
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

LRESULT TProgressForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    // No way out but the run's own outcome.
    if (message == WM_CLOSE) return 0;
    return TFormWindow::HandleMessage(message, wParam, lParam);
}

// The label grows with its caption, as an auto-sized label does: its design size
// (147 x 14) holds the first caption in SimSun, the later ones are longer.
void TProgressForm::FitLabel(const std::wstring& text)
{
    SIZE size{0, 0};
    {
        const TWindowDC dc(FLabel);
        const TSelection font(dc.Get(), FLabelFont.Get());
        GetTextExtentPoint32W(dc.Get(), text.c_str(), static_cast<int>(text.size()), &size);
    }
    const int minimumWidth = FPlacement.Scale(LabelWidth);
    const int minimumHeight = FPlacement.Scale(LabelHeight);
    const int width = size.cx > minimumWidth ? size.cx : minimumWidth;
    const int height = size.cy > minimumHeight ? size.cy : minimumHeight;
    SetWindowPos(FLabel, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// ---------------------------------------------------------------- chooser form

class TChooserForm::TSyncing {
public:
    explicit TSyncing(TChooserForm& form) : FForm(form), FWas(form.FSyncing) { FForm.FSyncing = true; }
    ~TSyncing() { FForm.FSyncing = FWas; }
    TSyncing(const TSyncing&) = delete;
    TSyncing& operator=(const TSyncing&) = delete;

private:
    TChooserForm& FForm;
    bool FWas;
};

TChooserForm::TChooserForm(HINSTANCE instance, IChooserDialog& dialog, HWND owner)
    : TFormWindow(owner),
      FInstance(instance),
      FDialog(dialog),
      FFont(CreateDialogFont(FPlacement.Scale(FontHeight))),
      FListLook(GetSysColor(COLOR_BTNFACE), true, false, GetSysColor(COLOR_WINDOWTEXT)),
      FButtonLook(PanelGrey, true, false, GetSysColor(COLOR_WINDOWTEXT))
{
}

TChooserForm::~TChooserForm() { Destroy(); }

void TChooserForm::Create(HWND owner)
{
    // Sizeable, without border icons.
    const DWORD style = WS_POPUP | WS_CAPTION | WS_THICKFRAME | WS_CLIPCHILDREN;
    const DWORD exStyle = WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT;
    const TPlacement& at = FPlacement;
    HWND form = CreateForm(FInstance, Win32Controls::ChooserFormClass, FDialog.Caption(), style, exStyle,
                           at.Scale(ChooserWidth), at.Scale(ChooserHeight), owner);
    SendMessageW(form, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);

    const RECT nowhere{0, 0, 0, 0};  // placed by Layout
    FListPanel = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN, nowhere, form, Win32Controls::RzPanel2,
                             &FListLook, WS_EX_CONTROLPARENT);
    FList = CreateChild(FInstance, WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS,
                        nowhere, FListPanel, Win32Controls::List_Files, nullptr);
    SendMessageW(FList, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);
    const DWORD listStyle = LVS_EX_CHECKBOXES | LVS_EX_GRIDLINES | LVS_EX_TRACKSELECT | LVS_EX_FULLROWSELECT;
    SendMessageW(FList, LVM_SETEXTENDEDLISTVIEWSTYLE, listStyle, listStyle);
    SendMessageW(FList, LVM_SETBKCOLOR, 0, PanelGrey);
    SendMessageW(FList, LVM_SETTEXTBKCOLOR, 0, PanelGrey);
    AddColumn(0, FDialog.ColumnTitle(0), at.Scale(PositionColumnWidth));
    AddColumn(1, FDialog.ColumnTitle(1), at.Scale(FileColumnWidth));

    FButtonPanel = CreateChild(FInstance, PanelClass, L"", WS_CLIPCHILDREN, nowhere, form, Win32Controls::RzPanel1,
                               &FButtonLook, WS_EX_CONTROLPARENT);
    HWND ok = CreateChild(FInstance, L"BUTTON", ToWide(FDialog.OkCaption()).c_str(), WS_TABSTOP | BS_DEFPUSHBUTTON,
                          at.Scale(OkLeft, OkTop, OkWidth, OkHeight), FButtonPanel, Win32Controls::Btn_OK, nullptr);
    SendMessageW(ok, WM_SETFONT, reinterpret_cast<WPARAM>(FFont.Get()), FALSE);

    Layout();
    Populate();
}

void TChooserForm::Changed()
{
    if (Handle() == nullptr) return;
    if (static_cast<std::size_t>(SendMessageW(FList, LVM_GETITEMCOUNT, 0, 0)) != FDialog.RowCount()) {
        Populate();
    } else {
        SyncChecks();
    }
}

LRESULT TChooserForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
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

void TChooserForm::AddColumn(int index, const std::string& title, int width)
{
    std::wstring text = ToWide(title);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = &text[0];
    column.cx = width;
    column.iSubItem = index;
    SendMessageW(FList, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

void TChooserForm::Layout()
{
    RECT area;
    GetClientRect(Handle(), &area);
    const int buttonsHeight = FPlacement.Scale(ButtonPanelHeight);
    const int listHeight = area.bottom - buttonsHeight > 0 ? area.bottom - buttonsHeight : 0;
    MoveWindow(FListPanel, 0, 0, area.right, listHeight, TRUE);
    // Inside the panel's one-pixel frame.
    MoveWindow(FList, 1, 1, area.right > 2 ? area.right - 2 : 0, listHeight > 2 ? listHeight - 2 : 0, TRUE);
    MoveWindow(FButtonPanel, 0, listHeight, area.right, buttonsHeight, TRUE);
}

void TChooserForm::Populate()
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

void TChooserForm::SyncChecks()
{
    TSyncing syncing(*this);
    SyncChecksLocked();
}

void TChooserForm::SyncChecksLocked()
{
    for (std::size_t row = 0; row < FDialog.RowCount(); ++row) {
        const bool wanted = FDialog.RowChecked(row);
        const auto state =
            static_cast<UINT>(SendMessageW(FList, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK));
        const bool shown = ((state & LVIS_STATEIMAGEMASK) >> 12) == 2;
        if (wanted == shown) continue;
        LVITEMW item{};
        item.stateMask = LVIS_STATEIMAGEMASK;
        item.state = INDEXTOSTATEIMAGEMASK(wanted ? 2 : 1);
        SendMessageW(FList, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    }
}

void TChooserForm::ListItemChanged(const NMLISTVIEW& change)
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

}  // namespace Velmora::Win32Dialogs
