// The statement runners and the restore step of the real form against the stand-in
// server, with real files: what a run on a machine without SQL Server goes through.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/posix/PosixFileSystem.h"
#include "preprocess/DealWithUFO.h"
#include "standin/BackupScript.h"
#include "standin/StandinDataAccess.h"
#include "standin/StandinServiceControl.h"
#include "tests/fakes/FakePlatform.h"

namespace Velmora {
namespace {

namespace fs = std::filesystem;

class RunOnStandin : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device random;
        Root = fs::temp_directory_path() / ("velmora-run-test-" + std::to_string(random()) + std::to_string(random()));
        fs::create_directories(Root);
        Data = std::make_unique<Standin::TStandinDataAccess>((Root / "server").string());
        // The fake service control stands for the check; the stand-in itself must run too.
        Standin::WriteServiceState((Root / "server").string(), "running");
        Platform = std::make_unique<TPlatform>(TPlatform{Fake.Toolkit, Fake.Services, *Data, Files, Fake.Text});
        Form = std::make_unique<TForm_DealWithUFO>(*Platform);
        UseWorkDir(Root / "host" / "TempLateTemp");
    }

    void TearDown() override
    {
        Form.reset();
        Data.reset();
        std::error_code ignored;
        fs::remove_all(Root, ignored);
    }

    void UseWorkDir(const fs::path& dir)
    {
        fs::create_directories(dir);
        WorkDir = dir;
        Form->FWorkDir = dir.string() + "/";
        Form->FTempFile = Form->FWorkDir + "ufdatawk.temp";
    }

    // One backup set per label; each database has a table naming its set.
    void MakeBackup(const std::vector<std::string>& labels, const std::vector<std::string>& fileOptions = {})
    {
        Media = (Root / "UFDATA.BAK").string();
        for (std::size_t k = 0; k < labels.size(); ++k) {
            const fs::path script = Root / ("set" + std::to_string(k) + ".sql");
            std::ofstream(script) << "create table Marker (label text);\ninsert into Marker values ('" << labels[k]
                                  << "');\n";
            Standin::TCreateBackupOptions options;
            options.Media = Media;
            options.Database = "UFDATA";
            options.Script = script.string();
            options.Append = k > 0;
            for (const std::string& file : fileOptions) options.Files.push_back(Standin::ParseFileOption(file));
            Standin::CreateBackupSet(options);
        }
    }

    // The driver's staging copy, then the restore step.
    bool StageAndRestore(std::size_t chooserRow = 0)
    {
        Fake.Toolkit.OnChooser = [chooserRow](IChooserDialog& dialog) {
            dialog.UserSetChecked(chooserRow, true);
            dialog.UserPressedOk();
        };
        if (!Form->CopyBackupFile(Media, Form->FTempFile)) return false;
        return Form->RestoreDatabase();
    }

    std::string RestoredLabel()
    {
        auto connection = Data->CreateConnection();
        connection->SetConnectionString(ConnectionStrings::Ufdata);
        auto query = connection->CreateQuery();
        query->AddSql("select label from Marker");
        query->Open();
        return query->FieldByName("label").AsString();
    }

    std::string Messages() const
    {
        std::string text;
        for (const auto& message : Fake.Toolkit.Messages) text += "[" + message.Caption + "] " + message.Text + "\n";
        return text;
    }

    Fakes::TFakePlatform Fake;
    TPosixFileSystem Files;
    fs::path Root;
    fs::path WorkDir;
    std::string Media;
    std::unique_ptr<IDataAccess> Data;
    std::unique_ptr<TPlatform> Platform;
    std::unique_ptr<TForm_DealWithUFO> Form;
};

TEST_F(RunOnStandin, RunnersReportRejectedStatementsAndKeepChineseText)
{
    Form->FTargetConnection->SetConnectionString(ConnectionStrings::Master);
    EXPECT_FALSE(Form->OpenQuery("select * from nosuchtable"));
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    // The server's reason follows on the second line.
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text.rfind("SQL=select * from nosuchtable不能执行\n", 0), 0u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "警告");
    EXPECT_FALSE(Form->ExecCommand("this is not sql"));
    EXPECT_EQ(Fake.Toolkit.Messages.size(), 2u);

    ASSERT_TRUE(Form->OpenQuery("select 1 as n union all select 2 union all select 3"));
    EXPECT_EQ(Form->FADOQuery->RecordCount(), 3);
    Form->FADOQuery->Next();
    ASSERT_TRUE(Form->OpenQuery("select '期初余额' as fchrRemark"));
    EXPECT_EQ(Form->FADOQuery->RecordCount(), 1);
    EXPECT_EQ(Form->FADOQuery->FieldByName("FCHRREMARK").AsString(), "期初余额");
    EXPECT_THROW(Form->FADOQuery->FieldByName("n"), EVelmoraError);
}

TEST_F(RunOnStandin, SingleSetRestoresWithoutChooserIntoTheWorkFolder)
{
    MakeBackup({"only"});
    ASSERT_TRUE(StageAndRestore()) << Messages();
    EXPECT_EQ(Fake.Toolkit.ChooserShown, 0);
    EXPECT_TRUE(Fake.Toolkit.Messages.empty()) << Messages();
    EXPECT_TRUE(fs::exists(WorkDir / "ufdata.mdf"));
    EXPECT_TRUE(fs::exists(WorkDir / "ufdata.ldf"));
    EXPECT_FALSE(fs::exists(WorkDir / "ufdatawk.temp"));
    EXPECT_FALSE(Form->FTargetConnection->Connected());
    EXPECT_EQ(Form->Percent(), 100);
    EXPECT_EQ(RestoredLabel(), "only");
}

TEST_F(RunOnStandin, ThirdOfThreeSetsIsTheOneRestored)
{
    MakeBackup({"first", "second", "third"});
    ASSERT_TRUE(StageAndRestore(2)) << Messages();
    EXPECT_EQ(Fake.Toolkit.ChooserRows.size(), 3u);
    EXPECT_EQ(RestoredLabel(), "third");
}

TEST_F(RunOnStandin, UfdataInUseIsTakenOfflineDroppedAndReplaced)
{
    MakeBackup({"old"});
    ASSERT_TRUE(StageAndRestore()) << Messages();
    auto holder = Data->CreateConnection();
    holder->SetConnectionString(ConnectionStrings::Ufdata);
    holder->Open();

    MakeBackup({"new"});
    ASSERT_TRUE(StageAndRestore()) << Messages();
    EXPECT_TRUE(Fake.Toolkit.Messages.empty()) << Messages();
    EXPECT_FALSE(holder->Connected());
    EXPECT_EQ(RestoredLabel(), "new");
}

TEST_F(RunOnStandin, DamagedBackupIsRefusedAndCleanedUp)
{
    Media = (Root / "damaged.bak").string();
    std::ofstream(Media, std::ios::binary) << std::string(5000, 'x');
    EXPECT_FALSE(StageAndRestore());
    // The header cannot be read: the run ends there, with one box.
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u) << Messages();
    const std::string box = Fake.Toolkit.Messages[0].Text;
    EXPECT_TRUE(box.find("incorrectly formed") != std::string::npos || box.find("（SQL Server 错误 3241）") != std::string::npos)
        << box;
    EXPECT_FALSE(fs::exists(WorkDir / "ufdatawk.temp"));
    EXPECT_FALSE(fs::exists(WorkDir / "ufdata.mdf"));
    EXPECT_EQ(Form->Percent(), 100);
    EXPECT_TRUE(fs::exists(Media)) << "the host's file is never touched";
}

TEST_F(RunOnStandin, ApostropheInTheWorkFolder)
{
    UseWorkDir(Root / "O'Brien" / "TempLateTemp");
    MakeBackup({"quoted"});
    ASSERT_TRUE(StageAndRestore()) << Messages();
    EXPECT_TRUE(fs::exists(WorkDir / "ufdata.mdf"));
    EXPECT_EQ(RestoredLabel(), "quoted");
}

TEST_F(RunOnStandin, BackupWithThreeFilesPutsEveryFileInTheWorkFolder)
{
    MakeBackup({"three"}, {"UF_Data:D:C:\\Data\\UF.MDF", "UF_Log:L:C:\\Data\\UF.LDF", "UF_More:D:C:\\Data\\UF2.NDF"});
    ASSERT_TRUE(StageAndRestore()) << Messages();
    EXPECT_TRUE(fs::exists(WorkDir / "ufdata.mdf"));
    EXPECT_TRUE(fs::exists(WorkDir / "ufdata.ldf"));
    EXPECT_TRUE(fs::exists(WorkDir / "ufdata_3.ndf"));
    EXPECT_EQ(RestoredLabel(), "three");
}

}  // namespace
}  // namespace Velmora
