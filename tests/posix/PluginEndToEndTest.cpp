#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdlib>
#include <sstream>

#include "plugin/posix/Velmora.h"
#include "tests/posix/PosixTestSupport.h"

namespace Velmora {
namespace {

using PosixTest::RunProcess;
using PosixTest::TCapture;
using PosixTest::TProcessResult;
using PosixTest::TRedirect;
using PosixTest::TTempDir;

const char* const NotInstalledBox = "[错误] 此模板需要MsSqlServer2K 你的计算机上没有安装Sqlserver2K..\n";

// A host folder with its work folder, and a server directory of its own.
class PluginRun : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(FDir / "TempLateTemp"); }

    TProcessResult Host(std::vector<std::string> arguments, bool withPlugin = true)
    {
        arguments.insert(arguments.begin(), VELMORA_TEST_HOST);
        if (withPlugin) {
            arguments.push_back("--plugin");
            arguments.push_back(VELMORA_TEST_PLUGIN);
        }
        return RunProcess(arguments, "", {{"VELMORA_SERVER_DIR", FDir / "server"}, {"TERM", "dumb"}});
    }

    std::vector<std::string> Call(const std::string& service)
    {
        return {"--folder", FDir.Path() + "/", "--backup", FDir / "UFDATA.BAK", "--year", "2004", "--service", service};
    }

    TTempDir FDir;
};

TEST_F(PluginRun, ServiceNotInstalledTellsTheUserAndAnswersZero)
{
    // Also: without --plugin the host finds the library of the build tree.
    const TProcessResult run = Host(Call("missing"), false);
    EXPECT_EQ(run.ExitCode, 1) << run.Err;
    EXPECT_EQ(run.Out, "0\n");
    EXPECT_NE(run.Err.find(NotInstalledBox), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("用友财务备份预处理"), std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.find("[警告]"), std::string::npos) << run.Err;
}

TEST_F(PluginRun, SampleBackupComesOutRestoredAndPrepared)
{
    // Two sets of the sample company in one file, the later one chosen in the chooser.
    std::string earlier;
    for (const char* part : {"schema.sql", "reference-data.sql", "accounts.sql", "vouchers-until-2024-06.sql"}) {
        std::ifstream in(std::filesystem::path(VELMORA_SAMPLE_DIR) / part, std::ios::binary);
        earlier += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) + "\n";
    }
    std::ifstream laterPart(std::filesystem::path(VELMORA_SAMPLE_DIR) / "vouchers-2024-07-onwards.sql", std::ios::binary);
    const std::string later =
        earlier + std::string(std::istreambuf_iterator<char>(laterPart), std::istreambuf_iterator<char>());
    std::ofstream(FDir / "earlier.sql", std::ios::binary) << earlier;
    std::ofstream(FDir / "later.sql", std::ios::binary) << later;
    const std::string media = FDir / "UFDATA.BAK";
    ASSERT_EQ(RunProcess({VELMORA_TEST_BACKUP_TOOL, "create", media, "--database", "UFDATA", "--script",
                          FDir / "earlier.sql"}, "", {}).ExitCode, 0);
    ASSERT_EQ(RunProcess({VELMORA_TEST_BACKUP_TOOL, "create", media, "--append", "--database", "UFDATA", "--script",
                          FDir / "later.sql"}, "", {}).ExitCode, 0);

    // The folder as a user at a shell gives it, relative to where the host is started.
    std::vector<std::string> arguments = {VELMORA_TEST_HOST, "--folder", "./", "--backup", media,
                                          "--year", "2025", "--service", "stopped", "--plugin", VELMORA_TEST_PLUGIN};
    const TProcessResult run =
        RunProcess(arguments, "2\n\n", {{"VELMORA_SERVER_DIR", FDir / "server"}, {"TERM", "dumb"}}, FDir.Path());

    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;"
                       "Initial Catalog=UFDATA;Data Source=(local)\n");
    const std::vector<std::string> inOrder = {"数据源预处理请稍候...", "正在启动SQL SERVER数据库...",
                                              "SQL SERVER数据库启动成功...", "还原数据库文件......", "选择备份文件"};
    std::size_t at = 0;
    for (const std::string& text : inOrder) {
        at = run.Err.find(text, at);
        ASSERT_NE(at, std::string::npos) << text << "\n" << run.Err;
    }
    EXPECT_EQ(run.Err.find("[警告]"), std::string::npos) << run.Err;
    EXPECT_EQ(run.Err.find("[错误]"), std::string::npos) << run.Err;
    const std::filesystem::path work = FDir / "TempLateTemp";
    EXPECT_TRUE(std::filesystem::exists(work / "ufdata.mdf"));
    EXPECT_TRUE(std::filesystem::exists(work / "ufdata.ldf"));
    EXPECT_FALSE(std::filesystem::exists(work / "ufdatawk.temp"));
    EXPECT_TRUE(std::filesystem::exists(media)) << "the host's file is never touched";
}

TEST_F(PluginRun, ServiceStatesWithTheirBoxesOrNone)
{
    const TProcessResult denied = Host(Call("denied"));
    EXPECT_EQ(denied.ExitCode, 1);
    EXPECT_EQ(denied.Out, "0\n");
    EXPECT_NE(denied.Err.find("[错误] 没有访问服务的权限..\n"), std::string::npos) << denied.Err;

    const TProcessResult paused = Host(Call("paused"));
    EXPECT_EQ(paused.ExitCode, 1);
    EXPECT_EQ(paused.Out, "0\n");
    EXPECT_NE(paused.Err.find("[错误] SQL SERVER数据库服务已暂停，请在服务管理中恢复运行后再试..\n"), std::string::npos)
        << paused.Err;

    const TProcessResult disabled = Host(Call("refused 1058"));
    EXPECT_EQ(disabled.ExitCode, 1);
    EXPECT_EQ(disabled.Out, "0\n");
    EXPECT_NE(disabled.Err.find("[错误] 无法启动SQL SERVER数据库服务："), std::string::npos) << disabled.Err;
}

// Each refusal the stand-in plays as SQL Server: one box naming it by number, the "0"
// result, and where it is foreseen the previous run's UFDATA still in place.
TEST_F(PluginRun, RestoreRefusalsAreToldByNumberAndForeseenOnesLeaveTheOldUfdata)
{
    namespace fs = std::filesystem;
    const std::string media = FDir / "UFDATA.BAK", work = FDir.Path() + "/TempLateTemp/";
    std::ofstream(FDir / "small.sql") << "CREATE TABLE t (a int);\n";
    const auto backup = [&](const std::vector<std::string>& options) {
        std::vector<std::string> args = {VELMORA_TEST_BACKUP_TOOL, "create", media, "--database", "UFDATA", "--script",
                                         FDir / "small.sql"};
        args.insert(args.end(), options.begin(), options.end());
        fs::remove(media);
        return RunProcess(args, "", {}).ExitCode;
    };
    const auto contents = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    // A stand-in that does not yet play server releases cannot produce these refusals.
    if (backup({"--server-version", "8.00.2039"}) != 0) GTEST_SKIP() << "the stand-in plays no server releases";
    Host(Call("running"));
    const std::string before = contents(work + "ufdata.mdf");
    ASSERT_FALSE(before.empty());
    const std::string files = "UFDATA_Data:D:ufdata.mdf:";
    // The old UFDATA's files make room for the new ones, as the server counts it.
    const std::uintmax_t replaced = fs::file_size(work + "ufdata.mdf") + fs::file_size(work + "ufdata.ldf");
    struct TRow {
        std::vector<std::string> Options;
        std::string Knob, KnobText, Box;
        bool Foreseen = true;
    };
    const std::vector<TRow> rows = {
        {{}, "account", "NT AUTHORITY\\NETWORK SERVICE\ndeny " + work + "\n",
         "SQL Server 服务的登录账户“NT AUTHORITY\\NETWORK SERVICE”不能读写文件夹“" + work + "”，不能还原数据库。\n请给账户“NT AUTHORITY\\NETWORK SERVICE”授予这个文件夹的读取和写入权限，或改用用户个人文件夹以外的主机文件夹。\n（SQL Server 错误 3201）"},
        {{"--server-version", "9.00.1399"}, "", "", "备份由 SQL Server 9.00.1399 写成，本机的 SQL Server 是 8.00.2039，不能还原这个备份。"},
        {{"--file", files + "1125899906842624", "--file", "UFDATA_Log:L:ufdata.ldf:1024"}, "", "", "，不能还原数据库：需要 " + std::to_string(1125899906843648u - replaced) + " 字节，可用 "},
        {{"--file", files + "3221225472", "--file", "UFDATA_Log:L:ufdata.ldf:1024"}, "edition", "express",
         "（每个数据库最多 2048 MB），备份中的数据库有 3072 MB，不能还原。"},
        {{"--compressed"}, "version", "9.00.5000", "SQL Server 9.00.5000 不能读取这个备份：备份文件已损坏或不完整，或者是压缩备份"},
        {{"--families", "2"}, "", "", "备份分成 2 个文件（条带备份），这里只有其中一个，不能还原。"},
        {{"--password", "secret"}, "", "", "备份设有密码，不能还原。"},
        {{"--encrypted", "8A2C", "--server-version", "10.00.1600"}, "version", "10.00.1600", "备份已加密，本机的 SQL Server 没有解密它的证书，不能还原。"},
        // Found only by the restore itself, after the old UFDATA is gone.
        {{}, "account", "NT AUTHORITY\\NETWORK SERVICE\ndeny " + work + "ufdata.mdf\n", "（SQL Server 错误 5133）", false},
    };
    // Damaged media, as a backup cut short leaves it.
    std::ofstream(media, std::ios::binary | std::ios::trunc) << std::string(5000, 'x');
    const TProcessResult damaged = Host(Call("running"));
    EXPECT_NE(damaged.Err.find("（SQL Server 错误 3241）"), std::string::npos) << damaged.Err;
    EXPECT_EQ(contents(work + "ufdata.mdf"), before);
    for (const TRow& row : rows) {
        ASSERT_EQ(backup(row.Options), 0) << row.Box;
        const std::string knob = FDir / "server/";
        if (!row.Knob.empty()) std::ofstream(knob + row.Knob) << row.KnobText;
        const TProcessResult run = Host(Call("running"));
        if (!row.Knob.empty()) fs::remove(knob + row.Knob);
        EXPECT_EQ(run.Out, "0\n") << row.Box;
        EXPECT_NE(run.Err.find(row.Box), std::string::npos) << run.Err;
        const std::size_t first = run.Err.find("[警告]");
        EXPECT_EQ(run.Err.find("[警告]", first + 1), std::string::npos) << "one box\n" << run.Err;
        EXPECT_EQ(run.Err.find("[错误]"), std::string::npos) << run.Err;
        if (row.Foreseen) {
            EXPECT_EQ(contents(work + "ufdata.mdf"), before) << row.Box;
        }
    }
}

TEST_F(PluginRun, AYearThatIsNoNumberStopsBeforeAnyWork)
{
    std::vector<std::string> arguments = Call("running");
    arguments[5] = "20o4";
    const TProcessResult run = Host(arguments);
    EXPECT_EQ(run.ExitCode, 1);
    EXPECT_EQ(run.Out, "0\n");
    EXPECT_NE(run.Err.find("[错误] 年度“20o4”"), std::string::npos) << run.Err;
}

TEST_F(PluginRun, AResultThatCannotBeWrittenIsNoSuccess)
{
    std::string call = "exec '" + std::string(VELMORA_TEST_HOST) + "' --plugin '" + VELMORA_TEST_PLUGIN + "'";
    for (const std::string& argument : Call("missing")) call += " '" + argument + "'";
    const std::map<std::string, std::string> environment{{"VELMORA_SERVER_DIR", FDir / "server"}, {"TERM", "dumb"}};

    const TProcessResult full = RunProcess({"/bin/sh", "-c", call + " >/dev/full"}, "", environment);
    EXPECT_EQ(full.ExitCode, 1);
    EXPECT_NE(full.Err.find("velmora-host: 无法写出结果：磁盘空间不足\n"), std::string::npos) << full.Err;

    const TProcessResult closed = RunProcess({"/bin/sh", "-c", call + " >&-"}, "", environment);
    EXPECT_EQ(closed.ExitCode, 1);
    EXPECT_NE(closed.Err.find("velmora-host: 无法写出结果：标准输出已关闭\n"), std::string::npos) << closed.Err;
    EXPECT_EQ(closed.Err.find(NotInstalledBox), std::string::npos) << "nothing is run that cannot be reported";
}

// Another run holds the server's lock (here: this process): the host's run is
// refused before it touches anything.
TEST_F(PluginRun, ASecondRunWhileOneIsUnderWayIsRefused)
{
    std::filesystem::create_directories(FDir / "server");
    const int held = ::open((FDir / "server/preprocess.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    std::ofstream(FDir / "UFDATA.BAK") << "any backup";

    const TProcessResult second = Host(Call("running"));
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_EQ(second.Out, "0\n");
    EXPECT_NE(second.Err.find("[错误] 数据源预处理无法进行：另一个数据源预处理正在进行，请等它结束后再试\n"),
              std::string::npos)
        << second.Err;
    EXPECT_EQ(second.Err.find("用友财务备份预处理"), std::string::npos) << "no dialog: " << second.Err;
    EXPECT_TRUE(std::filesystem::is_empty(FDir / "TempLateTemp"));

    ::close(held);
    const TProcessResult next = Host(Call("missing"));
    EXPECT_NE(next.Err.find(NotInstalledBox), std::string::npos) << "the lock is free again: " << next.Err;
}

TEST_F(PluginRun, BadUsageIsExitTwoWithAReason)
{
    const TProcessResult nothing = Host({}, false);
    EXPECT_EQ(nothing.ExitCode, 2);
    EXPECT_NE(nothing.Err.find("缺少 --folder"), std::string::npos) << nothing.Err;
    EXPECT_NE(nothing.Err.find("用法"), std::string::npos);
    EXPECT_EQ(nothing.Out, "");

    std::vector<std::string> unknown = Call("running");
    unknown.push_back("--verbose");
    EXPECT_EQ(Host(unknown).ExitCode, 2);

    std::vector<std::string> noValue = {"--folder", "/tmp/", "--backup", "x", "--year"};
    const TProcessResult missingValue = Host(noValue, false);
    EXPECT_EQ(missingValue.ExitCode, 2);
    EXPECT_NE(missingValue.Err.find("--year"), std::string::npos);

    std::vector<std::string> undecodable = Call("running");
    undecodable[1] = FDir.Path() + "/\xff\xfe/";
    const TProcessResult garbled = Host(undecodable);
    EXPECT_EQ(garbled.ExitCode, 2);
    EXPECT_NE(garbled.Err.find("--folder 的值不是本机字符集中的文本：\"" + FDir.Path() + "/\\xff\\xfe/\""),
              std::string::npos)
        << garbled.Err;

    const TProcessResult badState = Host(Call("sleeping"));
    EXPECT_EQ(badState.ExitCode, 2);
    EXPECT_NE(badState.Err.find("sleeping"), std::string::npos) << badState.Err;

    std::vector<std::string> badPlugin = Call("running");
    badPlugin.push_back("--plugin");
    badPlugin.push_back(FDir / "libNothing.so");
    const TProcessResult unloadable = Host(badPlugin, false);
    EXPECT_EQ(unloadable.ExitCode, 2);
    EXPECT_NE(unloadable.Err.find("libNothing.so"), std::string::npos) << unloadable.Err;

    const TProcessResult help = Host({"--help"}, false);
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_NE(help.Out.find("--service"), std::string::npos);
}

// ---------------------------------------------------------------- the library itself

class PluginLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        FLibrary = ::dlopen(VELMORA_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(FLibrary, nullptr) << ::dlerror();
        DoIt = reinterpret_cast<TVelmoraDoIt>(::dlsym(FLibrary, "DoIt"));
        Alloc = reinterpret_cast<TVelmoraSysAllocStringLen>(::dlsym(FLibrary, "VelmoraSysAllocStringLen"));
        Free = reinterpret_cast<TVelmoraSysFreeString>(::dlsym(FLibrary, "VelmoraSysFreeString"));
        Length = reinterpret_cast<TVelmoraSysStringLen>(::dlsym(FLibrary, "VelmoraSysStringLen"));
        ASSERT_TRUE(DoIt && Alloc && Free && Length);
    }
    void TearDown() override
    {
        if (FLibrary) ::dlclose(FLibrary);
    }

    TVelmoraDoIt DoIt = nullptr;
    TVelmoraSysAllocStringLen Alloc = nullptr;
    TVelmoraSysFreeString Free = nullptr;
    TVelmoraSysStringLen Length = nullptr;

private:
    void* FLibrary = nullptr;
};

TEST_F(PluginLibrary, ExportsDoItAndTheStringFunctionsOnly)
{
    const TProcessResult symbols = RunProcess({"/usr/bin/nm", "-D", "--defined-only", VELMORA_TEST_PLUGIN}, "", {});
    if (symbols.ExitCode != 0) GTEST_SKIP() << "nm is not available";
    std::vector<std::string> exported;
    std::istringstream lines(symbols.Out);
    std::string address, type, name;
    while (lines >> address >> type >> name) {
        if (type == "T" || type == "D" || type == "B" || type == "W" || type == "V" || type == "R") {
            exported.push_back(name);
        }
    }
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, (std::vector<std::string>{"DoIt", "VelmoraSysAllocStringLen", "VelmoraSysFreeString",
                                                  "VelmoraSysStringLen"}));
}

TEST_F(PluginLibrary, DoItReplacesTheHostsStringAndNeverThrows)
{
    TTempDir dir;
    std::filesystem::create_directories(dir / "server");
    PosixTest::WriteWholeFile(dir / "server/service", "missing");
    ::setenv("VELMORA_SERVER_DIR", (dir / "server").c_str(), 1);

    TCapture err;
    const int nothing = ::open("/dev/null", O_RDONLY);
    char16_t* result = Alloc(u"host's own", 10);
    {
        TRedirect input(0, nothing);
        TRedirect errors(2, err.Fd());
        DoIt(&result, reinterpret_cast<void*>(0x4242), (dir.Path() + "/").c_str(), (dir / "UFDATA.BAK").c_str(),
             "2004");
        // Without a variable to answer in, there is nothing to do and nothing to crash on.
        DoIt(nullptr, nullptr, nullptr, nullptr, nullptr);
    }
    ::close(nothing);
    ::unsetenv("VELMORA_SERVER_DIR");
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::u16string(result, Length(result)), u"0");
    Free(result);
    EXPECT_EQ(err.Text().find(NotInstalledBox) != std::string::npos, true) << err.Text();
    EXPECT_EQ(err.Text().find(NotInstalledBox), err.Text().rfind(NotInstalledBox));
}

TEST_F(PluginLibrary, StringsCrossTheBoundary)
{
    char16_t* text = Alloc(u"Provider", 8);
    EXPECT_EQ(Length(text), 8u);
    EXPECT_EQ(text[8], u'\0');
    Free(text);
    Free(nullptr);
    EXPECT_EQ(Length(nullptr), 0u);
}

}  // namespace
}  // namespace Velmora
