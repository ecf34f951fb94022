#include <gtest/gtest.h>

#include "tests/core/RunTestSupport.h"

namespace Velmora {
namespace {

using Testing::TRunFixture;
using TResult = Fakes::TFakeDatabase::TResult;

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A server answering the restore step's queries from a few settings.
class Restore : public ::testing::Test, protected TRunFixture {
protected:
    int Sets = 1;
    bool UfdataExists = false;
    std::vector<std::pair<std::string, std::string>> Files{{"UFDATA_Data", "D"}, {"UFDATA_Log", "L"}};
    std::string RestoreError;

    void SetUp() override
    {
        Fake.Files.Contents[Form->FTempFile] = "staged";
        Fake.Data.OnQuery = [this](const std::string& sql) {
            TResult result;
            if (StartsWith(sql, "RESTORE HEADERONLY")) {
                result.Columns = {"Position", "DatabaseName"};
                for (int i = 1; i <= Sets; ++i) {
                    result.Rows.push_back({TFieldValue::FromInteger(i), TFieldValue::FromText("UFDATA")});
                }
            } else if (StartsWith(sql, "select * from sysdatabases")) {
                result.Columns = {"name", "filename"};
                if (UfdataExists) result.Rows.push_back({TFieldValue::FromText("UFDATA"), TFieldValue::FromText("x")});
            } else if (StartsWith(sql, "Restore FileListOnly")) {
                result.Columns = {"LogicalName", "PhysicalName", "Type"};
                for (const auto& [name, type] : Files) {
                    result.Rows.push_back(
                        {TFieldValue::FromText(name), TFieldValue::FromText("C:\\x"), TFieldValue::FromText(type)});
                }
            }
            return result;
        };
        Fake.Data.OnExecute = [this](const std::string& sql) {
            if (StartsWith(sql, "restore database") && !RestoreError.empty()) throw EProviderError(RestoreError);
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

TEST_F(Restore, NoUfdataYetSingleSet)
{
    EXPECT_TRUE(Form->RestoreDatabase());
    EXPECT_EQ(Form->StatusText(), "还原数据库文件......");
    EXPECT_EQ(Fake.Data.Log.front(), "connect:" + std::string(ConnectionStrings::Master));
    EXPECT_EQ(Statements(),
              (std::vector<std::string>{
                  "query:RESTORE HEADERONLY From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp'",
                  "query:select * from sysdatabases WHERE name='UFDATA'",
                  "query:Restore FileListOnly From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp'",
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
    ASSERT_GE(statements.size(), 5u);
    EXPECT_EQ(statements[2], "exec: ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE");
    EXPECT_EQ(statements[3], "exec:drop DATABASE UFDATA");
    EXPECT_TRUE(StartsWith(statements[4], "query:Restore FileListOnly"));
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
    EXPECT_EQ(statements[2], "query:Restore FileListOnly From Disk='D:\\host\\TempLateTemp\\ufdatawk.temp' WITH FILE=3");
    EXPECT_EQ(statements[3],
              "exec:restore database ufdata from Disk='D:\\host\\TempLateTemp\\ufdatawk.temp' WITH file=3, RECOVERY, "
              "MOVE 'UFDATA_Data' TO 'D:\\host\\TempLateTemp\\ufdata.mdf',MOVE 'UFDATA_Log' TO "
              "'D:\\host\\TempLateTemp\\ufdata.ldf', REPLACE ");
}

TEST_F(Restore, RefusedRestoreShowsTheServersReasonAndCleansUp)
{
    RestoreError = "The media family on device 'x' is incorrectly formed. SQL Server cannot process this media family. . ";
    EXPECT_FALSE(Form->RestoreDatabase());
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text,
              "不能还原数据库，创建失败The media family on device 'x' is incorrectly formed. SQL Server cannot process "
              "this media family");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "警告");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Flags, 0x30u);
    ExpectCleanedUp();
}

TEST_F(Restore, ConnectionFailureShowsTheRestoreBox)
{
    Fake.Data.OnConnect = [](const std::string&) { throw EProviderError("SQL Server does not exist or access denied."); };
    EXPECT_FALSE(Form->RestoreDatabase());
    // The header query met the failure first, through its runner; the restore then says why it cannot go on.
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 2u);
    EXPECT_EQ(Fake.Toolkit.Messages[1].Text, "不能还原数据库，创建失败SQL Server does not exist or access denied");
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
    EXPECT_EQ(statements[0], "query:RESTORE HEADERONLY From Disk='D:\\O''Brien\\TempLateTemp\\ufdatawk.temp'");
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

}  // namespace
}  // namespace Velmora
