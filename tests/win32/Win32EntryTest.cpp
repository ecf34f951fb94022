// The Windows side of a DoIt call, with a toolkit of the test's own: the
// application window handed over and back, and COM left as the host had it.

#include <gtest/gtest.h>

#include "platform/win32/Win32Toolkit.h"
#include "plugin/win32/Win32Entry.h"
#include "tests/win32/WinTestSupport.h"

namespace Velmora {
namespace {

using WinTest::THostWindow;
using WinTest::TScreenWatcher;

const wchar_t* const MissingServiceText = L"此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K..";

TEST(Win32Entry, HandsTheApplicationWindowOverForTheCallAndBack)
{
    WinTest::RemoveSqlService();
    TWin32Toolkit toolkit;
    THostWindow earlier(L"earlier application window");
    THostWindow host(L"host");
    toolkit.SetApplicationHandle(reinterpret_cast<TWindowHandle>(earlier.Handle()));
    TScreenWatcher watcher;
    BSTR result = SysAllocString(L"previous");

    Win32DoIt(toolkit, &result, host.Handle(), "C:\\host\\", "C:\\host\\UF2003.bak", "2003");

    const auto boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, MissingServiceText);
    EXPECT_EQ(boxes[0].Owner, host.Handle());
    EXPECT_EQ(watcher.ProgressDialogOwner(), host.Handle());
    EXPECT_FALSE(watcher.OwnerEnabledWhenDialogAppeared());
    EXPECT_EQ(toolkit.ApplicationHandle(), reinterpret_cast<TWindowHandle>(earlier.Handle()));
    EXPECT_TRUE(IsWindowEnabled(host.Handle()));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::wstring(result, SysStringLen(result)), L"0");
    SysFreeString(result);
}

// COM as each kind of host thread has it before the call, and how it is found after.
HRESULT ComAfterCall(DWORD hostApartment, bool hostInitialises)
{
    HRESULT after = E_UNEXPECTED;
    WinTest::RunOnNewThread([&] {
        const HRESULT host = hostInitialises ? CoInitializeEx(nullptr, hostApartment) : E_FAIL;
        TWin32Toolkit toolkit;
        BSTR result = nullptr;
        Win32DoIt(toolkit, &result, nullptr, "C:\\host\\", "C:\\host\\UF2003.bak", "2003");
        SysFreeString(result);
        after = CoInitializeEx(nullptr, hostApartment);
        if (SUCCEEDED(after)) CoUninitialize();
        if (SUCCEEDED(host)) CoUninitialize();
    });
    return after;
}

TEST(Win32Entry, LeavesComAsTheHostHadIt)
{
    WinTest::RemoveSqlService();
    TScreenWatcher watcher;
    EXPECT_EQ(ComAfterCall(COINIT_APARTMENTTHREADED, false), S_OK) << "initialised for the call only";
    EXPECT_EQ(ComAfterCall(COINIT_APARTMENTTHREADED, true), S_FALSE) << "the host's apartment is still there";
    EXPECT_EQ(ComAfterCall(COINIT_MULTITHREADED, true), S_FALSE) << "a multithreaded host keeps its apartment";
    // The single-threaded calls run as far as the service check. In a multithreaded
    // apartment ADO's objects live in another apartment and are reached through
    // marshalling, which Wine cannot do for every ADO interface: there the run may
    // instead stop at once with its reason. Either way each call told the user.
    const auto boxes = watcher.Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].Text, MissingServiceText);
    EXPECT_EQ(boxes[1].Text, MissingServiceText);
    EXPECT_FALSE(boxes[2].Text.empty());
}

}  // namespace
}  // namespace Velmora
