// velmora-backup as a user runs it: create, append, list, and its refusals,
// which must never damage media that is already there.

#include <cstdio>
#include <cstdlib>
#include <sys/wait.h>

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/BackupMedia.h"

namespace Velmora::StandinTests {
namespace {

using ::testing::HasSubstr;

struct TToolRun {
    int ExitCode;
    std::string Output;  // standard output and error together
};

class BackupToolTest : public TStandinTest {
protected:
    TToolRun Run(const std::string& arguments)
    {
        const std::string command = std::string("'") + VELMORA_BACKUP_TOOL + "' " + arguments + " 2>&1";
        TToolRun run{-1, ""};
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) return run;
        char buffer[4096];
        std::size_t read = 0;
        while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.Output.append(buffer, read);
        const int status = pclose(pipe);
        run.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return run;
    }

    std::string Path(const std::string& name) { return "'" + (Work / name).string() + "'"; }

    std::string ScriptFile(const std::string& name, const std::string& text)
    {
        WriteText(Work / name, text);
        return Path(name);
    }
};

TEST_F(BackupToolTest, CreateAppendAndListTheSets)
{
    const std::string script = ScriptFile("a.sql", "create table t (a text);\ninsert into t values ('中文');\n");
    ASSERT_EQ(Run("create " + Path("m.bak") + " --database UFDATA --script " + script).ExitCode, 0);
    ASSERT_EQ(Run("create " + Path("m.bak") + " --database UFDATA --script " + script +
                  " --append --name '第二次备份'")
                  .ExitCode,
              0);
    const TToolRun list = Run("list " + Path("m.bak"));
    EXPECT_EQ(list.ExitCode, 0);
    EXPECT_THAT(list.Output, HasSubstr("Position"));
    EXPECT_THAT(list.Output, HasSubstr("UFDATA backup"));
    EXPECT_THAT(list.Output, HasSubstr("第二次备份"));

    const auto sets = Standin::ReadBackupMedia((Work / "m.bak").string());
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[1].Position, 2);
    EXPECT_EQ(sets[0].Files.size(), 2u);
    EXPECT_EQ(sets[0].Files[0].PhysicalName, "C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\UFDATA_Data.MDF");
    EXPECT_EQ(sets[0].Files[1].LogicalName, "UFDATA_Log");

    // Without --append the media is made anew.
    ASSERT_EQ(Run("create " + Path("m.bak") + " --database Other --script " + script).ExitCode, 0);
    EXPECT_EQ(Standin::ReadBackupMedia((Work / "m.bak").string()).size(), 1u);
}

TEST_F(BackupToolTest, FileOptionsReplaceTheDefaultsInOrder)
{
    const std::string script = ScriptFile("a.sql", "create table t (a);");
    ASSERT_EQ(Run("create " + Path("m.bak") + " --database U --script " + script +
                  " --file 'Y_Data:D:C:\\Data\\y.mdf' --file 'Y_Log:l:C:\\Data\\y.ldf' --file 'Y_2:D:D:\\y2.ndf'")
                  .ExitCode,
              0);
    const auto files = Standin::ReadBackupMedia((Work / "m.bak").string()).at(0).Files;
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0].PhysicalName, "C:\\Data\\y.mdf");
    EXPECT_EQ(files[1].Type, "L");
    EXPECT_EQ(files[2].LogicalName, "Y_2");
    EXPECT_EQ(files[2].PhysicalName, "D:\\y2.ndf");
}

TEST_F(BackupToolTest, HelpAndUsageErrors)
{
    const TToolRun help = Run("--help");
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_THAT(help.Output, HasSubstr("velmora-backup create MEDIA"));
    EXPECT_NE(Run("").ExitCode, 0);
    EXPECT_NE(Run("frobnicate").ExitCode, 0);
    const TToolRun noScript = Run("create " + Path("m.bak") + " --database U");
    EXPECT_EQ(noScript.ExitCode, 1);
    EXPECT_THAT(noScript.Output, HasSubstr("--script"));
    EXPECT_THAT(Run("create " + Path("m.bak") + " --database U --script x.sql --file bad").Output,
                HasSubstr("LOGICAL:TYPE:PHYSICAL"));
    EXPECT_THAT(Run("create " + Path("m.bak") + " --database U --script x.sql --file 'a:Q:b'").Output,
                HasSubstr("D (data) or L (log)"));
    EXPECT_FALSE(std::filesystem::exists(Work / "m.bak"));
}

TEST_F(BackupToolTest, FailuresNeverDamageExistingMedia)
{
    const std::string good = ScriptFile("good.sql", "create table t (a);");
    ASSERT_EQ(Run("create " + Path("m.bak") + " --database U --script " + good).ExitCode, 0);
    const std::string before = ReadBytes(Work / "m.bak");

    const TToolRun missing = Run("create " + Path("m.bak") + " --database U --append --script " + Path("none.sql"));
    EXPECT_EQ(missing.ExitCode, 1);
    EXPECT_THAT(missing.Output, HasSubstr("cannot read the script"));

    const std::string bad = ScriptFile("bad.sql", "create table t (a);\n\ninsert into t values (1;\n");
    const TToolRun sqlError = Run("create " + Path("m.bak") + " --database U --script " + bad);
    EXPECT_EQ(sqlError.ExitCode, 1);
    EXPECT_THAT(sqlError.Output, HasSubstr("bad.sql:3:"));
    EXPECT_THAT(sqlError.Output, HasSubstr("syntax error"));

    const std::string failing = ScriptFile("fail.sql", "create table t (a unique);\ninsert into t values (1);\n"
                                                       "insert into t values (1);\n");
    const TToolRun runtimeError = Run("create " + Path("m.bak") + " --database U --append --script " + failing);
    EXPECT_EQ(runtimeError.ExitCode, 1);
    EXPECT_THAT(runtimeError.Output, HasSubstr("fail.sql:3:"));

    EXPECT_EQ(ReadBytes(Work / "m.bak"), before);
    EXPECT_FALSE(std::filesystem::exists((Work / "m.bak").string() + ".velmora-tmp"));
}

TEST_F(BackupToolTest, SomethingThatIsNotMediaIsNeitherListedNorOverwritten)
{
    const std::string good = ScriptFile("good.sql", "create table t (a);");
    WriteText(Work / "notes.txt", "precious notes");
    const TToolRun list = Run("list " + Path("notes.txt"));
    EXPECT_EQ(list.ExitCode, 1);
    EXPECT_THAT(list.Output, HasSubstr("incorrectly formed"));
    EXPECT_EQ(Run("create " + Path("notes.txt") + " --database U --append --script " + good).ExitCode, 1);
    EXPECT_THAT(Run("create " + Path("notes.txt") + " --database U --script " + good).Output,
                HasSubstr("is not backup media"));
    EXPECT_EQ(ReadBytes(Work / "notes.txt"), "precious notes");
    EXPECT_THAT(Run("list " + Path("absent.bak")).Output, HasSubstr("Cannot open backup device"));
}

TEST_F(BackupToolTest, MediaItMakesRestoresThroughTheServer)
{
    const std::string script = ScriptFile("a.sql", "create table Marker (name text);\ninsert into Marker values ('ok');\n");
    ASSERT_EQ(Run("create " + Path("ufdatawk.temp") + " --database UFDATA --script " + script).ExitCode, 0);
    auto master = Connect(MasterConnection);
    Exec(*master, "restore database ufdata from Disk='" + (Work / "ufdatawk.temp").string() +
                      "' WITH  RECOVERY, MOVE 'UFDATA_Data' TO '" + (Work / "ufdata.mdf").string() +
                      "',MOVE 'UFDATA_Log' TO '" + (Work / "ufdata.ldf").string() + "', REPLACE ");
    EXPECT_EQ(Rows(*Connect(UfdataConnection), "select name from Marker", {"name"}).at(0).at(0), "ok");

    // Later sets of other kinds, as the server lists them.
    for (const char* kind : {"differential", "log"}) {
        ASSERT_EQ(Run("create " + Path("ufdatawk.temp") + " --database UFDATA --script " + script + " --append --type " +
                      kind)
                      .ExitCode,
                  0)
            << kind;
    }
    const std::string before = ReadBytes(Work / "ufdatawk.temp");
    const TToolRun weekly = Run("create " + Path("ufdatawk.temp") + " --database UFDATA --script " + script +
                                " --append --type weekly");
    EXPECT_EQ(weekly.ExitCode, 1);
    EXPECT_THAT(weekly.Output, HasSubstr("--type is full, differential or log, not 'weekly'"));
    EXPECT_TRUE(ReadBytes(Work / "ufdatawk.temp") == before);
    EXPECT_EQ(Rows(*master, "RESTORE HEADERONLY FROM DISK='" + (Work / "ufdatawk.temp").string() + "'", {"BackupType"}),
              (std::vector<std::vector<std::string>>{{"1"}, {"5"}, {"2"}}));
}

}  // namespace
}  // namespace Velmora::StandinTests
