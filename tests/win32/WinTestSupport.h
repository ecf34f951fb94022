#pragma once
// Helpers of the Windows test programs: watching message boxes and the progress
// dialog from a second thread, host windows, screenshots, folders and the
// stand-in database service.

#include <functional>
#include <string>
#include <vector>

#include "platform/win32/Win32Api.h"

namespace Velmora::WinTest {

// A message box as read back from the screen.
struct TSeenBox {
    std::wstring Caption;
    std::wstring Text;
    HWND Owner = nullptr;
    HICON Icon = nullptr;
};

// Watches this process from a second thread: reads every message box (#32770) that
// appears, gives it to the test's check, then presses OK; and follows the status
// line of the progress dialog. Reading uses InternalGetWindowText, which needs no
// answer from the busy GUI thread.
class TScreenWatcher {
public:
    explicit TScreenWatcher(std::function<void(const TSeenBox&)> onBox = {});
    ~TScreenWatcher();
    TScreenWatcher(const TScreenWatcher&) = delete;
    TScreenWatcher& operator=(const TScreenWatcher&) = delete;

    std::vector<TSeenBox> Boxes() const;
    // The status line's texts, each change once, in order.
    std::vector<std::wstring> StatusTexts() const;
    bool ProgressDialogSeen() const;
    HWND ProgressDialogOwner() const;
    // Whether the dialog's owner took input when the dialog appeared. (As the dialog
    // closes, its owner is enabled again a moment before the dialog goes.)
    bool OwnerEnabledWhenDialogAppeared() const;

private:
    static DWORD WINAPI Run(void* self);
    void Look();
    void LookAtBox(HWND box);

    std::function<void(const TSeenBox&)> FOnBox;
    mutable CRITICAL_SECTION FLock;
    HANDLE FThread = nullptr;
    volatile LONG FStop = 0;
    std::vector<TSeenBox> FBoxes;
    std::vector<HWND> FHandled;
    std::vector<std::wstring> FStatus;
    bool FDialogSeen = false;
    HWND FDialogOwner = nullptr;
    bool FOwnerEnabled = false;
};

// The text of a window without sending it a message.
std::wstring TextOf(HWND window);
// The first visible top-level window of this process with the given class.
HWND FindProcessWindow(const wchar_t* className);
// A child at any depth with the given control ID.
HWND FindControl(HWND parent, int id);
// A window's rectangle relative to its parent's client area.
RECT RectInParent(HWND window);

// A plain visible top-level window standing in for the host's main window.
class THostWindow {
public:
    explicit THostWindow(const wchar_t* title = L"Velmora test host");
    ~THostWindow();
    THostWindow(const THostWindow&) = delete;
    THostWindow& operator=(const THostWindow&) = delete;
    HWND Handle() const { return FHandle; }

private:
    HWND FHandle = nullptr;
};

// Writes the window as it is on screen to <VELMORA_SCREENS_DIR>\<name>.bmp; does
// nothing when that variable is not set. Answers false when it was set but failed.
bool SaveScreenshot(HWND window, const std::wstring& name);

// A fresh folder under the temporary folder (trailing backslash), removed with its files.
class TTempFolder {
public:
    explicit TTempFolder(const std::wstring& name);
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    const std::wstring& Path() const { return FPath; }

private:
    std::wstring FPath;
};

void WriteWholeFile(const std::wstring& path, const std::string& bytes);
bool ReadWholeFile(const std::wstring& path, std::string& bytes);
bool FileExists(const std::wstring& path);
// Wide text in the system ANSI code page, as the host passes its arguments.
std::string ToAnsi(const std::wstring& text);

// Removes the service "MSSQLServer" if it exists, stopping it first.
void RemoveSqlService();

// The stand-in program installed as "MSSQLServer" for the life of the object.
class TStandInService {
public:
    explicit TStandInService(const std::wstring& programPath);
    ~TStandInService();
    TStandInService(const TStandInService&) = delete;
    TStandInService& operator=(const TStandInService&) = delete;

    DWORD State() const;
    // Starts the service and waits until it runs.
    bool StartAndWait();
    bool Installed() const { return FInstalled; }
    const std::string& Failure() const { return FFailure; }

private:
    bool FInstalled = false;
    std::string FFailure;
};

// The folder of the running program, with a trailing backslash.
std::wstring ProgramFolder();

// Runs fn on a new thread and waits for it.
void RunOnNewThread(const std::function<void()>& fn);

}  // namespace Velmora::WinTest
