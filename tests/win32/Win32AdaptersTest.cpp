// The Win32 adapters against the real system (under Wine in CI): text conversion,
// files, the OLE result string, the service manager and ADO.

#include <gtest/gtest.h>

#include <vector>

#include "platform/Errors.h"
#include "platform/Utf.h"
#include "platform/win32/AdoDataAccess.h"
#include "platform/win32/AdoValues.h"
#include "platform/win32/Win32FileSystem.h"
#include "platform/win32/Win32OleString.h"
#include "platform/win32/Win32Scoped.h"
#include "platform/win32/Win32ServiceControl.h"
#include "platform/win32/Win32TextConversion.h"
#include "platform/win32/Win32Ticks.h"
#include "preprocess/DealWithUFO.h"
#include "tests/fakes/FakePlatform.h"
#include "tests/fakes/FaultyFiles.h"
#include "tests/win32/WinTestSupport.h"

#include <winioctl.h>  // after the system headers it extends

namespace Velmora {
namespace {

using WinTest::TTempFolder;

std::string Utf8(const std::wstring& wide) { return FromWide(wide); }

// ---------------------------------------------------------------- text conversion

TEST(Win32TextConversion, RoundTripsTheSystemCodePage)
{
    TWin32TextConversion text;
    EXPECT_EQ(text.AnsiToUtf8(""), "");
    EXPECT_EQ(text.AnsiToUtf8("C:\\Backup\\UF2003.bak"), "C:\\Backup\\UF2003.bak");
    EXPECT_EQ(text.Utf8ToAnsi("C:\\Backup\\UF2003.bak"), "C:\\Backup\\UF2003.bak");

    switch (GetACP()) {
    case 936:
        // "中文" in GBK.
        EXPECT_EQ(text.AnsiToUtf8("\xD6\xD0\xCE\xC4"), "中文");
        EXPECT_EQ(text.Utf8ToAnsi("中文"), "\xD6\xD0\xCE\xC4");
        break;
    case 1252:
        EXPECT_EQ(text.AnsiToUtf8("caf\xE9"), "café");
        EXPECT_EQ(text.Utf8ToAnsi("café"), "caf\xE9");
        break;
    default:
        GTEST_SKIP() << "no sample text for code page " << GetACP();
    }
}

TEST(Win32TextConversion, RefusesWhatTheCodePageCannotHold)
{
    TWin32TextConversion text;
    // An emoji is in neither GBK nor Windows-1252: it must not become '?'.
    EXPECT_THROW(text.Utf8ToAnsi("备份😀"), EVelmoraError);
    EXPECT_THROW(text.Utf8ToAnsi("\xFF\xFE not UTF-8"), EVelmoraError);
    if (GetACP() == 936) {
        // A GBK lead byte without its trail byte.
        EXPECT_THROW(text.AnsiToUtf8("abc\x81"), EVelmoraError);
    }
}

TEST(Win32TextConversion, NamesUndecodableHostBytesInAMessageThatCanBeShown)
{
    // The host's bytes come as they are; those the code page cannot read must not
    // reach the message raw, or the box that explains the failure cannot show it.
    TWin32TextConversion gbk(936);
    const auto messageFor = [&gbk](const std::string& ansi) -> std::string {
        try {
            gbk.AnsiToUtf8(ansi);
        } catch (const EVelmoraError& error) {
            return error.what();
        }
        ADD_FAILURE() << "no error for undecodable text";
        return std::string();
    };
    const std::string path = messageFor("C:\\host\\UF2003\\\xFF.bak");
    EXPECT_NO_THROW(Utf8ToUtf16(path)) << "the message is not valid UTF-8";
    EXPECT_NE(path.find("C:\\host\\UF2003\\\\xFF.bak"), std::string::npos) << path;
    EXPECT_NE(path.find("936"), std::string::npos) << path;
    // What decodes stays readable; a lead byte without its trail byte is shown as a byte.
    const std::string chinese = messageFor("\xD6\xD0\xCE\xC4\xFF\x81");
    EXPECT_NO_THROW(Utf8ToUtf16(chinese));
    EXPECT_NE(chinese.find("中文\\xFF\\x81"), std::string::npos) << chinese;
}

TEST(Win32TextConversion, WorksOnSystemsWhoseCodePageIsUtf8)
{
    // Windows 10 can run with UTF-8 as its ANSI code page; the system refuses the
    // best-fit flag and the default-character question for it.
    TWin32TextConversion utf8(CP_UTF8);
    EXPECT_EQ(utf8.Utf8ToAnsi("备份😀 C:\\host"), "备份😀 C:\\host");
    EXPECT_EQ(utf8.AnsiToUtf8("备份😀"), "备份😀");
    EXPECT_THROW(utf8.Utf8ToAnsi("\xFF\xFE not UTF-8"), EVelmoraError);
    try {
        utf8.AnsiToUtf8("abc\xFF");
        ADD_FAILURE() << "invalid UTF-8 from the host was taken";
    } catch (const EVelmoraError& error) {
        EXPECT_NE(std::string(error.what()).find("abc\\xFF"), std::string::npos) << error.what();
    }
}

// ---------------------------------------------------------------- tick count

TEST(Win32Ticks, WidenTheSystemCountAcrossItsWrapAround)
{
    TTickWidener ticks;
    EXPECT_EQ(ticks.Widen(0xFFFFFF00u), 0xFFFFFF00ull);
    EXPECT_EQ(ticks.Widen(0x10u), 0x100000010ull);
    EXPECT_EQ(ticks.Widen(0x0Fu), 0x10000000Full) << "a reading another thread overtook is no wrap-around";
    EXPECT_EQ(ticks.Widen(0x20u), 0x100000020ull);
    EXPECT_EQ(ticks.Widen(0xFFFFFFF0u), 0x1FFFFFFF0ull);
    EXPECT_EQ(ticks.Widen(0x5u), 0x200000005ull);

    const ULONGLONG system = GetTickCount64();
    const std::uint64_t ours = TickCount64();
    EXPECT_LT(ours > system ? ours - system : system - ours, 1000u) << "the system's own count where it has one";
}

// ---------------------------------------------------------------- files

class Win32FileSystemTest : public testing::Test {
protected:
    TTempFolder Folder{L"VelmoraFiles"};
    TWin32FileSystem Files;
    std::string Path(const wchar_t* name) const { return Utf8(Folder.Path() + name); }
};

TEST_F(Win32FileSystemTest, CopiesBytesAndReportsSizeAndPosition)
{
    const std::string data("backup\0data\xff\x01", 13);
    {
        auto target = Files.CreateExclusive(Path(L"备份.dat"));
        target->Write(data.data(), static_cast<std::int64_t>(data.size()));
        EXPECT_EQ(target->Position(), static_cast<std::int64_t>(data.size()));
    }
    auto source = Files.OpenReadExclusive(Path(L"备份.dat"));
    EXPECT_EQ(source->Size(), static_cast<std::int64_t>(data.size()));
    source->Seek(2);
    EXPECT_EQ(source->Position(), 2);
    char buffer[64] = {};
    EXPECT_EQ(source->Read(buffer, 1025), static_cast<std::int64_t>(data.size() - 2));
    EXPECT_EQ(std::string(buffer, data.size() - 2), data.substr(2));
    EXPECT_EQ(source->Read(buffer, 1025), 0) << "at the end a read answers 0";
}

// The handle is moved only when a transfer wants another place than where the last
// one left it, so that place has to be known exactly.
TEST_F(Win32FileSystemTest, EachTransferStartsWhereItAsks)
{
    TWin32FileSystem small(16);
    {
        auto file = small.CreateExclusive(Path(L"moved.dat"));
        file->Write("0123456789abcdef", 16);
        file->Seek(0);
        char back[4] = {};
        EXPECT_EQ(file->Read(back, 4), 4);
        EXPECT_EQ(std::string(back, 4), "0123") << "read where the write began, not where it ended";
        file->Seek(0);
        file->Write("XY", 2);
        file->Close();
    }
    std::string bytes;
    ASSERT_TRUE(WinTest::ReadWholeFile(Folder.Path() + L"moved.dat", bytes));
    EXPECT_EQ(bytes, "XY23456789abcdef") << "written where the read began";
}

TEST_F(Win32FileSystemTest, AFailedFinalWriteIsRaisedByClose)
{
    WinTest::WriteWholeFile(Folder.Path() + L"readonly.dat", "x");
    // Open for reading only: the buffered bytes cannot be written when they are finally handed on.
    HANDLE handle = CreateFileW((Folder.Path() + L"readonly.dat").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    TWin32File file(handle, Path(L"readonly.dat"));
    EXPECT_NO_THROW(file.Write("abc", 3));
    try {
        file.Close();
        FAIL() << "a final write that failed was not raised";
    } catch (const EInOutError& error) {
        EXPECT_NE(std::string(error.what()).find("readonly.dat"), std::string::npos) << error.what();
    }
    EXPECT_NO_THROW(file.Close()) << "raised once; the handle is gone";
    const TFileHandle again(CreateFileW((Folder.Path() + L"readonly.dat").c_str(), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(again) << "the failed close still released the file";
}

TEST_F(Win32FileSystemTest, RefusesPipesAndDevices)
{
    const std::wstring pipeName = L"\\\\.\\pipe\\velmora-files-" + std::to_wstring(GetCurrentProcessId());
    for (const std::string& path : {Utf8(pipeName), std::string("NUL")}) {
        for (bool create : {false, true}) {
            // Each client needs an instance of its own, waiting to be connected.
            const TFileHandle pipe(CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE,
                                                    PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
            ASSERT_TRUE(pipe) << GetLastError();
            try {
                if (create) Files.CreateExclusive(path);
                else Files.OpenReadExclusive(path);
                ADD_FAILURE() << path << " was accepted as a file";
            } catch (const EVelmoraError& error) {
                EXPECT_NE(std::string(error.what()).find(path + "”：这不是磁盘上的普通文件"), std::string::npos)
                    << error.what();
            }
        }
    }
}

TEST_F(Win32FileSystemTest, TheCopyNeverWritesThroughALink)
{
    WinTest::WriteWholeFile(Folder.Path() + L"elsewhere.db", "precious");
    const std::wstring link = Folder.Path() + L"ufdatawk.temp";
    // The target is refused with the reason given, and the file it also names keeps its bytes.
    auto expectRefused = [&](const std::string& reason) {
        try {
            Files.CreateExclusive(Path(L"ufdatawk.temp"));
            ADD_FAILURE() << "the copy's target was opened though it is " << reason;
        } catch (const EVelmoraError& error) {
            EXPECT_NE(std::string(error.what()).find(Path(L"ufdatawk.temp") + "”：" + reason), std::string::npos)
                << error.what();
        }
        std::string bytes;
        ASSERT_TRUE(WinTest::ReadWholeFile(Folder.Path() + L"elsewhere.db", bytes));
        EXPECT_EQ(bytes, "precious");
    };
    // A second name of the file is refused as a link is.
    ASSERT_TRUE(CreateHardLinkW(link.c_str(), (Folder.Path() + L"elsewhere.db").c_str(), nullptr)) << GetLastError();
    expectRefused("这个文件另有硬链接");
    ASSERT_TRUE(DeleteFileW(link.c_str()));

    // Wine 8 answers success and makes nothing: only a link that is there is tested.
    if (!CreateSymbolicLinkW(link.c_str(), (Folder.Path() + L"elsewhere.db").c_str(), 0) ||
        (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
        GTEST_SKIP() << "no symbolic links here (error " << GetLastError() << ")";
    }
    expectRefused("这是一个链接");
    EXPECT_NE(GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u) << "the link itself is left";
    // The backup itself may well be a link: reading follows it.
    auto source = Files.OpenReadExclusive(Path(L"ufdatawk.temp"));
    EXPECT_EQ(source->Size(), 8);
}

TEST_F(Win32FileSystemTest, CloseReleasesTheFileAndEndsItsUse)
{
    auto target = Files.CreateExclusive(Path(L"ufdatawk.temp"));
    target->Write("abc", 3);
    target->Close();
    EXPECT_NO_THROW(target->Close());
    std::string bytes;
    EXPECT_TRUE(WinTest::ReadWholeFile(Folder.Path() + L"ufdatawk.temp", bytes)) << "closed, so others may open it";
    EXPECT_EQ(bytes, "abc");
    EXPECT_THROW(target->Write("d", 1), EInOutError);
}

TEST_F(Win32FileSystemTest, OpensWithoutSharing)
{
    WinTest::WriteWholeFile(Folder.Path() + L"held.bak", "x");
    auto held = Files.OpenReadExclusive(Path(L"held.bak"));
    try {
        Files.OpenReadExclusive(Path(L"held.bak"));
        FAIL() << "a second open of a file held without sharing succeeded";
    } catch (const EVelmoraError& error) {
        EXPECT_NE(std::string(error.what()).find(Path(L"held.bak")), std::string::npos) << error.what();
    }
    // Nobody can write the source while the copy reads it, nor read a copy being written.
    const TFileHandle other(CreateFileW((Folder.Path() + L"held.bak").c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(other);
}

TEST_F(Win32FileSystemTest, CreateReplacesAnExistingFile)
{
    WinTest::WriteWholeFile(Folder.Path() + L"ufdatawk.temp", std::string(5000, 'o'));
    {
        auto target = Files.CreateExclusive(Path(L"ufdatawk.temp"));
        target->Write("new", 3);
    }
    std::string bytes;
    ASSERT_TRUE(WinTest::ReadWholeFile(Folder.Path() + L"ufdatawk.temp", bytes));
    EXPECT_EQ(bytes, "new");
}

TEST_F(Win32FileSystemTest, FailuresNameTheFileAndTheReason)
{
    try {
        Files.OpenReadExclusive(Path(L"missing.bak"));
        FAIL() << "opening a missing file succeeded";
    } catch (const EVelmoraError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("missing.bak"), std::string::npos) << message;
        EXPECT_GT(message.size(), Path(L"missing.bak").size() + 6) << "the system's reason is part of the message";
    }
    EXPECT_THROW(Files.CreateExclusive(Path(L"no such folder\\ufdatawk.temp")), EVelmoraError);
}

TEST_F(Win32FileSystemTest, HandlesSizesBeyondFourGigabytes)
{
    const std::int64_t beyond = (std::int64_t{5} << 30) + 7;
    {
        auto target = Files.CreateExclusive(Path(L"large.bak"));
        // Sparse, or NTFS would fill the gap with 5 GiB of zeros.
        auto* file = dynamic_cast<TWin32File*>(target.get());
        ASSERT_NE(file, nullptr);
        DWORD returned = 0;
        if (!DeviceIoControl(file->Handle(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr)) {
            GTEST_SKIP() << "no sparse files on this file system (error " << GetLastError()
                         << "): the test would write 5 GiB";
        }
        target->Seek(beyond);
        target->Write("z", 1);
        EXPECT_EQ(target->Position(), beyond + 1);
    }
    auto source = Files.OpenReadExclusive(Path(L"large.bak"));
    EXPECT_EQ(source->Size(), beyond + 1);
    source->Seek(beyond);
    char byte = 0;
    EXPECT_EQ(source->Read(&byte, 1), 1);
    EXPECT_EQ(byte, 'z');
    source.reset();
    EXPECT_TRUE(Files.DeleteFile(Path(L"large.bak")));
}

TEST_F(Win32FileSystemTest, DeletesAndUsesBackslashes)
{
    WinTest::WriteWholeFile(Folder.Path() + L"ufdatawk.temp", "x");
    EXPECT_TRUE(Files.DeleteFile(Path(L"ufdatawk.temp")));
    EXPECT_FALSE(WinTest::FileExists(Folder.Path() + L"ufdatawk.temp"));
    EXPECT_FALSE(Files.DeleteFile(Path(L"ufdatawk.temp")));
    EXPECT_EQ(Files.PathSeparator(), "\\");
}

// The staging copy over the real Win32 files, with failures injected between the copy
// and the adapter call by call, as a full disk or a failing drive would give them. A
// small buffer, so that the adapter's own transfers happen inside the copy's loop.
TEST_F(Win32FileSystemTest, EveryInjectedCopyFailureIsToldOnceAndLeavesNoCopy)
{
    using Testing::TFaultMode;
    using Testing::TFileCall;
    std::string backup(20000, '\0');  // 20 pieces of 1025 bytes
    for (std::size_t i = 0; i < backup.size(); ++i) backup[i] = static_cast<char>((i * 7919 + 13) % 251);
    WinTest::WriteWholeFile(Folder.Path() + L"UFDATA.BAK", backup);
    TWin32FileSystem disk(4096);
    const std::string source = Path(L"UFDATA.BAK");
    const std::string target = Path(L"ufdatawk.temp");

    const std::vector<std::pair<TFileCall, int>> calls = {{TFileCall::Read, 20}, {TFileCall::Write, 20},
                                                          {TFileCall::Close, 2}};
    for (const auto& [call, count] : calls) {
        for (TFaultMode mode : {TFaultMode::Once, TFaultMode::FromThenOn}) {
            for (int nth = 1; nth <= count; ++nth) {
                Fakes::TFakePlatform fake;
                Testing::TFaultyFileSystem files(disk);
                TPlatform platform{fake.Toolkit, fake.Services, fake.Data, files, fake.Text};
                TForm_DealWithUFO form(platform);
                files.FailNth(call, nth, mode, "写入文件失败：磁盘空间不足");
                const std::string where = std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth);
                EXPECT_FALSE(form.CopyBackupFile(source, target)) << where;
                EXPECT_EQ(files.Faults(), 1) << where;
                ASSERT_EQ(fake.Toolkit.Messages.size(), 1u) << where;
                EXPECT_EQ(fake.Toolkit.Messages[0].Text, "复制备份文件失败：写入文件失败：磁盘空间不足") << where;
                EXPECT_FALSE(WinTest::FileExists(Folder.Path() + L"ufdatawk.temp")) << where;
                // Closed on every path: the backup can be held without sharing again.
                const TFileHandle again(CreateFileW((Folder.Path() + L"UFDATA.BAK").c_str(), GENERIC_READ, 0,
                                                    nullptr, OPEN_EXISTING, 0, nullptr));
                EXPECT_TRUE(again) << where;
            }
        }
    }
    std::string after;
    ASSERT_TRUE(WinTest::ReadWholeFile(Folder.Path() + L"UFDATA.BAK", after));
    EXPECT_TRUE(after == backup) << "the backup is never touched";
}

TEST_F(Win32FileSystemTest, RestoreTargetsThatAreNotPlainFilesAreFound)
{
    WinTest::WriteWholeFile(Folder.Path() + L"ufdata.mdf", "x");
    EXPECT_FALSE(Files.IsLinkOrSpecial(Path(L"ufdata.mdf")));
    EXPECT_FALSE(Files.IsLinkOrSpecial(Path(L"ufdata.ldf"))) << "absent";
    EXPECT_TRUE(Files.IsLinkOrSpecial(Utf8(Folder.Path()))) << "a folder";
    EXPECT_FALSE(Files.IsLinkOrSpecial(Path(L"no such folder\\ufdata.mdf")));
    // Only a plain file has a size that a restore would free by replacing it.
    EXPECT_EQ(Files.FileSize(Path(L"ufdata.mdf")), 1);
    EXPECT_EQ(Files.FileSize(Path(L"ufdata.ldf")), -1);
    EXPECT_EQ(Files.FileSize(Utf8(Folder.Path())), -1);
}

// ---------------------------------------------------------------- OLE result string

struct TAllocatorLog {
    std::vector<std::string> Calls;
    bool FailNext = false;
};
TAllocatorLog* Log = nullptr;

BSTR WINAPI LoggingAllocate(const OLECHAR* text, UINT length)
{
    Log->Calls.push_back("allocate:" + Utf8(std::wstring(text, length)));
    if (Log->FailNext) return nullptr;
    return SysAllocStringLen(text, length);
}

void WINAPI LoggingFree(BSTR text)
{
    Log->Calls.push_back("free:" + Utf8(std::wstring(text, SysStringLen(text))));
    SysFreeString(text);
}

TEST(Win32OleString, AllocatesTheNewStringBeforeFreeingThePrevious)
{
    TAllocatorLog log;
    Log = &log;
    BSTR variable = SysAllocString(L"previous");
    TWin32OleString result(&variable, &LoggingAllocate, &LoggingFree);
    result.Assign("0");
    EXPECT_EQ(log.Calls, (std::vector<std::string>{"allocate:0", "free:previous"}));
    EXPECT_EQ(std::wstring(variable, SysStringLen(variable)), L"0");
    SysFreeString(variable);
    Log = nullptr;
}

TEST(Win32OleString, AFailedAllocationLeavesThePreviousStringInPlace)
{
    TAllocatorLog log;
    Log = &log;
    BSTR previous = SysAllocString(L"previous");
    BSTR variable = previous;
    TWin32OleString result(&variable, &LoggingAllocate, &LoggingFree);
    log.FailNext = true;
    EXPECT_THROW(result.Assign("0"), EVelmoraError);
    EXPECT_EQ(variable, previous);
    EXPECT_EQ(log.Calls, (std::vector<std::string>{"allocate:0"}));
    SysFreeString(variable);
    Log = nullptr;
}

TEST(Win32OleString, StoresUnicodeTextAndAcceptsAnEmptyVariable)
{
    BSTR variable = nullptr;
    TWin32OleString result(&variable);
    result.Assign(ConnectionStrings::HostResult);
    ASSERT_NE(variable, nullptr);
    EXPECT_EQ(Utf8(std::wstring(variable, SysStringLen(variable))), ConnectionStrings::HostResult);
    result.Assign("用友");
    EXPECT_EQ(std::wstring(variable, SysStringLen(variable)), L"用友");
    SysFreeString(variable);

    TWin32OleString missing(nullptr);
    EXPECT_THROW(missing.Assign("0"), EVelmoraError);
}

// ---------------------------------------------------------------- VARIANT fields

TEST(AdoFieldValues, ConvertTheProvidersVariantTypes)
{
    VARIANT value;
    VariantInit(&value);
    EXPECT_TRUE(FieldValueFromVariant(value).IsNull());
    value.vt = VT_NULL;
    EXPECT_TRUE(FieldValueFromVariant(value).IsNull());

    value.vt = VT_I4;
    value.lVal = -42;
    EXPECT_EQ(FieldValueFromVariant(value).Kind(), TFieldValue::TKind::Integer);
    EXPECT_EQ(FieldValueFromVariant(value).AsString(), "-42");

    value.vt = VT_I2;
    value.iVal = 3;
    EXPECT_EQ(FieldValueFromVariant(value).AsInteger(), 3);

    value.vt = VT_UI1;
    value.bVal = 200;
    EXPECT_EQ(FieldValueFromVariant(value).AsInteger(), 200);

    // A bit column: "1" marks the flag, whatever VARIANT_TRUE's bits are.
    value.vt = VT_BOOL;
    value.boolVal = VARIANT_TRUE;
    EXPECT_EQ(FieldValueFromVariant(value).AsString(), "1");
    EXPECT_TRUE(FieldValueFromVariant(value).AsBoolean());
    value.boolVal = VARIANT_FALSE;
    EXPECT_EQ(FieldValueFromVariant(value).AsString(), "0");

    // Money: four decimals, read as a double.
    value.vt = VT_CY;
    value.cyVal.int64 = 123456789;
    EXPECT_DOUBLE_EQ(FieldValueFromVariant(value).AsFloat(), 12345.6789);

    value.vt = VT_R8;
    value.dblVal = 0.5;
    EXPECT_EQ(FieldValueFromVariant(value).Kind(), TFieldValue::TKind::Float);
    EXPECT_DOUBLE_EQ(FieldValueFromVariant(value).AsFloat(), 0.5);

    value.vt = VT_I8;
    value.llVal = 5000000000LL;
    EXPECT_EQ(FieldValueFromVariant(value).AsInteger(), 5000000000LL);
}

TEST(AdoFieldValues, ConvertDecimalsTextAndDates)
{
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_DECIMAL;
    value.decVal.scale = 0;
    value.decVal.sign = DECIMAL_NEG;
    value.decVal.Hi32 = 0;
    value.decVal.Lo64 = 1234;
    EXPECT_EQ(FieldValueFromVariant(value).Kind(), TFieldValue::TKind::Integer);
    EXPECT_EQ(FieldValueFromVariant(value).AsInteger(), -1234);
    value.vt = VT_DECIMAL;
    value.decVal.scale = 2;
    value.decVal.sign = 0;
    EXPECT_DOUBLE_EQ(FieldValueFromVariant(value).AsFloat(), 12.34);

    TVariant text("UFDATA_001_2003 用友");
    EXPECT_EQ(FieldValueFromVariant(text.Get()).AsString(), "UFDATA_001_2003 用友");

    VARIANT date;
    VariantInit(&date);
    date.vt = VT_DATE;
    SYSTEMTIME time{};
    time.wYear = 2003;
    time.wMonth = 12;
    time.wDay = 31;
    SystemTimeToVariantTime(&time, &date.date);
    EXPECT_EQ(FieldValueFromVariant(date).AsString(), "2003-12-31");

    VARIANT inner;
    VariantInit(&inner);
    inner.vt = VT_I4;
    inner.lVal = 7;
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = VT_I4 | VT_BYREF;
    reference.plVal = &inner.lVal;
    EXPECT_EQ(FieldValueFromVariant(reference).AsInteger(), 7);
}

// ---------------------------------------------------------------- ADO

TEST(AdoDataAccess, ProviderFailuresBecomeProviderErrorsWithAMessage)
{
    // No SQL Server provider here (Wine has none): opening must fail cleanly.
    TAdoDataAccess data;
    auto connection = data.CreateConnection();
    connection->SetCommandTimeout(0);
    connection->SetLoginPrompt(false);
    connection->SetConnectionString(ConnectionStrings::Master);
    EXPECT_EQ(connection->ConnectionString(), ConnectionStrings::Master);
    EXPECT_FALSE(connection->Connected());
    try {
        connection->Open();
        GTEST_SKIP() << "a database provider answered; this test needs one that is missing";
    } catch (const EProviderError& error) {
        EXPECT_STRNE(error.what(), "");
    }
    EXPECT_FALSE(connection->Connected());
    EXPECT_NO_THROW(connection->Close());
}

TEST(AdoDataAccess, QueriesAndCommandsOpenTheConnectionFirst)
{
    TAdoDataAccess data;
    auto connection = data.CreateConnection();
    connection->SetConnectionString(ConnectionStrings::Master);
    auto query = connection->CreateQuery();
    query->ClearSql();
    query->AddSql("RESTORE HEADERONLY From Disk='C:\\ufdatawk.temp'");
    EXPECT_THROW(query->Open(), EProviderError);
    EXPECT_FALSE(query->Active());
    EXPECT_NO_THROW(query->Close());

    auto command = connection->CreateCommand();
    command->SetCommandTimeout(0);
    command->SetCommandText("drop DATABASE UFDATA");
    EXPECT_THROW(command->Execute(), EProviderError);
}

TEST(AdoDataAccess, ReadingAClosedQueryIsAnErrorOfItsOwn)
{
    TAdoDataAccess data;
    auto connection = data.CreateConnection();
    auto query = connection->CreateQuery();
    EXPECT_THROW(query->RecordCount(), EVelmoraError);
    EXPECT_THROW(query->FieldByName("Position"), EVelmoraError);
    EXPECT_THROW(query->Eof(), EVelmoraError);
    EXPECT_THROW(query->First(), EVelmoraError);
    // Not a provider error: the runners must not turn it into an SQL warning.
    try {
        query->FieldByName("Position");
    } catch (const EProviderError&) {
        ADD_FAILURE() << "a closed query raised a provider error";
    } catch (const EVelmoraError&) {
    }
}

TEST(AdoDataAccess, ProviderTextFallsBackToTheSystemsWords)
{
    SetErrorInfo(0, nullptr);
    const HRESULT notRegistered = static_cast<HRESULT>(0x800401F3);
    EXPECT_EQ(ProviderErrorText(notRegistered, nullptr), SystemErrorText(0x800401F3));
    EXPECT_FALSE(ProviderErrorText(notRegistered, nullptr).empty());

    // A thread error object set by the provider wins over the system's words.
    TComPtr<ICreateErrorInfo> create;
    ASSERT_TRUE(SUCCEEDED(CreateErrorInfo(create.Receive())));
    create->SetDescription(const_cast<LPOLESTR>(L"[DBNETLIB]SQL Server 不存在或访问被拒绝。 "));
    TComPtr<IErrorInfo> info;
    create->QueryInterface(IID_IErrorInfo, info.ReceiveVoid());
    SetErrorInfo(0, info.Get());
    EXPECT_EQ(ProviderErrorText(E_FAIL, nullptr), "[DBNETLIB]SQL Server 不存在或访问被拒绝。");
    // Read once: a later failure never repeats it.
    EXPECT_EQ(ProviderErrorText(notRegistered, nullptr), SystemErrorText(0x800401F3));
}

// COM objects of the tests, on the stack and released through IUnknown only: the
// interfaces have no virtual destructor, and must not get one.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

// A provider's error object whose description is damaged UTF-16 (a lone surrogate).
class TDamagedErrorInfo : public IErrorInfo {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IErrorInfo)) {
            *object = static_cast<IErrorInfo*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++References); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--References); }
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override
    {
        *guid = GUID_NULL;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) override
    {
        *source = SysAllocString(L"Microsoft OLE DB Provider for SQL Server");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override
    {
        const wchar_t text[] = {L'登', L'录', L'失', L'败', static_cast<wchar_t>(0xD800), L'.', L' '};
        *description = SysAllocStringLen(text, 7);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* file) override
    {
        *file = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override
    {
        *context = 0;
        return S_OK;
    }

    long References = 1;
};

TEST(AdoDataAccess, ADamagedProviderMessageIsStillShownAndReleased)
{
    TDamagedErrorInfo info;
    SetErrorInfo(0, &info);
    info.Release();
    ASSERT_EQ(info.References, 1) << "the thread holds the error object";
    std::string text;
    EXPECT_NO_THROW(text = ProviderErrorText(E_FAIL, nullptr));
    EXPECT_EQ(text, "登录失败\xEF\xBF\xBD.") << "the damaged character replaced, the message kept";
    EXPECT_EQ(info.References, 0) << "the error object was not released";
    SetErrorInfo(0, nullptr);
}

// An object whose value, read through IDispatch, is damaged UTF-16.
class TDamagedValue : public IDispatch {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override
    {
        if (IsEqualIID(id, IID_IUnknown) || IsEqualIID(id, IID_IDispatch)) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++References); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--References); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override
    {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                                     UINT*) override
    {
        if (member != DISPID_VALUE || result == nullptr) return DISP_E_MEMBERNOTFOUND;
        Read = true;
        const wchar_t text[] = {L'U', L'F', static_cast<wchar_t>(0xDC00)};
        VariantInit(result);
        result->vt = VT_BSTR;
        result->bstrVal = SysAllocStringLen(text, 3);
        return S_OK;
    }

    long References = 1;
    bool Read = false;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

TEST(AdoFieldValues, DamagedTextFromAConversionIsAnErrorOfItsOwn)
{
    TDamagedValue object;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_DISPATCH;
    value.pdispVal = &object;
    try {
        FieldValueFromVariant(value);
        ADD_FAILURE() << "damaged text was taken";
    } catch (const EProviderError&) {
        ADD_FAILURE() << "a damaged value is no provider error";
    } catch (const EVelmoraError&) {
    }
    EXPECT_TRUE(object.Read) << "the value was never asked for";
    EXPECT_EQ(object.References, 1);
}

// ---------------------------------------------------------------- service manager

TEST(Win32ServiceControl, AMissingServiceAnswersItsErrorCode)
{
    WinTest::RemoveSqlService();
    TWin32ServiceControl services;
    const TServiceHandle manager = services.OpenSCManager(4);
    ASSERT_NE(manager, 0u);
    EXPECT_EQ(services.OpenService(manager, "MSSQLServer", 0x14), 0u);
    EXPECT_EQ(services.LastError(), ServiceError::ServiceDoesNotExist);
    EXPECT_TRUE(services.CloseServiceHandle(manager));
    // The system's own words for a code the check has no text for: not empty, not the bare number.
    for (unsigned code : {1058u, 1066u}) {
        const std::string text = services.ErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find("错误代码"), std::string::npos) << text;
        EXPECT_NE(text.back(), '\n') << code;
    }
}

TEST(Win32ServiceControl, StartsAStoppedServiceAndFollowsItsState)
{
    WinTest::TStandInService standIn(WinTest::ProgramFolder() + L"VelmoraFakeService.exe");
    ASSERT_TRUE(standIn.Installed()) << standIn.Failure();
    TWin32ServiceControl services;
    const TServiceHandle manager = services.OpenSCManager(4);
    const TServiceHandle service = services.OpenService(manager, "MSSQLServer", 0x14);
    ASSERT_NE(service, 0u) << services.LastError();
    unsigned state = 0;
    ASSERT_TRUE(services.QueryServiceStatus(service, state));
    EXPECT_EQ(state, ServiceState::Stopped);
    EXPECT_TRUE(services.StartService(service));
    ASSERT_TRUE(services.QueryServiceStatus(service, state));
    EXPECT_TRUE(state == ServiceState::StartPending || state == ServiceState::Running) << state;
    const ULONGLONG end = GetTickCount64() + 10000;
    while (state == ServiceState::StartPending && GetTickCount64() < end) {
        Sleep(20);
        services.QueryServiceStatus(service, state);
    }
    EXPECT_EQ(state, ServiceState::Running);
    EXPECT_TRUE(services.CloseServiceHandle(service));
    EXPECT_TRUE(services.CloseServiceHandle(manager));
}

TEST(Win32ServiceControl, AHandleWithoutTheStartRightCannotStart)
{
    WinTest::TStandInService standIn(WinTest::ProgramFolder() + L"VelmoraFakeService.exe");
    ASSERT_TRUE(standIn.Installed()) << standIn.Failure();
    TWin32ServiceControl services;
    const TServiceHandle manager = services.OpenSCManager(4);
    const TServiceHandle service = services.OpenService(manager, "MSSQLServer", SERVICE_QUERY_STATUS);
    ASSERT_NE(service, 0u);
    EXPECT_FALSE(services.StartService(service));
    EXPECT_EQ(services.LastError(), ServiceError::AccessDenied);
    // The account the service runs as needs the query-config right, and only that.
    std::string account;
    EXPECT_FALSE(services.QueryServiceAccount(service, account));
    const TServiceHandle config = services.OpenService(manager, "MSSQLServer", ServiceAccess::QueryConfig);
    ASSERT_TRUE(services.QueryServiceAccount(config, account)) << services.LastError();
    EXPECT_EQ(account, "LocalSystem");
    services.CloseServiceHandle(config);
    services.CloseServiceHandle(service);
    services.CloseServiceHandle(manager);
}

}  // namespace
}  // namespace Velmora
