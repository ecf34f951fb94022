#include "tests/win32/WinTestSupport.h"

#include <algorithm>
#include <cstdio>

#include "platform/win32/Win32Scoped.h"
#include "platform/win32/Win32Toolkit.h"

namespace Velmora::WinTest {

namespace {

constexpr const wchar_t* SqlServiceName = L"MSSQLServer";

struct TClassSearch {
    const wchar_t* ClassName;
    HWND Found;
};

BOOL CALLBACK FindByClass(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<TClassSearch*>(data);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process != GetCurrentProcessId() || !IsWindowVisible(window)) return TRUE;
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    if (std::wstring(name) != search->ClassName) return TRUE;
    search->Found = window;
    return FALSE;
}

struct TIdSearch {
    int Id;
    HWND Found;
};

BOOL CALLBACK FindById(HWND window, LPARAM data)
{
    auto* search = reinterpret_cast<TIdSearch*>(data);
    if (GetDlgCtrlID(window) != search->Id) return TRUE;
    search->Found = window;
    return FALSE;
}

BOOL CALLBACK CollectWindows(HWND window, LPARAM data)
{
    reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
    return TRUE;
}

// The text of a box: control 0xFFFF on Windows and Wine; failing that, the longest
// text of its static controls.
std::wstring BoxText(HWND box)
{
    HWND text = GetDlgItem(box, 0xFFFF);
    if (text != nullptr) return TextOf(text);
    std::vector<HWND> children;
    EnumChildWindows(box, &CollectWindows, reinterpret_cast<LPARAM>(&children));
    std::wstring longest;
    for (HWND child : children) {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        if (_wcsicmp(name, L"Static") != 0) continue;
        const std::wstring candidate = TextOf(child);
        if (candidate.size() > longest.size()) longest = candidate;
    }
    return longest;
}

HICON BoxIcon(HWND box)
{
    // 0x14 on Windows, stc1 (0x440) on Wine.
    for (int id : {0x14, 0x440}) {
        HWND icon = GetDlgItem(box, id);
        if (icon == nullptr) continue;
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &answer)) {
            return reinterpret_cast<HICON>(answer);
        }
    }
    return nullptr;
}

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

// ---------------------------------------------------------------- watcher

TScreenWatcher::TScreenWatcher(std::function<void(const TSeenBox&)> onBox) : FOnBox(std::move(onBox))
{
    InitializeCriticalSection(&FLock);
    FThread = CreateThread(nullptr, 0, &TScreenWatcher::Run, this, 0, nullptr);
}

TScreenWatcher::~TScreenWatcher()
{
    InterlockedExchange(&FStop, 1);
    if (FThread != nullptr) {
        WaitForSingleObject(FThread, INFINITE);
        CloseHandle(FThread);
    }
    DeleteCriticalSection(&FLock);
}

DWORD WINAPI TScreenWatcher::Run(void* self)
{
    auto* watcher = static_cast<TScreenWatcher*>(self);
    while (InterlockedCompareExchange(&watcher->FStop, 0, 0) == 0) {
        watcher->Look();
        Sleep(5);
    }
    return 0;
}

void TScreenWatcher::Look()
{
    HWND form = FindProcessWindow(Win32Controls::ProgressFormClass);
    if (form != nullptr) {
        HWND label = FindControl(form, Win32Controls::RzLabel_ShowInfo);
        const std::wstring status = label != nullptr ? TextOf(label) : std::wstring();
        HWND owner = GetWindow(form, GW_OWNER);
        EnterCriticalSection(&FLock);
        if (!FDialogSeen) FOwnerEnabled = owner != nullptr && IsWindowEnabled(owner);
        FDialogSeen = true;
        FDialogOwner = owner;
        if (!status.empty() && (FStatus.empty() || FStatus.back() != status)) FStatus.push_back(status);
        LeaveCriticalSection(&FLock);
    }

    std::vector<HWND> windows;
    EnumWindows(&CollectWindows, reinterpret_cast<LPARAM>(&windows));
    for (HWND window : windows) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process != GetCurrentProcessId() || !IsWindowVisible(window)) continue;
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (std::wstring(name) == L"#32770") LookAtBox(window);
    }
    // Forget boxes that are gone, so that a reused handle counts as a new box.
    EnterCriticalSection(&FLock);
    FHandled.erase(std::remove_if(FHandled.begin(), FHandled.end(), [](HWND h) { return !IsWindow(h); }),
                   FHandled.end());
    LeaveCriticalSection(&FLock);
}

void TScreenWatcher::LookAtBox(HWND box)
{
    EnterCriticalSection(&FLock);
    const bool known = std::find(FHandled.begin(), FHandled.end(), box) != FHandled.end();
    if (!known) FHandled.push_back(box);
    LeaveCriticalSection(&FLock);
    if (known) return;

    // A box can be visible before it has its icon: under load the first look came
    // too early. Every box of this program has one; wait a moment for it.
    TSeenBox seen;
    seen.Icon = BoxIcon(box);
    for (const ULONGLONG end = GetTickCount64() + 1000; seen.Icon == nullptr && GetTickCount64() < end;) {
        Sleep(5);
        seen.Icon = BoxIcon(box);
    }
    seen.Caption = TextOf(box);
    seen.Text = BoxText(box);
    seen.Owner = GetWindow(box, GW_OWNER);
    if (FOnBox) FOnBox(seen);
    EnterCriticalSection(&FLock);
    FBoxes.push_back(seen);
    LeaveCriticalSection(&FLock);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

std::vector<TSeenBox> TScreenWatcher::Boxes() const
{
    EnterCriticalSection(&FLock);
    std::vector<TSeenBox> boxes = FBoxes;
    LeaveCriticalSection(&FLock);
    return boxes;
}

std::vector<std::wstring> TScreenWatcher::StatusTexts() const
{
    EnterCriticalSection(&FLock);
    std::vector<std::wstring> texts = FStatus;
    LeaveCriticalSection(&FLock);
    return texts;
}

bool TScreenWatcher::ProgressDialogSeen() const
{
    EnterCriticalSection(&FLock);
    const bool seen = FDialogSeen;
    LeaveCriticalSection(&FLock);
    return seen;
}

HWND TScreenWatcher::ProgressDialogOwner() const
{
    EnterCriticalSection(&FLock);
    HWND owner = FDialogOwner;
    LeaveCriticalSection(&FLock);
    return owner;
}

bool TScreenWatcher::OwnerEnabledWhenDialogAppeared() const
{
    EnterCriticalSection(&FLock);
    const bool enabled = FOwnerEnabled;
    LeaveCriticalSection(&FLock);
    return enabled;
}

// ---------------------------------------------------------------- windows

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = {};
    const int length = InternalGetWindowText(window, text, 1024);
    return std::wstring(text, static_cast<std::size_t>(length > 0 ? length : 0));
}

HWND FindProcessWindow(const wchar_t* className)
{
    TClassSearch search{className, nullptr};
    EnumWindows(&FindByClass, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

HWND FindControl(HWND parent, int id)
{
    TIdSearch search{id, nullptr};
    EnumChildWindows(parent, &FindById, reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

RECT RectInParent(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

THostWindow::THostWindow(const wchar_t* title)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &HostWindowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = L"VelmoraTestHost";
    RegisterClassExW(&windowClass);
    FHandle = CreateWindowExW(0, L"VelmoraTestHost", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200,
                              nullptr, nullptr, instance, nullptr);
}

THostWindow::~THostWindow()
{
    if (FHandle != nullptr) DestroyWindow(FHandle);
}

bool SaveScreenshot(HWND window, const std::wstring& name)
{
    wchar_t folder[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"VELMORA_SCREENS_DIR", folder, MAX_PATH) == 0) return true;
    CreateDirectoryW(folder, nullptr);
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    GdiFlush();
    // Wine copies what a window painted to the screen when the thread next looks at
    // its queue; look without taking anything out.
    for (int i = 0; i < 10; ++i) {
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
        Sleep(15);
    }

    RECT rect;
    GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const TWindowDC screen(nullptr);
    const TMemoryDC memory(CreateCompatibleDC(screen.Get()));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    const TGdiObject<HBITMAP> bitmap(CreateDIBSection(screen.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    const TSelection selection(memory.Get(), bitmap.Get());
    BitBlt(memory.Get(), 0, 0, width, height, screen.Get(), rect.left, rect.top, SRCCOPY);
    GdiFlush();

    const DWORD stride = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD imageSize = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    header.bfSize = header.bfOffBits + imageSize;
    info.bmiHeader.biSizeImage = imageSize;

    const std::wstring path = std::wstring(folder) + L"\\" + name + L".bmp";
    const TFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    return file && WriteFile(file.Get(), &header, sizeof header, &done, nullptr) &&
           WriteFile(file.Get(), &info.bmiHeader, sizeof(BITMAPINFOHEADER), &done, nullptr) &&
           WriteFile(file.Get(), bits, imageSize, &done, nullptr);
}

// ---------------------------------------------------------------- files

TTempFolder::TTempFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    FPath = std::wstring(temp) + name + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(FPath.c_str(), nullptr);
}

TTempFolder::~TTempFolder()
{
    // Two levels are enough for what the tests leave behind.
    for (int pass = 0; pass < 2; ++pass) {
        WIN32_FIND_DATAW found;
        std::vector<std::wstring> folders{FPath};
        for (std::size_t i = 0; i < folders.size(); ++i) {
            const TFindHandle search(FindFirstFileW((folders[i] + L"*").c_str(), &found));
            if (!search) continue;
            do {
                const std::wstring entry = found.cFileName;
                if (entry == L"." || entry == L"..") continue;
                const std::wstring full = folders[i] + entry;
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    folders.push_back(full + L"\\");
                } else {
                    DeleteFileW(full.c_str());
                }
            } while (FindNextFileW(search.Get(), &found));
        }
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) RemoveDirectoryW(folder->c_str());
    }
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes)
{
    const TFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    if (file) WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    const TFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size;
    GetFileSizeEx(file.Get(), &size);
    bytes.assign(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD done = 0;
    const BOOL ok = bytes.empty() || ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(bytes.size()), &done, nullptr);
    return ok && done == bytes.size();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int length = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &ansi[0], length, nullptr, nullptr);
    return ansi;
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// ---------------------------------------------------------------- services

namespace {

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    SERVICE_STATUS status{};
    while (QueryServiceStatus(service, &status)) {
        if (status.dwCurrentState == wanted) return true;
        if (GetTickCount64() > end) return false;
        Sleep(20);
    }
    return false;
}

}  // namespace

void RemoveSqlService()
{
    const TServiceManagerHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    TServiceManagerHandle service(OpenServiceW(manager.Get(), SqlServiceName, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED) {
        // A start still pending has to finish before the service takes a stop.
        WaitForState(service.Get(), SERVICE_RUNNING, 5000);
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(service.Get(), SERVICE_STOPPED, 5000);
    }
    DeleteService(service.Get());
    service.Reset();
    // The name stays taken until the last handle closes; wait until it is free.
    for (int i = 0; i < 100; ++i) {
        const TServiceManagerHandle again(OpenServiceW(manager.Get(), SqlServiceName, SERVICE_QUERY_STATUS));
        if (!again) break;
        Sleep(20);
    }
}

TStandInService::TStandInService(const std::wstring& programPath)
{
    RemoveSqlService();
    const TServiceManagerHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) {
        FFailure = "OpenSCManager failed: " + std::to_string(GetLastError());
        return;
    }
    const std::wstring command = L"\"" + programPath + L"\"";
    const TServiceManagerHandle service(
        CreateServiceW(manager.Get(), SqlServiceName, L"SQL Server stand-in", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, command.c_str(),
                       nullptr, nullptr, nullptr, nullptr, nullptr));
    FInstalled = static_cast<bool>(service);
    if (!FInstalled) FFailure = "CreateService failed: " + std::to_string(GetLastError());
}

TStandInService::~TStandInService() { RemoveSqlService(); }

DWORD TStandInService::State() const
{
    const TServiceManagerHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const TServiceManagerHandle service(
        manager ? OpenServiceW(manager.Get(), SqlServiceName, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS status{};
    return service && QueryServiceStatus(service.Get(), &status) ? status.dwCurrentState : 0;
}

bool TStandInService::StartAndWait()
{
    const TServiceManagerHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const TServiceManagerHandle service(
        manager ? OpenServiceW(manager.Get(), SqlServiceName, SERVICE_START | SERVICE_QUERY_STATUS) : nullptr);
    return service && StartServiceW(service.Get(), 0, nullptr) && WaitForState(service.Get(), SERVICE_RUNNING, 10000);
}

void RunOnNewThread(const std::function<void()>& fn)
{
    struct TCall {
        static DWORD WINAPI Run(void* data)
        {
            (*static_cast<const std::function<void()>*>(data))();
            return 0;
        }
    };
    const TKernelHandle thread(
        CreateThread(nullptr, 0, &TCall::Run, const_cast<std::function<void()>*>(&fn), 0, nullptr));
    if (thread) WaitForSingleObject(thread.Get(), INFINITE);
}

}  // namespace Velmora::WinTest
