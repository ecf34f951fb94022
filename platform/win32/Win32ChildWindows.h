#pragma once
// The child windows the dialogs are built from (panels, the banner and the progress
// bar), the helpers every window of the dialogs shares, and the window classes of
// this module, which exist only while a dialog or a timer needs them.

#include <string>

#include "platform/Toolkit.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Scoped.h"

namespace Velmora::Win32Dialogs {

constexpr COLORREF PanelGrey = RGB(240, 240, 240);  // 15790320
constexpr COLORREF LabelGrey = RGB(128, 128, 128);

constexpr const wchar_t* PanelClass = L"VelmoraPanel";
constexpr const wchar_t* ImageClass = L"VelmoraImage";
constexpr const wchar_t* ProgressBarClass = L"VelmoraProgressBar";

inline HWND ToWindow(TWindowHandle handle) { return reinterpret_cast<HWND>(handle); }

// The object a window was created for, kept in its user data by KeepCreateParams.
template <class T>
T* StateOf(HWND window)
{
    return reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}
void KeepCreateParams(HWND window, LPARAM lParam);

[[noreturn]] void RaiseWindowError(const char* what);
std::wstring WindowText(HWND window);
// SimSun in the GB2312 character set, as the dialogs were laid out with.
HFONT CreateDialogFont(int pixelHeight);

// A panel's colours and edges; its brush also paints the static texts it holds.
struct TPanelLook {
    COLORREF Colour = GetSysColor(COLOR_BTNFACE);
    bool FlatOuter = false;
    bool GroovedInner = false;
    COLORREF TextColour = GetSysColor(COLOR_WINDOWTEXT);
    TGdiObject<HBRUSH> Brush;

    TPanelLook() = default;
    TPanelLook(COLORREF colour, bool flatOuter, bool groovedInner, COLORREF textColour)
        : Colour(colour), FlatOuter(flatOuter), GroovedInner(groovedInner), TextColour(textColour)
    {
    }
    TPanelLook(const TPanelLook&) = delete;
    TPanelLook& operator=(const TPanelLook&) = delete;

    HBRUSH GetBrush()
    {
        if (!Brush) Brush.Reset(CreateSolidBrush(Colour));
        return Brush.Get();
    }
};

struct TImageState {
    TGdiObject<HBITMAP> Bitmap;
};

// The bar's text is its window text (the percentage as shown, "45%").
struct TBarState {
    int Percent = 0;
    HFONT Font = nullptr;
};

// The module's window classes for as long as the object lives. The last one to go
// unregisters them: a host may free this DLL and load another build of it, and no
// class may then be left whose window procedure points into the freed image.
class TWindowClasses {
public:
    struct TClass {
        const wchar_t* Name;
        WNDPROC Procedure;
        HBRUSH Background;
    };
    // The panel, image and progress-bar classes.
    static const TClass ChildClasses[3];

    template <std::size_t N>
    TWindowClasses(HINSTANCE instance, const TClass (&classes)[N]) : TWindowClasses(instance, classes, N)
    {
    }
    TWindowClasses(HINSTANCE instance, const TClass* classes, std::size_t count);
    ~TWindowClasses();
    TWindowClasses(const TWindowClasses&) = delete;
    TWindowClasses& operator=(const TWindowClasses&) = delete;

private:
    void Release();

    HINSTANCE FInstance;
    const TClass* FClasses;
    std::size_t FRegistered = 0;
};

}  // namespace Velmora::Win32Dialogs
