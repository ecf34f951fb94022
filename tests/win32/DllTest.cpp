// Velmora.dll as a host uses it: loaded by name, DoIt found by its plain name and
// called with ANSI texts and a BSTR result, the database service installed or not.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/win32/Win32Banner.h"
#include "platform/win32/Win32Scoped.h"
#include "platform/win32/Win32Toolkit.h"
#include "tests/win32/WinTestSupport.h"

namespace Velmora {
namespace {

using namespace WinTest;

using TDoIt = void(__stdcall*)(BSTR* result, HWND hostWindow, const char* hostFolder, const char* backupFile,
                               const char* year);

class VelmoraDll : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Library = LoadLibraryW((ProgramFolder() + L"Velmora.dll").c_str());
        if (Library == nullptr) return;
        FARPROC entry = GetProcAddress(Library, "DoIt");
        static_assert(sizeof entry == sizeof DoIt, "function pointers of one size");
        std::memcpy(&DoIt, &entry, sizeof DoIt);
    }
    static void TearDownTestSuite()
    {
        if (Library != nullptr) FreeLibrary(Library);
        Library = nullptr;
        DoIt = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(Library, nullptr) << "Velmora.dll did not load: " << GetLastError();
        ASSERT_NE(DoIt, nullptr) << "no export named DoIt";
    }

    static std::string Source(std::size_t size)
    {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 1025) & 0xFF);
        return bytes;
    }

    static HMODULE Library;
    static TDoIt DoIt;
};

HMODULE VelmoraDll::Library = nullptr;
TDoIt VelmoraDll::DoIt = nullptr;

const wchar_t* const MissingServiceText = L"此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K..";

// Redirects one function that a loaded module imports, by rewriting its import
// address table, for as long as the object lives.
class TImportHook {
public:
    TImportHook(HMODULE module, const char* library, const char* function, void* replacement)
    {
        FARPROC real = GetProcAddress(GetModuleHandleA(library), function);
        auto* base = reinterpret_cast<BYTE*>(module);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
        for (; real != nullptr && descriptor->Name != 0; ++descriptor) {
            if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), library) != 0) continue;
            auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
            for (; thunk->u1.Function != 0; ++thunk) {
                if (thunk->u1.Function != reinterpret_cast<ULONG_PTR>(real)) continue;
                FSlot = &thunk->u1.Function;
                FOriginal = thunk->u1.Function;
                Write(reinterpret_cast<ULONG_PTR>(replacement));
                return;
            }
        }
    }
    ~TImportHook()
    {
        if (FSlot != nullptr) Write(FOriginal);
    }
    TImportHook(const TImportHook&) = delete;
    TImportHook& operator=(const TImportHook&) = delete;
    bool Installed() const { return FSlot != nullptr; }

private:
    void Write(ULONG_PTR value)
    {
        DWORD protection = 0;
        VirtualProtect(FSlot, sizeof *FSlot, PAGE_READWRITE, &protection);
        *FSlot = value;
        VirtualProtect(FSlot, sizeof *FSlot, protection, &protection);
    }

    decltype(IMAGE_THUNK_DATA::u1.Function)* FSlot = nullptr;
    ULONG_PTR FOriginal = 0;
};

std::vector<std::wstring> StringLog;

BSTR WINAPI LoggedAllocate(const OLECHAR* text, UINT length)
{
    StringLog.push_back(L"allocate:" + std::wstring(text, length));
    return SysAllocStringLen(text, length);
}

void WINAPI LoggedFree(BSTR text)
{
    StringLog.push_back(L"free:" + std::wstring(text != nullptr ? text : L"", SysStringLen(text)));
    SysFreeString(text);
}

TEST_F(VelmoraDll, ExportsDoItByItsPlainNameOnly)
{
    EXPECT_EQ(GetProcAddress(Library, "DoIt@20"), nullptr);
    EXPECT_EQ(GetProcAddress(Library, "_DoIt@20"), nullptr);
}

TEST_F(VelmoraDll, CarriesItsBannerAndVersion)
{
    const TGdiObject<HBITMAP> banner(LoadBannerBitmap(Library));
    ASSERT_TRUE(banner) << "no banner resource, or it does not decode";
    BITMAP info{};
    GetObjectW(banner.Get(), sizeof info, &info);
    EXPECT_EQ(info.bmWidth, 320);
    EXPECT_EQ(info.bmHeight, 49);

    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(Library, path, MAX_PATH);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    wchar_t* name = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\080404B0\\OriginalFilename",
                              reinterpret_cast<void**>(&name), &length));
    EXPECT_EQ(std::wstring(name), L"Velmora.dll");
}

TEST_F(VelmoraDll, WithoutTheServiceItExplainsAndAnswersZero)
{
    RemoveSqlService();
    THostWindow host;
    THostWindow secondHost(L"second host");
    BSTR result = SysAllocString(L"previous");
    {
        // The library's own string calls, watched where it makes them.
        TImportHook allocate(Library, "oleaut32.dll", "SysAllocStringLen", reinterpret_cast<void*>(&LoggedAllocate));
        TImportHook free(Library, "oleaut32.dll", "SysFreeString", reinterpret_cast<void*>(&LoggedFree));
        ASSERT_TRUE(allocate.Installed() && free.Installed());
        StringLog.clear();
        bool hostEnabledDuringBox = true;
        TScreenWatcher watcher([&](const TSeenBox&) { hostEnabledDuringBox = IsWindowEnabled(host.Handle()); });
        DoIt(&result, host.Handle(), "C:\\host\\", "C:\\host\\UF2003.bak", "2003");
        EXPECT_FALSE(hostEnabledDuringBox);
        // "0" first, then "0" again as the final value; each new string is made before
        // the one it replaces is freed, and nothing is left behind but the result.
        EXPECT_EQ(StringLog, (std::vector<std::wstring>{L"allocate:0", L"free:previous", L"allocate:0", L"free:0"}));
        const auto boxes = watcher.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Caption, L"错误");
        EXPECT_EQ(boxes[0].Text, MissingServiceText);
        EXPECT_EQ(boxes[0].Owner, host.Handle());
        EXPECT_EQ(boxes[0].Icon, LoadIconW(nullptr, IDI_HAND));
        EXPECT_TRUE(watcher.ProgressDialogSeen());
        EXPECT_EQ(watcher.ProgressDialogOwner(), host.Handle());
        EXPECT_FALSE(watcher.OwnerEnabledWhenDialogAppeared()) << "the host window is disabled while the dialog is up";
    }
    EXPECT_TRUE(IsWindowEnabled(host.Handle()));
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::wstring(result, SysStringLen(result)), L"0");

    // The next call belongs to the next host window: nothing of the first call's stays.
    {
        TScreenWatcher watcher;
        DoIt(&result, secondHost.Handle(), "C:\\host\\", "C:\\host\\UF2003.bak", "2003");
        const auto boxes = watcher.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Owner, secondHost.Handle());
    }
    EXPECT_TRUE(IsWindowEnabled(secondHost.Handle()));
    EXPECT_EQ(std::wstring(result, SysStringLen(result)), L"0");
    SysFreeString(result);
}

TEST_F(VelmoraDll, HostTextTheCodePageCannotReadIsExplainedInABox)
{
    // 0xFF is no character in GBK: the call must end with "0" and say why, in a box
    // that can show the bytes it could not read.
    RemoveSqlService();
    THostWindow host;
    struct TCase {
        const char* BackupFile;
        const char* Year;
        const wchar_t* Shown;
    };
    const TCase cases[] = {{"C:\\host\\UF2003.bak", "\xFF", L"“\\xFF”"},
                           {"C:\\host\\UF2003\\\xFF.bak", "2003", L"“C:\\host\\UF2003\\\\xFF.bak”"}};
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.BackupFile);
        BSTR result = SysAllocString(L"previous");
        TScreenWatcher watcher;
        DoIt(&result, host.Handle(), "C:\\host\\", test.BackupFile, test.Year);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(std::wstring(result, SysStringLen(result)), L"0");
        SysFreeString(result);
        const auto boxes = watcher.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Caption, L"错误");
        EXPECT_EQ(boxes[0].Owner, host.Handle());
        if (GetACP() == 936) {
            EXPECT_NE(boxes[0].Text.find(test.Shown), std::wstring::npos);
            EXPECT_FALSE(watcher.ProgressDialogSeen()) << "nothing runs on texts that could not be read";
        }
        EXPECT_TRUE(IsWindowEnabled(host.Handle()));
    }
}

TEST_F(VelmoraDll, WithoutAResultVariableNothingRuns)
{
    RemoveSqlService();
    TScreenWatcher watcher;
    DoIt(nullptr, nullptr, "C:\\host\\", "C:\\host\\UF2003.bak", "2003");
    // The host is told why, not that memory ran out. The watcher keeps a box before it
    // presses OK, so a box of the call is known by the time the call returns.
    ASSERT_EQ(watcher.Boxes().size(), 1u);
    EXPECT_EQ(watcher.Boxes()[0].Text, L"数据源预处理无法进行：宿主没有提供结果变量");
    EXPECT_FALSE(watcher.ProgressDialogSeen());
}

// A host that frees the library and loads another build of it, from another place.
TEST(VelmoraDllReload, LeavesNoWindowClassBehindForTheNextCopy)
{
    RemoveSqlService();
    const wchar_t* const classes[] = {L"TForm_DealWithUFO", L"TForm_GetFileList", L"VelmoraPanel",
                                      L"VelmoraImage",      L"VelmoraProgressBar", L"VelmoraTimerWindow"};
    auto registeredFor = [&](HMODULE module) {
        std::vector<std::wstring> found;
        for (const wchar_t* name : classes) {
            WNDCLASSEXW info{};
            info.cbSize = sizeof info;
            if (GetClassInfoExW(module, name, &info)) found.push_back(name);
        }
        return found;
    };
    TTempFolder first(L"VelmoraFirstCopy");
    TTempFolder second(L"VelmoraSecondCopy");
    THostWindow host;
    for (const std::wstring& folder : {first.Path(), second.Path()}) {
        SCOPED_TRACE(FromWide(folder));
        const std::wstring path = folder + L"Velmora.dll";
        ASSERT_TRUE(CopyFileW((ProgramFolder() + L"Velmora.dll").c_str(), path.c_str(), FALSE));
        HMODULE library = LoadLibraryW(path.c_str());
        ASSERT_NE(library, nullptr);
        EXPECT_EQ(registeredFor(library), std::vector<std::wstring>{}) << "a class of the freed copy is still there";
        TDoIt doIt = nullptr;
        FARPROC entry = GetProcAddress(library, "DoIt");
        std::memcpy(&doIt, &entry, sizeof doIt);
        ASSERT_NE(doIt, nullptr);
        TScreenWatcher watcher;
        BSTR result = nullptr;
        doIt(&result, host.Handle(), "C:\\host\\", "C:\\host\\UF2003.bak", "2003");
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(std::wstring(result, SysStringLen(result)), L"0");
        SysFreeString(result);
        EXPECT_TRUE(watcher.ProgressDialogSeen());
        const auto boxes = watcher.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].Text, MissingServiceText);
        EXPECT_EQ(registeredFor(library), std::vector<std::wstring>{}) << "classes outlive the dialogs";
        ASSERT_TRUE(FreeLibrary(library));
        EXPECT_EQ(registeredFor(library), std::vector<std::wstring>{});
    }
}

class VelmoraDllWithService : public VelmoraDll {
protected:
    void SetUp() override
    {
        VelmoraDll::SetUp();
        ASSERT_TRUE(Service.Installed()) << Service.Failure();
        Work = Folder.Path() + L"TempLateTemp\\";
        CreateDirectoryW(Work.c_str(), nullptr);
        Backup = Folder.Path() + L"UF2003.bak";
        WriteWholeFile(Backup, Source(5000));
    }

    // Runs DoIt; at the first box, looks at the staging copy the run has made.
    void Run()
    {
        TScreenWatcher watcher([this](const TSeenBox&) {
            if (StagingSeen) return;
            StagingSeen = true;
            StagingMatched = ReadWholeFile(Work + L"ufdatawk.temp", StagingBytes) && StagingBytes == Source(5000);
        });
        BSTR result = SysAllocString(L"previous");
        DoIt(&result, Host.Handle(), ToAnsi(Folder.Path()).c_str(), ToAnsi(Backup).c_str(), "2003");
        Result = result != nullptr ? std::wstring(result, SysStringLen(result)) : L"(null)";
        SysFreeString(result);
        Boxes = watcher.Boxes();
        Statuses = watcher.StatusTexts();
    }

    // The run after the copy: with no provider here the restore's header query fails
    // through ADO, and that one box ends the run before anything could be dropped.
    void ExpectTheRestoreFailedThroughAdo()
    {
        ASSERT_EQ(Boxes.size(), 1u);
        EXPECT_EQ(Boxes[0].Caption, L"警告");
        const std::wstring header = L"SQL=RESTORE HEADERONLY From Disk='" + Work + L"ufdatawk.temp'不能执行";
        EXPECT_EQ(Boxes[0].Text.substr(0, Boxes[0].Text.find(L'\n')), header);
        EXPECT_EQ(Boxes[0].Owner, Host.Handle());
        EXPECT_TRUE(StagingSeen);
        EXPECT_TRUE(StagingMatched) << "staging copy of " << StagingBytes.size() << " bytes";
        EXPECT_FALSE(FileExists(Work + L"ufdatawk.temp")) << "the staging copy is deleted after the restore";
        EXPECT_FALSE(Statuses.empty());
        if (!Statuses.empty()) {
            EXPECT_EQ(Statuses.back(), L"还原数据库文件......");
        }
        EXPECT_EQ(Result, L"0");
        EXPECT_TRUE(IsWindowEnabled(Host.Handle()));
    }

    TStandInService Service{ProgramFolder() + L"VelmoraFakeService.exe"};
    // On a Chinese system the host's folder may well be Chinese, passed in GBK.
    TTempFolder Folder{GetACP() == 936 ? L"账套备份" : L"VelmoraDoIt"};
    THostWindow Host;
    std::wstring Work;
    std::wstring Backup;
    bool StagingSeen = false;
    bool StagingMatched = false;
    std::string StagingBytes;
    std::wstring Result;
    std::vector<TSeenBox> Boxes;
    std::vector<std::wstring> Statuses;
};

TEST_F(VelmoraDllWithService, AStoppedServiceIsStartedBeforeTheCopy)
{
    ASSERT_EQ(Service.State(), static_cast<DWORD>(SERVICE_STOPPED));
    Run();
    const std::vector<std::wstring> expected{L"正在启动SQL SERVER数据库...", L"SQL SERVER数据库启动成功...",
                                             L"还原数据库文件......"};
    std::size_t next = 0;
    for (const auto& status : Statuses) {
        if (next < expected.size() && status == expected[next]) ++next;
    }
    EXPECT_EQ(next, expected.size()) << "status texts out of order or missing";
    EXPECT_EQ(Service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    ExpectTheRestoreFailedThroughAdo();
}

TEST_F(VelmoraDllWithService, ARunningServiceIsTakenAsItIs)
{
    ASSERT_TRUE(Service.StartAndWait());
    Run();
    EXPECT_NE(std::find(Statuses.begin(), Statuses.end(), L"SQL SERVER数据库已经启动..."), Statuses.end());
    EXPECT_EQ(std::find(Statuses.begin(), Statuses.end(), L"正在启动SQL SERVER数据库..."), Statuses.end());
    ExpectTheRestoreFailedThroughAdo();
}

}  // namespace
}  // namespace Velmora
