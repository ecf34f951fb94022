// The Win32 toolkit with the real forms: layout and texts read back with Win32
// calls, the chooser driven by messages, message boxes and timers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "chooser/GetFileList.h"
#include "platform/Errors.h"
#include "platform/win32/Win32Scoped.h"
#include "platform/win32/Win32Toolkit.h"
#include "plugin/HostContract.h"
#include "preprocess/DealWithUFO.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/win32/WinTestSupport.h"

namespace Velmora {
namespace {

using WinTest::FindControl;
using WinTest::FindProcessWindow;
using WinTest::RectInParent;
using WinTest::THostWindow;
using WinTest::TScreenWatcher;

std::wstring Text(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

void ExpectRect(HWND window, int left, int top, int width, int height, const char* name)
{
    ASSERT_NE(window, nullptr) << name;
    const RECT rect = RectInParent(window);
    EXPECT_EQ(rect.left, left) << name;
    EXPECT_EQ(rect.top, top) << name;
    EXPECT_EQ(rect.right - rect.left, width) << name;
    EXPECT_EQ(rect.bottom - rect.top, height) << name;
}

// Centred on the work area of the monitor that holds the host window.
void ExpectCentredOnHostsMonitor(HWND window, HWND host)
{
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(host, MONITOR_DEFAULTTONEAREST), &monitor));
    RECT rect;
    GetWindowRect(window, &rect);
    EXPECT_LE(std::abs((rect.left + rect.right) - (monitor.rcWork.left + monitor.rcWork.right)), 2);
    EXPECT_LE(std::abs((rect.top + rect.bottom) - (monitor.rcWork.top + monitor.rcWork.bottom)), 2);
}

// The status label sits at 67, 11 and is at least its design size, 147 x 14, and
// wide enough for its whole caption.
void ExpectLabelFits(HWND label, int (*scale)(int) = [](int pixels) { return pixels; })
{
    ASSERT_NE(label, nullptr);
    const RECT rect = RectInParent(label);
    EXPECT_EQ(rect.left, scale(67));
    EXPECT_EQ(rect.top, scale(11));
    const std::wstring text = Text(label);
    const TWindowDC dc(label);
    const TSelection font(dc.Get(), reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc.Get(), text.c_str(), static_cast<int>(text.size()), &size);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc.Get(), &metrics);
    EXPECT_EQ(rect.right - rect.left, std::max<LONG>(scale(147), size.cx)) << "caption " << size.cx << " px wide";
    EXPECT_EQ(rect.bottom - rect.top, std::max<LONG>(scale(14), size.cy));
    EXPECT_EQ(-metrics.tmHeight + metrics.tmInternalLeading, -scale(14)) << "a 14-pixel font";
}

COLORREF ScreenPixel(HWND window, int x, int y)
{
    POINT point{x, y};
    ClientToScreen(window, &point);
    return GetPixel(TWindowDC(nullptr).Get(), point.x, point.y);
}

class Win32ToolkitTest : public testing::Test {
protected:
    void SetUp() override { Toolkit.SetApplicationHandle(reinterpret_cast<TWindowHandle>(Host.Handle())); }

    // Runs check once, from inside the modal loop of the dialog shown next.
    void WhenShown(std::function<void()> check)
    {
        Probe = Toolkit.CreateTimer(50, [this, check] {
            Probe->SetEnabled(false);
            check();
        });
    }

    THostWindow Host;
    TWin32Toolkit Toolkit;
    std::unique_ptr<ITimer> Probe;
};

// ---------------------------------------------------------------- progress dialog

TEST_F(Win32ToolkitTest, ProgressDialogIsLaidOutAndFollowsTheForm)
{
    Fakes::TFakePlatform fakes;
    TPlatform platform{Toolkit, fakes.Services, fakes.Data, fakes.Files, fakes.Text};
    TForm_DealWithUFO form(platform);
    bool checked = false;

    WhenShown([&] {
        HWND dialog = FindProcessWindow(Win32Controls::ProgressFormClass);
        ASSERT_NE(dialog, nullptr);
        checked = true;
        EXPECT_EQ(Text(dialog), L"用友财务备份预处理");
        RECT client;
        GetClientRect(dialog, &client);
        EXPECT_EQ(client.right, 295);
        EXPECT_EQ(client.bottom, 78);
        ExpectCentredOnHostsMonitor(dialog, Host.Handle());
        const LONG_PTR style = GetWindowLongPtrW(dialog, GWL_STYLE);
        EXPECT_TRUE((style & WS_CAPTION) == WS_CAPTION);
        EXPECT_FALSE(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) << std::hex << style;
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), Host.Handle());
        EXPECT_FALSE(IsWindowEnabled(Host.Handle())) << "the host takes no input while the dialog is modal";

        ExpectRect(FindControl(dialog, Win32Controls::Image_log), 0, 0, 295, 25, "Image_log");
        ExpectRect(FindControl(dialog, Win32Controls::RzPanel_Client), 0, 25, 295, 33, "RzPanel_Client");
        ExpectLabelFits(FindControl(dialog, Win32Controls::RzLabel_ShowInfo));
        ExpectRect(FindControl(dialog, Win32Controls::RzPanel_Bottom), 0, 58, 295, 20, "RzPanel_Bottom");
        ExpectRect(FindControl(dialog, Win32Controls::Progress_Step), 1, 1, 293, 18, "Progress_Step");

        HWND label = FindControl(dialog, Win32Controls::RzLabel_ShowInfo);
        HWND bar = FindControl(dialog, Win32Controls::Progress_Step);
        EXPECT_EQ(Text(label), L"数据源预处理请稍候...");
        EXPECT_EQ(Text(bar), L"0%");

        // The middle panel's colour, and a banner that is more than a blank strip.
        HWND panel = FindControl(dialog, Win32Controls::RzPanel_Client);
        EXPECT_EQ(ScreenPixel(panel, 20, 16), RGB(240, 240, 240));
        HWND banner = FindControl(dialog, Win32Controls::Image_log);
        int coloured = 0;
        for (int x = 0; x < 295; x += 3) {
            for (int y = 0; y < 25; y += 2) {
                if (ScreenPixel(banner, x, y) != RGB(255, 255, 255)) ++coloured;
            }
        }
        EXPECT_GT(coloured, 20) << "the banner was not drawn";

        // The form's changes reach the screen at once, without a message loop turn.
        form.SetStatusText(DealWithUFOText::StatusStarting);
        EXPECT_EQ(Text(label), L"正在启动SQL SERVER数据库...");
        ExpectLabelFits(label);
        form.Progress_Step.SetTotalParts(200);
        form.Progress_Step.SetPartsComplete(90);
        EXPECT_EQ(Text(bar), L"45%");
        EXPECT_TRUE(WinTest::SaveScreenshot(dialog, L"progress-dialog"));
        form.Progress_Step.SetPercent(100);
        EXPECT_EQ(Text(bar), L"100%");
        form.SetModalResult(mrCancel);
    });

    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_TRUE(checked);
    EXPECT_EQ(FindProcessWindow(Win32Controls::ProgressFormClass), nullptr) << "the dialog closed";
    EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
}

TEST_F(Win32ToolkitTest, ProgressDialogRunsTheStartTimerAndClosesOnTheOutcome)
{
    // The form arms its own timer when it is built; the modal loop delivers the tick,
    // and the step driver's outcome closes the dialog. A missing service ends the run early.
    Fakes::TFakePlatform fakes;
    fakes.Services.OpenError = ServiceError::ServiceDoesNotExist;
    TPlatform platform{Toolkit, fakes.Services, fakes.Data, fakes.Files, fakes.Text};
    TScreenWatcher watcher;
    TForm_DealWithUFO form(platform);
    form.FYear = "2003";
    EXPECT_EQ(form.ShowModal(), mrCancel);
    const auto boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, L"错误");
    EXPECT_EQ(boxes[0].Text, L"此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K..");
    EXPECT_EQ(boxes[0].Owner, Host.Handle());
    EXPECT_FALSE(form.StartTimer->Enabled());
}

// Takes the thread's quit request out of the queue: its exit code, or -1 when there is none.
int TakeQuit()
{
    MSG message;
    if (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return static_cast<int>(message.wParam);
    return -1;
}

TEST_F(Win32ToolkitTest, AQuitEndsTheProgressDialogAndIsLeftForTheHost)
{
    Fakes::TFakePlatform fakes;
    TPlatform platform{Toolkit, fakes.Services, fakes.Data, fakes.Files, fakes.Text};
    TForm_DealWithUFO form(platform);
    WhenShown([] { PostQuitMessage(3); });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_EQ(FindProcessWindow(Win32Controls::ProgressFormClass), nullptr);
    EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
    EXPECT_EQ(TakeQuit(), 3) << "the host's own loop must see the quit too";
}

// Keys and clicks that reached the host or the dialog, counted by a subclass of each.
std::atomic<int> InputSeen{0};
WNDPROC HostProc = nullptr;
WNDPROC DialogProc = nullptr;

LRESULT CALLBACK CountInput(HWND window, UINT message, WPARAM wParam, LPARAM lParam, WNDPROC next)
{
    if ((message >= WM_KEYFIRST && message <= WM_KEYLAST) || (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST)) {
        if (message != WM_MOUSEMOVE) ++InputSeen;
    }
    return CallWindowProcW(next, window, message, wParam, lParam);
}
LRESULT CALLBACK HostInput(HWND w, UINT m, WPARAM wp, LPARAM lp) { return CountInput(w, m, wp, lp, HostProc); }
LRESULT CALLBACK DialogInput(HWND w, UINT m, WPARAM wp, LPARAM lp) { return CountInput(w, m, wp, lp, DialogProc); }

WNDPROC Subclass(HWND window, WNDPROC procedure)
{
    return reinterpret_cast<WNDPROC>(SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}

TEST_F(Win32ToolkitTest, TheDialogKeepsAnsweringThroughALongStatementAndTakesNoInput)
{
    // The whole call with the real form and toolkit; its first statement on the
    // target connection takes three seconds, handing control to the form's wait handler
    // every 20 ms as the database adapter does.
    Fakes::TFakePlatform fakes;
    fakes.Files.Contents["C:\\host\\a.bak"] = std::string(4000, 'b');
    TPlatform platform{Toolkit, fakes.Services, fakes.Data, fakes.Files, fakes.Text};
    TScreenWatcher watcher;
    std::atomic<HWND> dialog{nullptr};
    std::atomic<bool> statementDone{false};
    int ticks = 0;
    int ticksDuring = -1;
    std::unique_ptr<ITimer> other;
    fakes.Data.OnWait = [&](const std::string&, const std::function<void()>& onWait) {
        if (dialog != nullptr) return onWait();
        HWND shown = FindProcessWindow(Win32Controls::ProgressFormClass);
        ASSERT_NE(shown, nullptr);
        DialogProc = Subclass(shown, &DialogInput);
        other = Toolkit.CreateTimer(10, [&ticks] { ++ticks; });
        dialog = shown;
        const ULONGLONG end = GetTickCount64() + 3000;
        while (GetTickCount64() < end) {
            onWait();
            Sleep(20);
        }
        ticksDuring = ticks;
        statementDone = true;
    };
    HostProc = Subclass(Host.Handle(), &HostInput);
    InputSeen = 0;

    int probes = 0;
    int unanswered = 0;
    ULONGLONG slowest = 0;
    std::thread prober([&] {
        while (dialog == nullptr && !statementDone) Sleep(10);
        while (!statementDone) {
            DWORD_PTR ignored = 0;
            const ULONGLONG start = GetTickCount64();
            if (SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 200, &ignored) == 0) ++unanswered;
            slowest = std::max(slowest, GetTickCount64() - start);
            if (++probes == 5) {
                for (HWND target : {static_cast<HWND>(dialog), Host.Handle()}) {
                    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0);
                    PostMessageW(target, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
                    PostMessageW(target, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
                }
            }
            Sleep(50);
        }
    });
    Fakes::TFakeResultString result;
    RunDoIt(platform, fakes.RunLock, result, reinterpret_cast<TWindowHandle>(Host.Handle()), "C:\\host\\", "C:\\host\\a.bak", "2025");
    statementDone = true;
    prober.join();
    Toolkit.ProcessMessages();  // what was left in the queue would reach the host now
    Subclass(Host.Handle(), HostProc);

    ASSERT_NE(dialog, nullptr) << "no statement ran while the dialog was up";
    EXPECT_GT(probes, 10);
    EXPECT_EQ(unanswered, 0) << "slowest answer " << slowest << " ms";
    EXPECT_EQ(ticksDuring, 0) << "a timer fired while the statement ran";
    EXPECT_EQ(InputSeen, 0) << "input posted during the statement reached the dialog or the host";
    EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
}

// ---------------------------------------------------------------- chooser

class Win32ChooserTest : public Win32ToolkitTest {
protected:
    void SetUp() override
    {
        Win32ToolkitTest::SetUp();
        Chooser.AddRow("1", "UFDATA_001_2003");
        Chooser.AddRow("2", "UFDATA_002_2003");
        Chooser.AddRow(" 3 ", "UFDATA_003_2004");
    }

    static HWND FindChooser() { return FindProcessWindow(Win32Controls::ChooserFormClass); }

    static std::vector<bool> Checks(HWND list)
    {
        std::vector<bool> checks;
        const auto count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
        for (int row = 0; row < count; ++row) {
            const auto state = static_cast<UINT>(SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK));
            checks.push_back(((state & LVIS_STATEIMAGEMASK) >> 12) == 2);
        }
        return checks;
    }

    // A click on the row's check box, where the user would click.
    static void ClickCheckBox(HWND list, int row)
    {
        RECT item{};
        item.left = LVIR_BOUNDS;
        SendMessageW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&item));
        const int y = (item.top + item.bottom) / 2;
        for (int x = item.left; x < item.left + 60; ++x) {
            LVHITTESTINFO hit{};
            hit.pt = POINT{x, y};
            SendMessageW(list, LVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
            if (hit.iItem == row && (hit.flags & LVHT_ONITEMSTATEICON) != 0) {
                SendMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
                SendMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
                return;
            }
        }
        ADD_FAILURE() << "no check box found in row " << row;
    }

    static std::wstring ItemText(HWND list, int row, int column)
    {
        wchar_t text[128] = {};
        LVITEMW item{};
        item.iSubItem = column;
        item.pszText = text;
        item.cchTextMax = 128;
        SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        return text;
    }

    TForm_GetFileList Chooser{Toolkit};
};

TEST_F(Win32ChooserTest, IsLaidOutAsTheFormDescribes)
{
    bool checked = false;
    WhenShown([&] {
        HWND dialog = FindChooser();
        ASSERT_NE(dialog, nullptr);
        checked = true;
        EXPECT_EQ(Text(dialog), L"选择备份文件");
        RECT outer;
        GetWindowRect(dialog, &outer);
        EXPECT_EQ(outer.right - outer.left, 315);
        EXPECT_EQ(outer.bottom - outer.top, 200);
        ExpectCentredOnHostsMonitor(dialog, Host.Handle());
        const LONG_PTR style = GetWindowLongPtrW(dialog, GWL_STYLE);
        EXPECT_TRUE(style & WS_THICKFRAME) << "sizeable";
        EXPECT_FALSE(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) << "no border icons";
        EXPECT_EQ(GetWindow(dialog, GW_OWNER), Host.Handle());

        RECT client;
        GetClientRect(dialog, &client);
        HWND buttons = FindControl(dialog, Win32Controls::RzPanel1);
        ExpectRect(buttons, 0, client.bottom - 41, client.right, 41, "RzPanel1");
        ExpectRect(FindControl(dialog, Win32Controls::RzPanel2), 0, 0, client.right, client.bottom - 41, "RzPanel2");
        HWND ok = FindControl(dialog, Win32Controls::Btn_OK);
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(GetParent(ok), buttons);
        const RECT okRect = RectInParent(ok);
        EXPECT_EQ(okRect.left, 192);
        EXPECT_EQ(okRect.top, 8);
        EXPECT_EQ(Text(ok), L"确定");
        EXPECT_EQ(GetWindowLongPtrW(ok, GWL_STYLE) & BS_TYPEMASK, BS_DEFPUSHBUTTON);

        HWND list = FindControl(dialog, Win32Controls::List_Files);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(GetWindowLongPtrW(list, GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
        EXPECT_FALSE(GetWindowLongPtrW(list, GWL_STYLE) & LVS_EDITLABELS) << "captions are read-only";
        const auto extended = static_cast<DWORD>(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
        for (DWORD wanted : {LVS_EX_CHECKBOXES, LVS_EX_GRIDLINES, LVS_EX_TRACKSELECT, LVS_EX_FULLROWSELECT}) {
            EXPECT_TRUE(extended & wanted) << std::hex << wanted;
        }
        EXPECT_EQ(static_cast<COLORREF>(SendMessageW(list, LVM_GETBKCOLOR, 0, 0)), RGB(240, 240, 240));
        const wchar_t* titles[] = {L"编号", L"备份文件"};
        const int widths[] = {50, 239};
        for (int column = 0; column < 2; ++column) {
            wchar_t title[64] = {};
            LVCOLUMNW info{};
            info.mask = LVCF_TEXT;
            info.pszText = title;
            info.cchTextMax = 64;
            SendMessageW(list, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(&info));
            EXPECT_EQ(std::wstring(title), titles[column]);
            EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, column, 0), widths[column]);
        }
        ASSERT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 3);
        EXPECT_EQ(ItemText(list, 0, 0), L"1");
        EXPECT_EQ(ItemText(list, 0, 1), L"UFDATA_001_2003");
        EXPECT_EQ(ItemText(list, 2, 1), L"UFDATA_003_2004");
        EXPECT_EQ(Checks(list), (std::vector<bool>{false, false, false}));
        EXPECT_TRUE(WinTest::SaveScreenshot(dialog, L"chooser"));
        SendMessageW(ok, BM_CLICK, 0, 0);
    });
    EXPECT_EQ(Chooser.ShowModal(), mrOk);
    EXPECT_TRUE(checked);
    EXPECT_EQ(Chooser.SelectedPosition, 0) << "OK without a tick chooses nothing";
    EXPECT_EQ(FindChooser(), nullptr);
    EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
}

TEST_F(Win32ChooserTest, TicksBehaveLikeRadioButtonsAndOkTakesTheTickedRow)
{
    WhenShown([&] {
        HWND list = FindControl(FindChooser(), Win32Controls::List_Files);
        ASSERT_NE(list, nullptr);
        ClickCheckBox(list, 0);
        EXPECT_EQ(Checks(list), (std::vector<bool>{true, false, false}));
        ClickCheckBox(list, 2);
        EXPECT_EQ(Checks(list), (std::vector<bool>{false, false, true})) << "only the row touched last is ticked";
        ClickCheckBox(list, 2);
        EXPECT_EQ(Checks(list), (std::vector<bool>{false, false, true})) << "a ticked box stays ticked";
        EXPECT_TRUE(Chooser.RowChecked(2));
        EXPECT_FALSE(Chooser.RowChecked(0));
        EXPECT_TRUE(WinTest::SaveScreenshot(FindChooser(), L"chooser-ticked"));
        SendMessageW(FindControl(FindChooser(), Win32Controls::Btn_OK), BM_CLICK, 0, 0);
    });
    EXPECT_EQ(Chooser.ShowModal(), mrOk);
    EXPECT_EQ(Chooser.SelectedPosition, 3);
}

TEST_F(Win32ChooserTest, EnterPressesOk)
{
    WhenShown([&] {
        HWND list = FindControl(FindChooser(), Win32Controls::List_Files);
        ASSERT_NE(list, nullptr);
        ClickCheckBox(list, 1);
        SetFocus(list);
        PostMessageW(list, WM_KEYDOWN, VK_RETURN, 0);
        PostMessageW(list, WM_KEYUP, VK_RETURN, 0);
    });
    EXPECT_EQ(Chooser.ShowModal(), mrOk);
    EXPECT_EQ(Chooser.SelectedPosition, 2);
}

TEST_F(Win32ChooserTest, ABadPositionIsRaisedAfterTheDialogClosed)
{
    TForm_GetFileList chooser(Toolkit);
    chooser.AddRow("x", "UFDATA");
    WhenShown([&] {
        HWND list = FindControl(FindChooser(), Win32Controls::List_Files);
        ASSERT_NE(list, nullptr);
        ClickCheckBox(list, 0);
        SendMessageW(FindControl(FindChooser(), Win32Controls::Btn_OK), BM_CLICK, 0, 0);
    });
    EXPECT_THROW(chooser.ShowModal(), EVelmoraError);
    EXPECT_EQ(FindChooser(), nullptr);
    EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
}

TEST_F(Win32ChooserTest, AQuitEndsTheChooserWithoutAnAnswerAndReachesTheOuterLoop)
{
    WhenShown([] { PostQuitMessage(7); });
    // No answer is not "the first set": the caller learns that nobody chose.
    EXPECT_THROW(Chooser.ShowModal(), EVelmoraError);
    EXPECT_EQ(FindChooser(), nullptr);
    EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
    EXPECT_EQ(TakeQuit(), 7);
}

TEST_F(Win32ToolkitTest, AQuitWhileTheChooserIsOpenStopsTheRestore)
{
    Fakes::TFakePlatform fakes;
    fakes.Data.OnQuery = [](const std::string& sql) {
        Fakes::TFakeDatabase::TResult result;
        if (sql.rfind("RESTORE HEADERONLY", 0) == 0) {
            result.Columns = {"Position", "DataBaseName"};
            for (int set = 1; set <= 3; ++set) {
                result.Rows.push_back({TFieldValue::FromInteger(set), TFieldValue::FromText("UFDATA")});
            }
        }
        return result;
    };
    TPlatform platform{Toolkit, fakes.Services, fakes.Data, fakes.Files, fakes.Text};
    TForm_DealWithUFO form(platform);
    form.StartTimer->SetEnabled(false);
    form.FWorkDir = "C:\\host\\TempLateTemp\\";
    form.FTempFile = form.FWorkDir + "ufdatawk.temp";
    fakes.Files.Contents[form.FTempFile] = "staged";
    WhenShown([] { PostQuitMessage(9); });
    EXPECT_THROW(form.RestoreDatabase(), EVelmoraError);
    for (const std::string& entry : fakes.Data.Log) {
        EXPECT_EQ(entry.find("restore database"), std::string::npos) << "restored a set nobody chose: " << entry;
        EXPECT_EQ(entry.find("drop DATABASE"), std::string::npos) << entry;
    }
    EXPECT_EQ(fakes.Files.Contents.count(form.FTempFile), 0u) << "the staging copy is removed all the same";
    EXPECT_EQ(TakeQuit(), 9);
}

// ---------------------------------------------------------------- DPI

// 96-DPI pixels at 144 DPI, rounded half up.
int At144(int pixels) { return (pixels * 3 + 1) / 2; }

// A rectangle given at 96 DPI whose edges are drawn at 144.
void ExpectRectAt144(HWND window, int left, int top, int width, int height, const char* name)
{
    ExpectRect(window, At144(left), At144(top), At144(left + width) - At144(left), At144(top + height) - At144(top),
               name);
}

// Run by the next test in a process of its own that starts at 144 DPI.
TEST(Win32ToolkitDpi, DISABLED_DpiAwareHostAt144)
{
    ASSERT_TRUE(SetProcessDPIAware());
    THostWindow host;
    TWin32Toolkit toolkit;
    toolkit.SetApplicationHandle(reinterpret_cast<TWindowHandle>(host.Handle()));
    Fakes::TFakePlatform fakes;
    TPlatform platform{toolkit, fakes.Services, fakes.Data, fakes.Files, fakes.Text};
    TForm_DealWithUFO form(platform);
    form.StartTimer->SetEnabled(false);
    std::unique_ptr<ITimer> probe;
    bool checked = false;
    probe = toolkit.CreateTimer(50, [&] {
        probe->SetEnabled(false);
        form.SetModalResult(mrCancel);  // looked at once this handler returns
        HWND dialog = FindProcessWindow(Win32Controls::ProgressFormClass);
        ASSERT_NE(dialog, nullptr);
        checked = true;
        RECT client;
        GetClientRect(dialog, &client);
        EXPECT_EQ(client.right, At144(295));
        EXPECT_EQ(client.bottom, At144(78));
        ExpectCentredOnHostsMonitor(dialog, host.Handle());
        ExpectRectAt144(FindControl(dialog, Win32Controls::Image_log), 0, 0, 295, 25, "Image_log");
        ExpectRectAt144(FindControl(dialog, Win32Controls::RzPanel_Client), 0, 25, 295, 33, "RzPanel_Client");
        ExpectRectAt144(FindControl(dialog, Win32Controls::RzPanel_Bottom), 0, 58, 295, 20, "RzPanel_Bottom");
        ExpectRectAt144(FindControl(dialog, Win32Controls::Progress_Step), 1, 1, 293, 18, "Progress_Step");
        ExpectLabelFits(FindControl(dialog, Win32Controls::RzLabel_ShowInfo), &At144);
        EXPECT_TRUE(WinTest::SaveScreenshot(dialog, L"progress-dialog-144dpi"));
    });
    EXPECT_EQ(form.ShowModal(), mrCancel);
    EXPECT_TRUE(checked);

    TForm_GetFileList chooser(toolkit);
    chooser.AddRow("1", "UFDATA_001_2003");
    checked = false;
    probe = toolkit.CreateTimer(50, [&] {
        probe->SetEnabled(false);
        HWND dialog = FindProcessWindow(Win32Controls::ChooserFormClass);
        if (dialog == nullptr) PostQuitMessage(1);  // ends the chooser, which then raises
        ASSERT_NE(dialog, nullptr);
        checked = true;
        RECT outer;
        GetWindowRect(dialog, &outer);
        EXPECT_EQ(outer.right - outer.left, At144(315));
        EXPECT_EQ(outer.bottom - outer.top, At144(200));
        RECT client;
        GetClientRect(dialog, &client);
        ExpectRect(FindControl(dialog, Win32Controls::RzPanel1), 0, client.bottom - At144(41), client.right,
                   At144(41), "RzPanel1");
        ExpectRectAt144(FindControl(dialog, Win32Controls::Btn_OK), 192, 8, 75, 25, "Btn_OK");
        HWND list = FindControl(dialog, Win32Controls::List_Files);
        EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0), At144(50));
        EXPECT_EQ(SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0), At144(239));
        EXPECT_TRUE(WinTest::SaveScreenshot(dialog, L"chooser-144dpi"));
        SendMessageW(FindControl(dialog, Win32Controls::Btn_OK), BM_CLICK, 0, 0);
    });
    EXPECT_NO_THROW(EXPECT_EQ(chooser.ShowModal(), mrOk));
    EXPECT_TRUE(checked);
    // Tells the parent that this test ran, and passed.
    wchar_t done[MAX_PATH] = {};
    if (!HasFailure() && GetEnvironmentVariableW(L"VELMORA_DPI_CHILD_DONE", done, MAX_PATH) != 0) {
        WinTest::WriteWholeFile(done, "passed");
    }
}

// The screen's DPI as Wine reads it when a process starts, for as long as the object lives.
class TScreenDpi {
public:
    explicit TScreenDpi(DWORD dpi)
    {
        RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                        nullptr, &FKey, nullptr);
        DWORD size = sizeof FPrevious;
        FHadValue = RegQueryValueExW(FKey, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&FPrevious),
                                     &size) == ERROR_SUCCESS;
        RegSetValueExW(FKey, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi);
    }
    ~TScreenDpi()
    {
        if (FHadValue) {
            RegSetValueExW(FKey, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&FPrevious),
                           sizeof FPrevious);
        } else {
            RegDeleteValueW(FKey, L"LogPixels");
        }
        RegCloseKey(FKey);
    }
    TScreenDpi(const TScreenDpi&) = delete;
    TScreenDpi& operator=(const TScreenDpi&) = delete;

private:
    HKEY FKey = nullptr;
    DWORD FPrevious = 96;
    bool FHadValue = false;
};

TEST(Win32ToolkitDpi, ADpiAwareHostGetsBothDialogsScaledToItsDpi)
{
    TScreenDpi screen(144);
    WinTest::TTempFolder folder(L"VelmoraDpi");
    const std::wstring done = folder.Path() + L"passed";
    SetEnvironmentVariableW(L"VELMORA_DPI_CHILD_DONE", done.c_str());
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(program) +
                           L"\" --gtest_filter=Win32ToolkitDpi.DISABLED_DpiAwareHostAt144 --gtest_also_run_disabled_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started));
    const TKernelHandle process(started.hProcess);
    const TKernelHandle thread(started.hThread);
    HANDLE processHandle = process.Get();
    // Answers what the child's windows may send this thread's while it waits.
    const ULONGLONG end = GetTickCount64() + 60000;
    while (MsgWaitForMultipleObjects(1, &processHandle, FALSE, 100, QS_ALLINPUT) != WAIT_OBJECT_0 &&
           GetTickCount64() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    DWORD exitCode = 1;
    if (WaitForSingleObject(process.Get(), 0) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the test at 144 DPI hangs";
        TerminateProcess(process.Get(), 1);
    }
    GetExitCodeProcess(process.Get(), &exitCode);
    EXPECT_EQ(exitCode, 0u) << "the layout at 144 DPI is wrong (see the output above)";
    EXPECT_TRUE(WinTest::FileExists(done)) << "the test at 144 DPI did not run";
}

// ---------------------------------------------------------------- message boxes and timers

TEST_F(Win32ToolkitTest, MessageBoxesShowTheirTextsOwnedByTheApplicationWindow)
{
    THostWindow other(L"another window of the thread");
    bool otherEnabledDuringBox = true;
    TScreenWatcher watcher([&](const WinTest::TSeenBox&) { otherEnabledDuringBox = IsWindowEnabled(other.Handle()); });

    EXPECT_EQ(Toolkit.MessageBox("SQL=select * from sysdatabases WHERE name='UFDATA'不能执行", "警告",
                                 MsgBox::IconWarning),
              MsgBox::IdOk);
    EXPECT_EQ(Toolkit.MessageBox("没有访问服务的权限..", "错误", MsgBox::IconError), MsgBox::IdOk);

    const auto boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].Caption, L"警告");
    EXPECT_EQ(boxes[0].Text, L"SQL=select * from sysdatabases WHERE name='UFDATA'不能执行");
    EXPECT_EQ(boxes[0].Owner, Host.Handle());
    EXPECT_EQ(boxes[0].Icon, LoadIconW(nullptr, IDI_EXCLAMATION));
    EXPECT_EQ(boxes[1].Caption, L"错误");
    EXPECT_EQ(boxes[1].Text, L"没有访问服务的权限..");
    EXPECT_EQ(boxes[1].Icon, LoadIconW(nullptr, IDI_HAND));
    EXPECT_FALSE(otherEnabledDuringBox) << "the thread's other windows take no input while a box is up";
    EXPECT_TRUE(IsWindowEnabled(other.Handle()));
    EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
}

TEST_F(Win32ToolkitTest, ABoxShowsDamagedTextRatherThanNothing)
{
    TScreenWatcher watcher;
    // Bytes of a host text that never was UTF-8, and a cut-off Chinese character.
    EXPECT_EQ(Toolkit.MessageBox("年度“\xFF”无效\xE4\xB8", "错误", MsgBox::IconError), MsgBox::IdOk);
    const auto boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, L"错误");
    EXPECT_EQ(boxes[0].Text, L"年度“\xFFFD”无效\xFFFD");
}

TEST_F(Win32ToolkitTest, ABoxLeavesAPendingQuitInTheQueue)
{
    TScreenWatcher watcher;
    PostQuitMessage(4);
    Toolkit.MessageBox("数据源预处理中断：程序正在退出", "错误", MsgBox::IconError);
    EXPECT_EQ(TakeQuit(), 4);
}

TEST_F(Win32ToolkitTest, AnErrorEscapingATimerIsShownInAnErrorBox)
{
    TScreenWatcher watcher;
    bool ticked = false;
    std::unique_ptr<ITimer> timer;
    timer = Toolkit.CreateTimer(10, [&] {
        timer->SetEnabled(false);
        ticked = true;
        throw EVelmoraError("备份文件在复制过程中变短了");
    });
    const ULONGLONG end = GetTickCount64() + 5000;
    while (!ticked && GetTickCount64() < end) {
        Toolkit.ProcessMessages();
        Toolkit.Sleep(5);
    }
    ASSERT_TRUE(ticked);
    const auto boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Caption, L"错误");
    EXPECT_EQ(boxes[0].Text, L"备份文件在复制过程中变短了");
}

// The queue is looked at by time, not on every call: what is posted still arrives,
// at once after a sleep, and within moments from a loop that never sleeps.
TEST_F(Win32ToolkitTest, ProcessMessagesDeliversWhatIsPostedThoughItLooksOnlyNowAndThen)
{
    constexpr UINT Posted = WM_APP + 7;
    MSG message;
    auto pending = [&] { return PeekMessageW(&message, nullptr, Posted, Posted, PM_NOREMOVE) != FALSE; };

    Toolkit.ProcessMessages();
    PostThreadMessageW(GetCurrentThreadId(), Posted, 0, 0);
    Toolkit.Sleep(0);
    Toolkit.ProcessMessages();
    EXPECT_FALSE(pending()) << "the first call after a sleep looks at the queue";

    Toolkit.ProcessMessages();
    PostThreadMessageW(GetCurrentThreadId(), Posted, 0, 0);
    const ULONGLONG end = GetTickCount64() + 2000;
    while (pending() && GetTickCount64() < end) Toolkit.ProcessMessages();
    EXPECT_FALSE(pending()) << "calls in a loop look again once the interval has passed";
    while (PeekMessageW(&message, nullptr, Posted, Posted, PM_REMOVE)) {
    }
}

TEST_F(Win32ToolkitTest, TimersTickOnlyWhileEnabled)
{
    int ticks = 0;
    auto pump = [this](DWORD ms) {
        const ULONGLONG end = GetTickCount64() + ms;
        while (GetTickCount64() < end) {
            Toolkit.ProcessMessages();
            Toolkit.Sleep(5);
        }
    };
    auto timer = Toolkit.CreateTimer(5, [&ticks] { ++ticks; });
    EXPECT_TRUE(timer->Enabled()) << "a timer runs from its creation";
    timer->SetEnabled(false);
    pump(100);
    EXPECT_EQ(ticks, 0);
    timer->SetEnabled(true);
    const ULONGLONG end = GetTickCount64() + 3000;
    while (ticks == 0 && GetTickCount64() < end) pump(10);
    EXPECT_GT(ticks, 0);
    timer.reset();
    ticks = 0;
    pump(100);
    EXPECT_EQ(ticks, 0) << "a freed timer is gone";
}

}  // namespace
}  // namespace Velmora
