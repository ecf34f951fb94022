#include "platform/win32/Win32ChildWindows.h"

#include <map>
#include <mutex>

#include "platform/Errors.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora::Win32Dialogs {

void KeepCreateParams(HWND window, LPARAM lParam)
{
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
}

void RaiseWindowError(const char* what)
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

HFONT CreateDialogFont(int pixelHeight)
{
    return CreateFontW(-pixelHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"宋体");
}

namespace {

// ---------------------------------------------------------------- painting

void PaintImage(HWND window, HDC dc, const RECT& area)
{
    const TImageState* state = StateOf<TImageState>(window);
    BITMAP info{};
    if (state == nullptr || !state->Bitmap || GetObjectW(state->Bitmap.Get(), sizeof info, &info) == 0) {
        FillRect(dc, &area, GetSysColorBrush(COLOR_WINDOW));
        return;
    }
    const TMemoryDC source(CreateCompatibleDC(dc));
    const TSelection bitmap(source.Get(), state->Bitmap.Get());
    // Stretched to fit, smoothed rather than dropping rows.
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, 0, 0, area.right, area.bottom, source.Get(), 0, 0, info.bmWidth, info.bmHeight, SRCCOPY);
}

// A plain horizontal bar with its text in the middle, in the highlight's colours
// over the filled part.
void PaintBar(HWND window, HDC dc, const RECT& area)
{
    const TBarState* state = StateOf<TBarState>(window);
    const int percent = state != nullptr ? state->Percent : 0;
    const int filled = MulDiv(area.right, percent, 100);
    const RECT done{0, 0, filled, area.bottom};
    const RECT rest{filled, 0, area.right, area.bottom};
    FillRect(dc, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
    FillRect(dc, &rest, GetSysColorBrush(COLOR_WINDOW));
    const std::wstring text = WindowText(window);
    const TSelection font(dc, state != nullptr ? state->Font : nullptr);
    SetBkMode(dc, TRANSPARENT);
    for (int part = 0; part < 2; ++part) {
        const RECT& clip = part == 0 ? done : rest;
        if (clip.right <= clip.left) continue;
        SaveDC(dc);
        IntersectClipRect(dc, clip.left, clip.top, clip.right, clip.bottom);
        SetTextColor(dc, GetSysColor(part == 0 ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
        RECT whole = area;
        DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &whole,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        RestoreDC(dc, -1);
    }
}

// The banner and the bar paint their whole area off screen and copy it in one go,
// so that the fast updates of the copy step do not flicker.
template <void (*Paint)(HWND, HDC, const RECT&)>
void PaintOffScreen(HWND window, HDC dc, const RECT& area)
{
    const TMemoryDC buffer(CreateCompatibleDC(dc));
    const TGdiObject<HBITMAP> bitmap(
        CreateCompatibleBitmap(dc, area.right > 0 ? area.right : 1, area.bottom > 0 ? area.bottom : 1));
    const TSelection selection(buffer.Get(), bitmap.Get());
    Paint(window, buffer.Get(), area);
    BitBlt(dc, 0, 0, area.right, area.bottom, buffer.Get(), 0, 0, SRCCOPY);
}

void PaintPanel(HWND window, HDC dc, const RECT& client)
{
    TPanelLook* look = StateOf<TPanelLook>(window);
    if (look == nullptr) return;
    RECT area = client;
    FillRect(dc, &area, look->GetBrush());
    if (look->FlatOuter) {
        FrameRect(dc, &area, GetSysColorBrush(COLOR_BTNSHADOW));
        InflateRect(&area, -1, -1);
    }
    if (look->GroovedInner) DrawEdge(dc, &area, EDGE_ETCHED, BF_RECT);
}

LRESULT PlainMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT PanelMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
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

// Every child window keeps the state it was created for and paints its whole area
// itself, so the background is never erased first; what else it answers is its own.
template <void (*Paint)(HWND, HDC, const RECT&), LRESULT (*Answer)(HWND, UINT, WPARAM, LPARAM)>
LRESULT CALLBACK ChildWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
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
        Paint(window, dc, area);
        EndPaint(window, &paint);
        return 0;
    }
    default:
        break;
    }
    return Answer(window, message, wParam, lParam);
}

// ---------------------------------------------------------------- classes

// Users of each class of the module; dialogs nest (the chooser opens inside the
// progress dialog), and a test may run dialogs on more than one thread.
std::mutex ClassLock;
std::map<std::wstring, int> ClassUsers;

}  // namespace

const TWindowClasses::TClass TWindowClasses::ChildClasses[3] = {
    {PanelClass, &ChildWindowProc<&PaintPanel, &PanelMessage>, nullptr},
    {ImageClass, &ChildWindowProc<&PaintOffScreen<&PaintImage>, &PlainMessage>, nullptr},
    {ProgressBarClass, &ChildWindowProc<&PaintOffScreen<&PaintBar>, &PlainMessage>, nullptr},
};

TWindowClasses::TWindowClasses(HINSTANCE instance, const TClass* classes, std::size_t count)
    : FInstance(instance), FClasses(classes)
{
    std::lock_guard<std::mutex> lock(ClassLock);
    try {
        for (; FRegistered < count; ++FRegistered) {
            const TClass& wanted = classes[FRegistered];
            int& users = ClassUsers[wanted.Name];
            if (users == 0) {
                WNDCLASSEXW windowClass{};
                windowClass.cbSize = sizeof windowClass;
                windowClass.lpfnWndProc = wanted.Procedure;
                windowClass.hInstance = instance;
                windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
                windowClass.hbrBackground = wanted.Background;
                windowClass.lpszClassName = wanted.Name;
                // A class of this name and module that nobody here holds was left by an
                // earlier copy loaded at the same address: its procedure is gone, so ours replaces it.
                const bool registered =
                    RegisterClassExW(&windowClass) != 0 ||
                    (GetLastError() == ERROR_CLASS_ALREADY_EXISTS && UnregisterClassW(wanted.Name, instance) &&
                     RegisterClassExW(&windowClass) != 0);
                if (!registered) RaiseWindowError("无法注册窗口类");
            }
            ++users;
        }
    } catch (...) {
        Release();
        throw;
    }
}

TWindowClasses::~TWindowClasses()
{
    std::lock_guard<std::mutex> lock(ClassLock);
    Release();
}

void TWindowClasses::Release()
{
    for (; FRegistered > 0; --FRegistered) {
        const TClass& held = FClasses[FRegistered - 1];
        if (--ClassUsers[held.Name] == 0) UnregisterClassW(held.Name, FInstance);
    }
}

}  // namespace Velmora::Win32Dialogs
