#include <gtest/gtest.h>

#include <functional>

#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;
using TResult = Fakes::TFakeDatabase::TResult;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A server answering the restore step's queries from a few settings.
struct TScriptedServer : TRunFixture {
    int Sets = 1;
    bool UfdataExists = false;
    std::vector<std::pair<std::string, std::string>> Files{{"UFDATA_Data", "D"}, {"UFDATA_Log", "L"}};
    std::string RestoreError;
    int RestoreErrorNumber = 0;
    // What the server and the chosen set tell before anything is dropped.
    std::string ServerVersion = "8.00.2039";
    int Edition = 3;
    std::vector<int> SetVersion;  // major, minor, build; absent columns when empty
    int Compressed = 0;
    std::string Thumbprint;
    std::vector<std::int64_t> Sizes;  // per file; no Size column when empty
    EProviderError HeaderError{""};
    bool HeaderFails = false;

    void Install()
    {
        Fake.Files.Contents[Form->FTempFile] = "staged";
        Fake.Data.OnQuery = [this](const std::string& sql) {
            TResult result;
            if (StartsWith(sql, "RESTORE HEADERONLY")) {
                if (HeaderFails) throw HeaderError;
                result.Columns = {"Position", "DatabaseName", "Compressed", "TDEThumbprint"};
                if (!SetVersion.empty()) {
                    for (const char* c : {"SoftwareVersionMajor", "SoftwareVersionMinor", "SoftwareVersionBuild"}) {
                        result.Columns.push_back(c);
                    }
                }
                for (int i = 1; i <= Sets; ++i) {
                    result.Rows.push_back({TFieldValue::FromInteger(i), TFieldValue::FromText("UFDATA"),
                                           TFieldValue::FromInteger(Compressed), TFieldValue::FromText(Thumbprint)});
                    for (int part : SetVersion) result.Rows.back().push_back(TFieldValue::FromInteger(part));
                }
            } else if (StartsWith(sql, "SELECT SERVERPROPERTY")) {
                result.Columns = {"ProductVersion", "EngineEdition"};
                result.Rows.push_back({TFieldValue::FromText(ServerVersion), TFieldValue::FromInteger(Edition)});
            } else if (StartsWith(sql, "select * from sysdatabases")) {
                result.Columns = {"name", "filename"};
                if (UfdataExists) result.Rows.push_back({TFieldValue::FromText("UFDATA"), TFieldValue::FromText("x")});
            } else if (StartsWith(sql, "Restore FileListOnly")) {
                result.Columns = {"LogicalName", "PhysicalName", "Type"};
                if (!Sizes.empty()) result.Columns.push_back("Size");
                for (std::size_t i = 0; i < Files.size(); ++i) {
                    result.Rows.push_back({TFieldValue::FromText(Files[i].first), TFieldValue::FromText("C:\\x"),
                                           TFieldValue::FromText(Files[i].second)});
                    if (!Sizes.empty()) result.Rows.back().push_back(TFieldValue::FromInteger(Sizes.at(i)));
                }
            }
            return result;
        };
        Fake.Data.OnExecute = [this](const std::string& sql) {
            if (StartsWith(sql, "restore database") && !RestoreError.empty()) throw EProviderError(RestoreError, RestoreErrorNumber);
        };
    }

    std::vector<std::string> Statements() const
    {
        std::vector<std::string> out;
        for (const auto& entry : Fake.Data.Log) {
            if (StartsWith(entry, "query:") || StartsWith(entry, "exec:")) out.push_back(entry);
        }
        return out;
    }

    void ExpectCleanedUp()
    {
        EXPECT_FALSE(Form->FTargetConnection->Connected());
        EXPECT_EQ(Fake.Files.Contents.count(Form->FTempFile), 0u) << "staging copy deleted";
        EXPECT_EQ(Form->Percent(), 100);
    }
};

class Restore : public ::testing::Test, protected TScriptedServer {
protected:
    void SetUp() override { Install(); }
};

TEST_F(Restore, NoUfdataYetSingleSet)
{
    EXPECT_TRUE(Form->RestoreDatabase());
    EXPECT_EQ(Form->StatusText(), "还原数据库文件......");
    EXPECT_EQ(Fake.Data.Log.front(), "connect:" + std::string(ConnectionStrings::Master));
    EXPECT_EQ(Statements(),
              (std::vector<std::string>{
                  "query:SELECT SERVERPROPERTY('ProductVersion') AS ProductVersion, SERVERPROPERTY('EngineEdition') AS "
                  "EngineEdition",
                  "query:RESTORE HEADERONLY From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp'",
                  "query:RESTORE LABELONLY From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp'",
                  "query:Restore FileListOnly From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp'",
                  "query:select * from sysdatabases WHERE name='UFDATA'",
                  "exec:restore database ufdata from Disk='D:\\host\\TempLateTemp\\ufdatawk.temp' WITH  RECOVERY, "
                  "MOVE 'UFDATA_Data' TO 'D:\\host\\TempLateTemp\\ufdata.mdf',MOVE 'UFDATA_Log' TO "
                  "'D:\\host\\TempLateTemp\\ufdata.ldf', REPLACE ",
              }));
    EXPECT_TRUE(Fake.Toolkit.Messages.empty());
    ExpectCleanedUp();
}

TEST_F(Restore, ExistingUfdataIsTakenOfflineAndDropped)
{
    UfdataExists = true;
    EXPECT_TRUE(Form->RestoreDatabase());
    const auto statements = Statements();
    ASSERT_GE(statements.size(), 8u);
    EXPECT_EQ(statements[5], "exec: ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE");
    EXPECT_EQ(statements[6], "exec:drop DATABASE UFDATA");
    EXPECT_TRUE(StartsWith(statements[7], "exec:restore database"));
}

TEST_F(Restore, ChosenSetThreeIsNamedInFileListAndRestore)
{
    Sets = 3;
    Fake.Toolkit.OnChooser = [](IChooserDialog& dialog) {
        dialog.UserSetChecked(2, true);
        dialog.UserPressedOk();
    };
    EXPECT_TRUE(Form->RestoreDatabase());
    const auto statements = Statements();
    EXPECT_EQ(statements[3], "query:Restore FileListOnly From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp' WITH FILE=3");
    EXPECT_EQ(statements[5],
              "exec:restore database ufdata from Disk='D:\\host\\TempLateTemp\\ufdatawk.temp' WITH file=3, RECOVERY, "
              "MOVE 'UFDATA_Data' TO 'D:\\host\\TempLateTemp\\ufdata.mdf',MOVE 'UFDATA_Log' TO "
              "'D:\\host\\TempLateTemp\\ufdata.ldf', REPLACE ");
}

TEST_F(Restore, RefusedRestoreShowsTheServersReasonAndCleansUp)
{
    RestoreError = "Exclusive access could not be obtained because the database is in use. . ";
    RestoreErrorNumber = 3101;
    EXPECT_FALSE(Form->RestoreDatabase());
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text,
              "不能还原数据库，创建失败Exclusive access could not be obtained because the database is in use\n"
              "（SQL Server 错误 3101）");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "警告");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Flags, 0x30u);
    ExpectCleanedUp();
}

TEST_F(Restore, ConnectionFailureEndsTheStepAtTheHeaderWithOneBox)
{
    Fake.Data.OnConnect = [](const std::string&) {
        throw EProviderError("SQL Server does not exist or access denied.", 17);
    };
    EXPECT_FALSE(Form->RestoreDatabase());
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text, "SQL=RESTORE HEADERONLY From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp'"
                                             "不能执行\n（17）SQL Server does not exist or access denied.");
    ExpectCleanedUp();
}

TEST_F(Restore, ApostrophesInPathsAndNamesAreDoubled)
{
    Form->FWorkDir = "D:\\O'Brien\\TempLateTemp\\";
    Form->FTempFile = Form->FWorkDir + "ufdatawk.temp";
    Fake.Files.Contents[Form->FTempFile] = "staged";
    Files = {{"UF'Data", "D"}, {"UF'Log", "L"}};
    EXPECT_TRUE(Form->RestoreDatabase());
    const auto statements = Statements();
    EXPECT_EQ(statements[1], "query:RESTORE HEADERONLY From Disk='D:\\O''Brien\\TempLateTemp\\ufdatawk.temp'");
    EXPECT_EQ(statements.back(),
              "exec:restore database ufdata from Disk='D:\\O''Brien\\TempLateTemp\\ufdatawk.temp' WITH  RECOVERY, "
              "MOVE 'UF''Data' TO 'D:\\O''Brien\\TempLateTemp\\ufdata.mdf',MOVE 'UF''Log' TO "
              "'D:\\O''Brien\\TempLateTemp\\ufdata.ldf', REPLACE ");
    ExpectCleanedUp();
}

TEST_F(Restore, EveryFileOfTheSetIsMovedIntoTheWorkFolder)
{
    Files = {{"Main", "D"}, {"Log", "L"}, {"Extra", "D"}, {"Log2", "L"}};
    EXPECT_TRUE(Form->RestoreDatabase());
    EXPECT_EQ(Statements().back(),
              "exec:restore database ufdata from Disk='D:\\host\\TempLateTemp\\ufdatawk.temp' WITH  RECOVERY, "
              "MOVE 'Main' TO 'D:\\host\\TempLateTemp\\ufdata.mdf',MOVE 'Log' TO 'D:\\host\\TempLateTemp\\ufdata.ldf',"
              "MOVE 'Extra' TO 'D:\\host\\TempLateTemp\\ufdata_3.ndf',MOVE 'Log2' TO "
              "'D:\\host\\TempLateTemp\\ufdata_4.ldf', REPLACE ");
}

TEST_F(Restore, OtherFailuresStillCleanUpAndPassThrough)
{
    Fake.Data.OnExecute = [](const std::string&) { throw std::runtime_error("out of handles"); };
    EXPECT_THROW(Form->RestoreDatabase(), std::runtime_error);
    ExpectCleanedUp();
}

// A link planted under a target's name would have the server write, rename or
// delete the file it points to; the restore is refused before the server is asked.
TEST_F(Restore, ALinkOrSpecialFileUnderATargetNameIsRefusedNamingIt)
{
    Files = {{"Main", "D"}, {"Log", "L"}, {"Extra", "D"}};
    for (const char* name : {"ufdata.mdf", "ufdata.ldf", "ufdata_3.ndf"}) {
        TRunFixture run;
        run.Fake.Data.OnQuery = Fake.Data.OnQuery;
        run.Fake.Files.Contents[run.Form->FTempFile] = "staged";
        const std::string target = std::string("D:\\host\\TempLateTemp\\") + name;
        run.Fake.Files.Special.insert(target);
        EXPECT_FALSE(run.Form->RestoreDatabase()) << name;
        ASSERT_EQ(run.Fake.Toolkit.Messages.size(), 1u) << name;
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Text, "不能还原数据库：工作文件夹中的“" + target +
                                                         "”是符号链接或特殊文件，还原会改动工作文件夹以外的文件，请删除它后再试");
        EXPECT_EQ(run.Fake.Toolkit.Messages[0].Caption, "错误");
        for (const std::string& entry : run.Fake.Data.Log) {
            EXPECT_FALSE(StartsWith(entry, "exec:restore")) << name << ": " << entry;
        }
        EXPECT_EQ(run.Fake.Files.Contents.count(run.Form->FTempFile), 0u) << "staging copy deleted";
    }
}

// What the server can tell in advance is refused in one box, before UFDATA is even
// looked at; a failure the restore itself meets is explained by its number alike.
TEST_F(Restore, ForeseenRefusalsShowOneBoxAndLeaveUfdataAlone)
{
    const std::string fix = "\n（SQL Server 错误 ";
    const std::int64_t GiB = 1024LL * 1024 * 1024;
    struct TCase {
        const char* Name;
        std::function<void(TScriptedServer&)> Arrange;
        std::string Box;
    };
    const std::vector<TCase> cases = {
        {"2000 set on 2012", [&](TScriptedServer& t) { t.SetVersion = {8, 0, 2039}, t.ServerVersion = "11.0.2100.60"; },
         "备份由 SQL Server 8.00.2039 写成，本机的 SQL Server 是 11.00.2100，不能还原这个备份。\n请在能还原它的 SQL "
         "Server 上还原，或改用本机 SQL Server 能还原的备份。" + fix + "3169）"},
        {"compressed before 2008", [&](TScriptedServer& t) { t.Compressed = 1, t.ServerVersion = "9.00.5000.00"; },
         "备份是压缩备份，本机的 SQL Server 9.00.5000 不能读取压缩备份。\n请在 SQL Server 2008 "
         "或更新的版本上还原，或改用不压缩的备份。" + fix + "3241）"},
        {"encrypted", [&](TScriptedServer& t) { t.Thumbprint = "0x8A2C"; },
         "备份已加密，本机的 SQL Server 没有解密它的证书，不能还原。\n请改用未加密的备份，或先在本机装入该证书。" + fix +
             "33111）"},
        {"header cut short",
         [&](TScriptedServer& t) {
             t.ServerVersion = "10.0.1600.22", t.HeaderFails = true, t.HeaderError = EProviderError("formed", 3241);
         },
         "备份文件已损坏或不完整，SQL Server 不能读取。\n请重新复制备份文件，或重新备份后再试。" + fix + "3241）"},
        {"password", [&](TScriptedServer& t) { t.HeaderFails = true, t.HeaderError = EProviderError("password", 3279); },
         "备份设有密码，不能还原。\n请改用没有密码的备份。" + fix + "3279）"},
        {"newer set", [&](TScriptedServer& t) { t.SetVersion = {9, 0, 1399}; },
         "备份由 SQL Server 9.00.1399 写成，本机的 SQL Server 是 8.00.2039，不能还原这个备份。\n请在能还原它的 SQL "
         "Server 上还原，或改用本机 SQL Server 能还原的备份。" + fix + "3169）"},
        {"damaged or compressed before 2008",
         [&](TScriptedServer& t) { t.HeaderFails = true, t.HeaderError = EProviderError("formed", 3241); },
         "SQL Server 8.00.2039 不能读取这个备份：备份文件已损坏或不完整，或者是压缩备份（SQL Server 2008 "
         "起才能读取）。\n请重新复制备份文件或重新备份后再试；压缩备份请在 SQL Server 2008 或更新的版本上还原。" +
             fix + "3241）"},
        {"account may not read",
         [&](TScriptedServer& t) { t.HeaderFails = true, t.HeaderError = EProviderError("device", 3201); },
         "SQL Server 服务的登录账户“NT AUTHORITY\\NetworkService”不能读写文件夹“D:\\host\\TempLateTemp\\”，不能还原"
         "数据库。\n请给账户“NT AUTHORITY\\NetworkService”授予这个文件夹的读取和写入权限，或改用用户个人文件夹以外的"
         "主机文件夹。" + fix + "3201）"},
        {"unknown account may not read",
         [&](TScriptedServer& t) {
             t.Fake.Services.Account.clear(), t.HeaderFails = true, t.HeaderError = EProviderError("device", 3201);
         },
         "SQL Server 服务的登录账户不能读写文件夹“D:\\host\\TempLateTemp\\”，不能还原数据库。\n请给该账户授予这个"
         "文件夹的读取和写入权限，或改用用户个人文件夹以外的主机文件夹。" + fix + "3201）"},
        // What the server restores is let through: no box.
        {"just fits", [&](TScriptedServer& t) { t.Sizes = {600, 401}, t.Fake.Files.Free = 1001; }, ""},
        {"fits in the room of the files it replaces",
         [&](TScriptedServer& t) {
             t.Sizes = {600, 401}, t.Fake.Files.Free = 1;
             t.Fake.Files.Contents["D:\\host\\TempLateTemp\\ufdata.mdf"] = std::string(500, 'm');
             t.Fake.Files.Contents["D:\\host\\TempLateTemp\\ufdata.ldf"] = std::string(500, 'l');
         },
         ""},
        {"2000 set on 2008 R2 Express at its cap",
         [&](TScriptedServer& t) {
             t.SetVersion = {8, 0, 2039}, t.ServerVersion = "10.50.1600.1", t.Edition = 4, t.Sizes = {10 * GiB, 1000};
         },
         ""},
    };
    for (const TCase& row : cases) {
        TScriptedServer t;
        t.Install();
        t.UfdataExists = true;
        row.Arrange(t);
        EXPECT_EQ(t.Form->RestoreDatabase(), row.Box.empty()) << row.Name;
        ASSERT_EQ(t.Fake.Toolkit.Messages.size(), row.Box.empty() ? 0u : 1u) << row.Name;
        if (row.Box.empty()) continue;
        EXPECT_EQ(t.Fake.Toolkit.Messages[0].Text, row.Box) << row.Name;
        for (const std::string& entry : t.Statements()) {
            EXPECT_FALSE(StartsWith(entry, "exec:") || entry.find("sysdatabases") != std::string::npos)
                << row.Name << ": " << entry;
        }
        t.ExpectCleanedUp();
    }
}

// The rules as SQL Server's documentation gives them: a server restores sets of its
// own release and older ones down to a floor, and never a newer release's.
TEST(RestoreFacts, ReleasesVolumesAndWhichServerRestoresWhichSet)
{
    const auto version = [](const std::string& text) {
        const TServerVersion v = TServerVersion::Parse(text);
        return std::to_string(v.Major) + "/" + std::to_string(v.Minor) + "/" + std::to_string(v.Build);
    };
    EXPECT_EQ(version("11.0.2100.60"), "11/0/2100");
    EXPECT_EQ(version("10.50.1600"), "10/50/1600");
    EXPECT_EQ(version("9"), "9/0/0");
    EXPECT_EQ(version(""), "0/0/0");
    EXPECT_EQ(version("1234567.1"), "123456/0/0") << "no part runs on past six digits";

    const struct {
        const char* Server;
        const char* Set;
        bool Restores;
    } rules[] = {
        {"8.00.2039", "7.00.623", true},    {"8.00.2039", "9.00.1399", false}, {"9.00.1399", "7.00.623", true},
        {"9.00.1399", "10.00.1600", false}, {"10.00.1600", "7.00.623", false}, {"10.00.1600", "8.00.2039", true},
        {"10.00.1600", "10.50.1600", false}, {"10.50.1600", "10.00.5500", true}, {"11.0.2100", "8.00.2039", false},
        {"11.0.2100", "9.00.5000", true},   {"12.0.2000", "9.00.5000", false}, {"13.0.1601", "10.00.1600", true},
        {"", "9.00.1399", true},             {"8.00.2039", "", true},
    };
    for (const auto& rule : rules) {
        EXPECT_EQ(RestoresSetFrom(TServerVersion::Parse(rule.Server), TServerVersion::Parse(rule.Set)), rule.Restores)
            << rule.Server << " restoring " << rule.Set;
    }

    EXPECT_EQ(VolumeOf("D:\\host\\TempLateTemp\\"), "D:\\");
    EXPECT_EQ(VolumeOf("\\\\srv\\share\\host\\"), "\\\\srv\\share\\");
    EXPECT_EQ(VolumeOf("\\\\srv\\share"), "\\\\srv\\share");
    EXPECT_EQ(VolumeOf("/srv/host/"), "/srv/host/");
}

}  // namespace
}  // namespace Velmora
