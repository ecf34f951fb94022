// velmora-backup as a user runs it: create, append, list, and its refusals,
// which must never damage media that is already there.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/BackupMedia.h"
#include "standin/Sqlite.h"

namespace Velmora::StandinTests {
namespace {

using ::testing::HasSubstr;

struct TToolRun {
    int ExitCode;
    std::string Output;  // standard output and error together
};

class BackupToolTest : public TStandinTest {
protected:
    // fileLimit: the largest file the tool may write, as on a disk that is nearly full.
    TToolRun Run(const std::string& arguments, rlim_t fileLimit = RLIM_INFINITY)
    {
        const std::string command = std::string("'") + VELMORA_BACKUP_TOOL + "' " + arguments + " 2>&1";
        TToolRun run{-1, ""};
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limited{fileLimit, saved.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limited);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
        FILE* pipe = popen(command.c_str(), "r");
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
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

    // Restores the first set of the media as UFDATA through the server and runs the query there.
    std::vector<std::vector<std::string>> RestoredRows(const std::string& media, const std::string& query,
                                                       const std::vector<std::string>& columns)
    {
        auto master = Connect(MasterConnection);
        Exec(*master, RestoreStatement((Work / media).string(), 0,
                                       {{"UFDATA_Data", (Work / "ufdata.mdf").string()},
                                        {"UFDATA_Log", (Work / "ufdata.ldf").string()}}));
        return Rows(*Connect(UfdataConnection), query, columns);
    }

    // No scratch database or half-written media is left beside the media.
    void ExpectNoLitter(const std::string& media)
    {
        for (const char* suffix : {".velmora-db", ".velmora-db-journal", ".velmora-tmp"}) {
            EXPECT_FALSE(std::filesystem::exists((Work / media).string() + suffix)) << suffix;
        }
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
    EXPECT_EQ(Run("list " + Path("m.bak") + " >/dev/full").ExitCode, 1);

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
    // Statements across lines, two on one line, a semicolon inside a literal, no final semicolon.
    const std::string script = ScriptFile("a.sql", "create table Marker\n  (name text);\ninsert into Marker values "
                                                   "('o;k'); insert into Marker\nvalues ('二')\n");
    ASSERT_EQ(Run("create " + Path("ufdatawk.temp") + " --database UFDATA --script " + script).ExitCode, 0);
    EXPECT_EQ(RestoredRows("ufdatawk.temp", "select name from Marker order by name", {"name"}),
              (std::vector<std::vector<std::string>>{{"o;k"}, {"二"}}));
}

TEST_F(BackupToolTest, SetsOfEveryKindAreListedByTheServer)
{
    const std::string script = ScriptFile("a.sql", "create table Marker (name text);\n");
    ASSERT_EQ(Run("create " + Path("ufdatawk.temp") + " --database UFDATA --script " + script).ExitCode, 0);
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
    auto master = Connect(MasterConnection);
    EXPECT_EQ(Rows(*master, "RESTORE HEADERONLY FROM DISK='" + (Work / "ufdatawk.temp").string() + "'", {"BackupType"}),
              (std::vector<std::vector<std::string>>{{"1"}, {"5"}, {"2"}}));
}

TEST_F(BackupToolTest, AScriptThatCreatesNothingMakesAWholeSet)
{
    const std::string script = ScriptFile("empty.sql", "-- nothing yet;\n");
    const TToolRun run = Run("create " + Path("m.bak") + " --database U --script " + script);
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    const auto sets = Standin::ReadBackupMedia((Work / "m.bak").string());
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_NO_THROW(Standin::CopyBackupContent((Work / "m.bak").string(), sets[0], (Work / "m.db").string()));
    ExpectNoLitter("m.bak");
}

TEST_F(BackupToolTest, RowsOfATransactionNeverCommittedStayOut)
{
    const std::string script = ScriptFile("open.sql", "create table t (a text);\ninsert into t values ('kept');\n"
                                                      "begin;\ninsert into t values ('uncommitted');\n");
    ASSERT_EQ(Run("create " + Path("m.bak") + " --database UFDATA --script " + script).ExitCode, 0);
    EXPECT_EQ(RestoredRows("m.bak", "select a from t", {"a"}), (std::vector<std::vector<std::string>>{{"kept"}}));
}

TEST_F(BackupToolTest, FromSqliteTakesTheDatabaseAsItIsLogIncluded)
{
    // The source stays open in write-ahead-log mode, its rows not yet in the main file.
    Standin::TSqliteDatabase source((Work / "company.db").string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    source.Exec("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; create table Marker (name text);"
                "insert into Marker values ('甲'), ('b');");
    const std::string db = Path("company.db");
    const TToolRun run = Run("create " + Path("ufdatawk.temp") + " --database UFDATA --from-sqlite " + db);
    ASSERT_EQ(run.ExitCode, 0) << run.Output;
    EXPECT_EQ(RestoredRows("ufdatawk.temp", "select name from Marker order by name", {"name"}),
              (std::vector<std::vector<std::string>>{{"b"}, {"甲"}}));

    const std::string before = ReadBytes(Work / "ufdatawk.temp");
    WriteText(Work / "notes.txt", "not a database at all, but long enough to look like one's header....."
                                  "..............................................................");
    const TToolRun notDatabase = Run("create " + Path("ufdatawk.temp") + " --database U --from-sqlite " +
                                     Path("notes.txt"));
    EXPECT_EQ(notDatabase.ExitCode, 1);
    EXPECT_THAT(notDatabase.Output, HasSubstr("cannot copy the SQLite database"));
    EXPECT_THAT(Run("create " + Path("ufdatawk.temp") + " --database U --from-sqlite " + db + " --script " + db).Output,
                HasSubstr("not both"));
    EXPECT_EQ(ReadBytes(Work / "ufdatawk.temp"), before);
    ExpectNoLitter("ufdatawk.temp");
}

TEST_F(BackupToolTest, AMissingFolderOrAFullDiskIsNamedAndTheMediaKept)
{
    const TToolRun noFolder = Run("create " + Path("absent/m.bak") + " --database U --script " +
                                  ScriptFile("small.sql", "create table t (a);"));
    EXPECT_EQ(noFolder.ExitCode, 1);
    EXPECT_THAT(noFolder.Output, HasSubstr("absent' does not exist"));

    // About 300 KB of database.
    const std::string rows = ScriptFile(
        "rows.sql", "create table t (a);\ninsert into t with recursive c(x) as (select 1 union all select x + 1 "
                    "from c where x < 2500) select printf('%0100d', x) from c;\n");
    ASSERT_EQ(Run("create " + Path("m.bak") + " --database U --script " + rows).ExitCode, 0);
    const std::string before = ReadBytes(Work / "m.bak");
    ASSERT_GT(before.size(), 250000u);

    // The database being built does not fit.
    const TToolRun building = Run("create " + Path("m.bak") + " --database U --script " + rows, 100000);
    EXPECT_EQ(building.ExitCode, 1);
    EXPECT_THAT(building.Output, HasSubstr("rows.sql:2:"));
    EXPECT_THAT(building.Output, HasSubstr("File too large"));
    // It does, but the media with the new set appended does not.
    const TToolRun appending = Run("create " + Path("m.bak") + " --database U --append --script " + rows,
                                   before.size() * 3 / 2);
    EXPECT_EQ(appending.ExitCode, 1);
    EXPECT_THAT(appending.Output, HasSubstr("cannot write"));
    EXPECT_THAT(appending.Output, HasSubstr("File too large"));

    EXPECT_EQ(ReadBytes(Work / "m.bak"), before);
    ExpectNoLitter("m.bak");
}

}  // namespace
}  // namespace Velmora::StandinTests
