// RESTORE HEADERONLY / FILELISTONLY / DATABASE, taking a database offline and
// dropping it, as the restore step drives them.

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <sqlite3.h>

#include "StandinTestSupport.h"
#include "standin/BackupMedia.h"
#include "standin/Server.h"
#include "standin/ServerErrors.h"

namespace Velmora::StandinTests {
namespace {

using ::testing::HasSubstr;
using ::testing::UnorderedElementsAre;
using Standin::TBackupFileInfo;

std::string Quote(const std::string& text)
{
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

std::string Script(const std::string& marker)
{
    return "create table Marker (name varchar(20));\ninsert into Marker values ('" + marker + "');\n";
}

TBackupFileInfo File(const std::string& logical, const std::string& type, const std::string& physical)
{
    TBackupFileInfo file;
    file.LogicalName = logical;
    file.Type = type;
    file.PhysicalName = physical;
    file.FileGroupName = type == "D" ? "PRIMARY" : "";
    return file;
}

// What the value of one column of the only row of a table in an SQLite file is,
// read with SQLite itself rather than through the server.
std::string ReadWithSqlite(const std::string& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    std::string value = "<cannot open>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        } else {
            value = sqlite3_errmsg(db);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

void PutU32(std::string& out, std::uint32_t v)
{
    for (int k = 0; k < 4; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

void PutU64(std::string& out, std::uint64_t v)
{
    for (int k = 0; k < 8; ++k) out += static_cast<char>((v >> (8 * k)) & 0xFF);
}

void PutText(std::string& out, const std::string& text)
{
    PutU32(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

// Media with one set, written byte by byte as BackupMedia.h lays it out, so that
// it can say what the writer would refuse to.
std::string MediaBytes(const std::vector<TBackupFileInfo>& files, const std::string& content)
{
    std::string metadata;
    PutU32(metadata, 1);
    for (const char* text : {"UFDATA", "UFDATA backup", "", "SERVER", "MACHINE", "user", "2024-01-01 00:00:00.000",
                             "2024-01-01 00:00:00.000", "2024-01-01 00:00:01.000"}) {
        PutText(metadata, text);
    }
    PutU64(metadata, 539);
    PutU32(metadata, static_cast<std::uint32_t>(files.size()));
    for (const TBackupFileInfo& file : files) {
        PutText(metadata, file.LogicalName);
        PutText(metadata, file.PhysicalName);
        PutText(metadata, file.Type);
        PutText(metadata, file.FileGroupName);
        PutU64(metadata, static_cast<std::uint64_t>(file.Size));
        PutU64(metadata, static_cast<std::uint64_t>(file.MaxSize));
    }
    std::string media = "VLMRMDA1";
    PutU32(media, 1);
    PutU32(media, 0);
    std::string header = "VLMRSET1";
    PutU32(header, static_cast<std::uint32_t>(metadata.size()));
    PutU64(header, content.size());
    PutU32(header, Standin::Crc32(metadata.data(), metadata.size()));
    PutU32(header, Standin::Crc32(content.data(), content.size()));
    PutU32(header, Standin::Crc32(header.data(), header.size()));
    return media + header + metadata + content;
}

class RestoreTest : public TStandinTest {
protected:
    void SetUp() override
    {
        TStandinTest::SetUp();
        Master = Connect(MasterConnection);
        WorkDir = (Work / "TempLateTemp").string() + "/";
        std::filesystem::create_directories(WorkDir);
    }

    // The restore statement exactly as the restore step builds it.
    std::string PluginRestore(const std::string& media, int position, const std::string& l1, const std::string& l2)
    {
        return RestoreStatement(media, position, {{l1, WorkDir + "ufdata.mdf"}, {l2, WorkDir + "ufdata.ldf"}});
    }

    std::string Marker(const std::string& catalog = "ufdata")
    {
        auto connection = Connect(ConnectionTo(catalog));
        return Rows(*connection, "select name from Marker", {"name"}).at(0).at(0);
    }

    bool Registered(const std::string& name)
    {
        return !Rows(*Master, "select * from sysdatabases WHERE name='" + name + "'", {"name"}).empty();
    }

    std::string Restore(const std::string& statement)
    {
        return ProviderError([&] { Exec(*Master, statement); });
    }

    std::unique_ptr<IConnection> Master;
    std::string WorkDir;
};

TEST_F(RestoreTest, HeaderOnlyGivesTheServersColumnsForEveryKindOfSet)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("one")});
    for (const int type : {Standin::BackupTypeDifferential, Standin::BackupTypeLog, Standin::BackupTypeLog}) {
        Standin::TCreateBackupOptions options;
        WriteText(Root / "later.sql", Script("later"));
        options.Media = media;
        options.Database = "UFDATA";
        options.Script = (Root / "later.sql").string();
        options.Append = true;
        options.BackupType = type;
        Standin::CreateBackupSet(options);
    }
    Standin::TSession session(ServerDir, Standin::TConnectionTarget{});
    const Standin::TResultSet header = session.Execute("RESTORE HEADERONLY FROM DISK='" + media + "'");
    // SQL Server 2000's columns, in its order.
    EXPECT_EQ(header.Columns,
              (std::vector<std::string>{"BackupName", "BackupDescription", "BackupType", "ExpirationDate", "Compressed",
                                        "Position", "DeviceType", "UserName", "ServerName", "DatabaseName",
                                        "DatabaseVersion", "DatabaseCreationDate", "BackupSize", "FirstLSN", "LastLSN",
                                        "CheckpointLSN", "DatabaseBackupLSN", "BackupStartDate", "BackupFinishDate",
                                        "SortOrder", "CodePage", "UnicodeLocaleId", "UnicodeComparisonStyle",
                                        "CompatibilityLevel", "SoftwareVendorId", "SoftwareVersionMajor",
                                        "SoftwareVersionMinor", "SoftwareVersionBuild", "MachineName", "Flags",
                                        "BindingID", "RecoveryForkID", "Collation"}));
    ASSERT_EQ(header.Rows.size(), 4u);
    const auto at = [&](std::size_t row, const char* column) {
        const auto found = std::find(header.Columns.begin(), header.Columns.end(), column);
        return header.Rows[row].at(static_cast<std::size_t>(found - header.Columns.begin()));
    };
    std::vector<std::int64_t> types;
    for (std::size_t row = 0; row < 4; ++row) {
        types.push_back(at(row, "BackupType").AsInteger());
        EXPECT_EQ(at(row, "Position").AsInteger(), static_cast<std::int64_t>(row + 1));
        EXPECT_TRUE(at(row, "ExpirationDate").IsNull() && at(row, "BackupDescription").IsNull());
        EXPECT_LT(at(row, "FirstLSN").AsInteger(), at(row, "LastLSN").AsInteger());
        EXPECT_EQ(at(row, "BindingID").AsString(), at(0, "BindingID").AsString());
    }
    EXPECT_EQ(types, (std::vector<std::int64_t>{1, 5, 2, 2}));
    // The differential and the logs build on the full set; each log starts where the set before it ended.
    EXPECT_TRUE(at(0, "DatabaseBackupLSN").IsNull());
    EXPECT_EQ(at(1, "DatabaseBackupLSN").AsInteger(), at(0, "CheckpointLSN").AsInteger());
    EXPECT_EQ(at(2, "FirstLSN").AsInteger(), at(1, "LastLSN").AsInteger());
    EXPECT_EQ(at(3, "FirstLSN").AsInteger(), at(2, "LastLSN").AsInteger());
    EXPECT_EQ(at(3, "DatabaseBackupLSN").AsInteger(), at(0, "CheckpointLSN").AsInteger());

    // Only the full set restores as a database.
    EXPECT_EQ(Restore(PluginRestore(media, 2, "UFDATA_Data", "UFDATA_Log")),
              "This differential backup cannot be restored because the database has not been restored to the correct "
              "earlier state.");
    EXPECT_EQ(Restore(PluginRestore(media, 3, "UFDATA_Data", "UFDATA_Log")),
              "The backup set in file '" + media + "' was created by BACKUP LOG and cannot be used for this restore "
              "operation.");
    EXPECT_FALSE(Registered("UFDATA"));
    EXPECT_EQ(Restore(PluginRestore(media, 1, "UFDATA_Data", "UFDATA_Log")), "");
    EXPECT_EQ(Marker(), "one");
}

TEST_F(RestoreTest, FileListOnlyDescribesTheFirstSetOrTheOneNamed)
{
    // A set of UFDATA followed by one of another database with three files.
    const std::string mixed = MakeMedia("mixed.bak", {Script("one")});
    {
        Standin::TCreateBackupOptions options;
        WriteText(Root / "s.sql", Script("two"));
        options.Media = mixed;
        options.Database = "Other";
        options.Script = (Root / "s.sql").string();
        options.Append = true;
        options.Files = {File("Other_Data", "D", "C:\\Data\\Other.mdf"), File("Other_Log", "L", "C:\\Data\\Other.ldf"),
                         File("Other_Extra", "D", "C:\\Data\\Other2.ndf")};
        Standin::CreateBackupSet(options);
    }
    EXPECT_EQ(Rows(*Master, "Restore FileListOnly From Disk='" + mixed + "'",
                   {"Logicalname", "PhysicalName", "Type", "FileGroupName"}),
              (std::vector<std::vector<std::string>>{
                  {"UFDATA_Data", "C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\UFDATA_Data.MDF", "D", "PRIMARY"},
                  {"UFDATA_Log", "C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\UFDATA_Log.LDF", "L", ""}}));
    const auto second = Rows(*Master, "restore filelistonly from disk = '" + mixed + "' with file = 2",
                             {"LogicalName", "Type", "Size", "MaxSize"});
    ASSERT_EQ(second.size(), 3u);
    EXPECT_EQ(second[2][0], "Other_Extra");
    EXPECT_NE(second[0][2], "0");
    EXPECT_EQ(Restore("RESTORE FILELISTONLY FROM DISK='" + mixed + "' WITH FILE=3"),
              "Cannot find file ID 3 on device '" + mixed + "'.");
}

TEST_F(RestoreTest, ThePluginsStatementRestoresTheChosenSetIntoTheWorkFolder)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first"), Script("second")});
    ASSERT_EQ(Restore(PluginRestore(media, 2, "UFDATA_Data", "UFDATA_Log")), "");
    EXPECT_TRUE(Registered("UFDATA"));
    EXPECT_EQ(Marker(), "second");
    // The data file is an ordinary SQLite database; the log file lies beside it.
    EXPECT_EQ(ReadWithSqlite(WorkDir + "ufdata.mdf", "select name from Marker"), "second");
    EXPECT_TRUE(std::filesystem::is_regular_file(WorkDir + "ufdata.ldf"));
    EXPECT_EQ(Rows(*Master, "select filename from sysdatabases WHERE name='ufdata'", {"filename"}).at(0).at(0),
              WorkDir + "ufdata.mdf");
}

TEST_F(RestoreTest, WithoutAPositionTheFirstSetIsRestored)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first"), Script("second")});
    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    EXPECT_EQ(Marker(), "first");
}

TEST_F(RestoreTest, EveryFileOfTheSetIsWrittenWhereMoveSendsIt)
{
    const std::string media = MakeMedia("three.bak", {Script("x")}, "UFDATA",
                                        {File("X_Data", "D", "C:\\a.mdf"), File("X_Log", "L", "C:\\a.ldf"),
                                         File("X_More", "D", "C:\\a2.ndf")});
    ASSERT_EQ(Restore("RESTORE DATABASE Books FROM DISK='" + media + "' WITH RECOVERY, MOVE 'x_data' TO '" + WorkDir +
                      "b.mdf', MOVE 'X_Log' TO '" + WorkDir + "b.ldf', MOVE 'X_More' TO '" + WorkDir + "b2.ndf'"),
              "");
    for (const char* name : {"b.mdf", "b.ldf", "b2.ndf"}) EXPECT_TRUE(std::filesystem::exists(WorkDir + name)) << name;
    EXPECT_EQ(Marker("books"), "x");
}

TEST_F(RestoreTest, RefusalsAreWordedAsTheServerDoesAndWriteNothing)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    const std::string notMedia = (Work / "notes.txt").string();
    WriteText(notMedia, "just some text, certainly not a backup");

    EXPECT_EQ(Restore(PluginRestore(media, 2, "UFDATA_Data", "UFDATA_Log")),
              "Cannot find file ID 2 on device '" + media + "'.");
    EXPECT_EQ(Restore(PluginRestore(media, 0, "X_Data", "UFDATA_Log")),
              "Logical file 'X_Data' is not part of database 'ufdata'. Use RESTORE FILELISTONLY to list the logical "
              "file names.");
    // The log file is not moved, so it would go to the server's folder on a Windows machine.
    EXPECT_EQ(Restore("restore database ufdata from Disk='" + media + "' WITH  RECOVERY, MOVE 'UFDATA_Data' TO '" +
                      WorkDir + "ufdata.mdf'"),
              "Directory lookup for the file \"C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\UFDATA_Log.LDF\" "
              "failed with the operating system error 3(The system cannot find the path specified.).");
    EXPECT_EQ(Restore("restore database ufdata from Disk='" + media +
                      "' WITH RECOVERY, MOVE 'UFDATA_Data' TO '/no/such/folder/u.mdf', MOVE 'UFDATA_Log' TO '" +
                      WorkDir + "u.ldf'"),
              "Directory lookup for the file \"/no/such/folder/u.mdf\" failed with the operating system error 3(The "
              "system cannot find the path specified.).");
    EXPECT_EQ(Restore(PluginRestore(notMedia, 0, "UFDATA_Data", "UFDATA_Log")),
              "The media family on device '" + notMedia +
                  "' is incorrectly formed. SQL Server cannot process this media family.");
    EXPECT_THAT(Restore(PluginRestore((Work / "absent.bak").string(), 0, "UFDATA_Data", "UFDATA_Log")),
                HasSubstr("Cannot open backup device"));
    EXPECT_THAT(Restore("restore database ufdata form Disk='" + media + "'"), HasSubstr("Incorrect syntax near 'form'"));

    EXPECT_FALSE(Registered("UFDATA"));
    EXPECT_TRUE(std::filesystem::is_empty(WorkDir));
}

TEST_F(RestoreTest, AnExistingDatabaseNeedsReplace)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first"), Script("second")});
    ASSERT_EQ(Restore(PluginRestore(media, 1, "UFDATA_Data", "UFDATA_Log")), "");
    const std::string withoutReplace = "RESTORE DATABASE ufdata FROM DISK='" + media +
                                       "' WITH FILE=2, RECOVERY, MOVE 'UFDATA_Data' TO '" + WorkDir +
                                       "n.mdf', MOVE 'UFDATA_Log' TO '" + WorkDir + "n.ldf'";
    EXPECT_THAT(Restore(withoutReplace), HasSubstr("already exists"));
    EXPECT_EQ(Marker(), "first");
    // With REPLACE the old database gives way, files and all.
    EXPECT_EQ(Restore(withoutReplace + ", REPLACE"), "");
    EXPECT_EQ(Marker(), "second");
    EXPECT_FALSE(std::filesystem::exists(WorkDir + "ufdata.mdf"));
}

TEST_F(RestoreTest, FilesThatExistAreOnlyOverwrittenWithReplace)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first"), Script("second")});
    ASSERT_EQ(Restore(PluginRestore(media, 1, "UFDATA_Data", "UFDATA_Log")), "");
    ASSERT_EQ(Restore("ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE"), "");
    ASSERT_EQ(Restore("DROP DATABASE UFDATA"), "");
    const std::string oldBooks = ReadBytes(WorkDir + "ufdata.mdf");
    // The dropped database's books are still there: no database owns them, yet they are not free.
    std::string withoutReplace = PluginRestore(media, 2, "UFDATA_Data", "UFDATA_Log");
    withoutReplace.erase(withoutReplace.rfind(", REPLACE"));
    EXPECT_EQ(Restore(withoutReplace), "File \"UFDATA_Data\" cannot be restored over the existing \"" + WorkDir +
                                           "ufdata.mdf\". Reissue the RESTORE statement using WITH REPLACE to overwrite "
                                           "pre-existing files, or WITH MOVE to identify an alternate location.");
    int number = 0;
    try {
        Exec(*Master, withoutReplace);
    } catch (const Standin::EServerError& error) {
        number = error.Number();
    }
    EXPECT_EQ(number, 3142);
    EXPECT_FALSE(Registered("UFDATA"));
    EXPECT_TRUE(ReadBytes(WorkDir + "ufdata.mdf") == oldBooks);
    // Any file will do, the log's place as much as the data's.
    std::filesystem::remove(WorkDir + "ufdata.mdf");
    EXPECT_THAT(Restore(withoutReplace), HasSubstr("\"UFDATA_Log\" cannot be restored over the existing"));
    std::filesystem::remove(WorkDir + "ufdata.ldf");
    EXPECT_EQ(Restore(withoutReplace), "");
    EXPECT_EQ(Marker(), "second");
}

TEST_F(RestoreTest, ATargetOrMediaThatIsALinkIsRefusedAndWhatItPointsToIsUntouched)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    const std::string mediaBytes = ReadBytes(media);
    const std::filesystem::path outside = Root / "elsewhere.txt";
    WriteText(outside, "someone else's file");
    const auto refusal = [](const std::string& name) {
        return "文件“" + name + "”是符号链接：模拟服务器不经由链接读写文件，请改用它指向的文件本身";
    };

    std::filesystem::create_symlink(outside, WorkDir + "ufdata.ldf");
    EXPECT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), refusal(WorkDir + "ufdata.ldf"));
    std::filesystem::remove(WorkDir + "ufdata.ldf");
    // Aimed at the backup being restored, a link would make the backup the database.
    std::filesystem::create_symlink(media, WorkDir + "ufdata.mdf");
    EXPECT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), refusal(WorkDir + "ufdata.mdf"));
    std::filesystem::remove(WorkDir + "ufdata.mdf");
    const std::string linkedMedia = (Work / "linked.bak").string();
    std::filesystem::create_symlink(media, linkedMedia);
    EXPECT_EQ(Restore(PluginRestore(linkedMedia, 0, "UFDATA_Data", "UFDATA_Log")), refusal(linkedMedia));

    EXPECT_FALSE(Registered("UFDATA"));
    EXPECT_TRUE(std::filesystem::is_empty(WorkDir));
    EXPECT_EQ(ReadBytes(outside), "someone else's file");
    EXPECT_TRUE(ReadBytes(media) == mediaBytes);
}

TEST_F(RestoreTest, ADataFilePathSQLiteCannotOpenIsRefusedAtRestoreTime)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    // SQLite opens names of up to 512 bytes, and a journal's name is 8 bytes longer.
    const std::size_t longest = 512 - 8;
    std::string folder = WorkDir;
    while (longest - folder.size() > 200) {
        folder += std::string(150, 'd') + "/";
        std::filesystem::create_directories(folder);
    }
    const auto pathOfLength = [&](std::size_t length) {
        return folder + std::string(length - folder.size() - 4, 'f') + ".mdf";
    };
    const auto restoreTo = [&](const std::string& data) {
        return Restore("RESTORE DATABASE UFDATA FROM DISK='" + media + "' WITH MOVE 'UFDATA_Data' TO '" + data +
                       "', MOVE 'UFDATA_Log' TO '" + WorkDir + "ufdata.ldf', REPLACE");
    };
    const std::string tooLong = pathOfLength(longest + 1);
    EXPECT_EQ(restoreTo(tooLong), "数据文件“" + tooLong + "”的路径过长（505 字节）：模拟服务器只支持不超过 504 字节的数据文件路径");
    EXPECT_FALSE(Registered("UFDATA"));
    ASSERT_EQ(restoreTo(pathOfLength(longest)), "");
    EXPECT_EQ(Marker(), "first");
}

TEST_F(RestoreTest, WhatAnInterruptedRestoreLeftBesideItsTargetsIsCleanedUp)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    for (const char* stale : {"ufdata.mdf.velmora-restore", "ufdata.mdf.velmora-restore.1", "ufdata.ldf.velmora-restore"}) {
        WriteText(WorkDir + stale, "half a database from a host that was killed");
    }
    WriteText(WorkDir + "ufdata.mdf.velmora-restore-notes", "not the restore's");
    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(WorkDir)) left.push_back(entry.path().filename().string());
    EXPECT_THAT(left, UnorderedElementsAre("ufdata.mdf", "ufdata.ldf", "ufdata.mdf.velmora-restore-notes"));
    EXPECT_EQ(Marker(), "first");
}

TEST_F(RestoreTest, ReplaceIsRefusedWhileTheDatabaseIsInUse)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    auto user = Connect(UfdataConnection);
    EXPECT_THAT(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), HasSubstr("in use"));
    EXPECT_EQ(Rows(*user, "select name from Marker", {"name"}).at(0).at(0), "first");
}

TEST_F(RestoreTest, DamagedMediaIsRecognised)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first"), Script("second")});
    const std::string bytes = ReadBytes(media);
    const std::string malformed =
        "The media family on device '" + media + "' is incorrectly formed. SQL Server cannot process this media family.";

    // Cut short: even the header cannot be read.
    WriteText(media, bytes.substr(0, bytes.size() - 10));
    EXPECT_EQ(Restore("RESTORE HEADERONLY FROM DISK='" + media + "'"), malformed);
    // One byte of the last set's database changed: the header reads, the restore does not.
    std::string flipped = bytes;
    flipped[flipped.size() - 100] = static_cast<char>(flipped[flipped.size() - 100] ^ 0x5A);
    WriteText(media, flipped);
    EXPECT_EQ(Restore("RESTORE HEADERONLY FROM DISK='" + media + "'"), "");
    EXPECT_EQ(Restore(PluginRestore(media, 2, "UFDATA_Data", "UFDATA_Log")), malformed);
    EXPECT_EQ(Restore(PluginRestore(media, 1, "UFDATA_Data", "UFDATA_Log")), "");
    // A changed byte in a set's description spoils the header too.
    std::string description = bytes;
    description[16 + 32 + 10] = static_cast<char>(description[16 + 32 + 10] ^ 0x01);
    WriteText(media, description);
    EXPECT_EQ(Restore("RESTORE HEADERONLY FROM DISK='" + media + "'"), malformed);
}

TEST_F(RestoreTest, ApostrophesInPathsAreReadFromDoubledQuotes)
{
    const std::filesystem::path folder = Work / "O'Brien's books";
    std::filesystem::create_directories(folder);
    WorkDir = (folder / "TempLateTemp").string() + "/";
    std::filesystem::create_directories(WorkDir);
    const std::string media = MakeMedia("x.bak", {Script("first")});
    const std::string moved = (folder / "ufdatawk.temp").string();
    std::filesystem::rename(media, moved);

    EXPECT_EQ(Rows(*Master, "RESTORE HEADERONLY From Disk='" + Quote(moved) + "'", {"Position"}).size(), 1u);
    ASSERT_EQ(Restore(PluginRestore(moved, 0, "UFDATA_Data", "UFDATA_Log")), "");
    EXPECT_TRUE(std::filesystem::exists(WorkDir + "ufdata.mdf"));
    EXPECT_EQ(Marker(), "first");
}

TEST_F(RestoreTest, TakingOfflineClosesThisProcesssConnectionsToTheDatabase)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    auto user = Connect(UfdataConnection);
    auto query = user->CreateQuery();
    query->AddSql("select name from Marker");
    query->Open();

    // Without ROLLBACK the server would wait for the user; the stand-in refuses at once.
    EXPECT_THAT(Restore("ALTER DATABASE UFDATA SET OFFLINE"), HasSubstr("lock could not be placed"));
    EXPECT_TRUE(user->Connected());

    ASSERT_EQ(Restore(" ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE"), "");
    EXPECT_FALSE(user->Connected());
    EXPECT_EQ(query->FieldByName("name").AsString(), "first");  // the rows were already fetched
    EXPECT_THAT(ProviderError([&] { Exec(*user, "select 1"); }), HasSubstr("offline"));
    EXPECT_TRUE(Master->Connected());
}

TEST_F(RestoreTest, AnotherProcesssSessionHoldsTheDatabaseUntilItIsTakenOffline)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A second host: its own connection, its own SQLite handles.
        char verdict = 'x';
        try {
            Standin::TStandinDataAccess data(ServerDir);
            auto connection = data.CreateConnection();
            connection->SetConnectionString(UfdataConnection);
            connection->Open();
            char byte = 'r';
            if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 1) _exit(2);
            verdict = connection->Connected() ? 'c' : 'e';
            try {
                Exec(*connection, "select name from Marker");
                verdict = 'a';
            } catch (const EProviderError& error) {
                if (std::string(error.what()).find("offline") == std::string::npos) verdict = 'm';
            }
        } catch (...) {
            verdict = 'x';
        }
        _exit(write(ready[1], &verdict, 1) == 1 ? 0 : 3);
    }
    close(ready[1]);
    close(go[0]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);

    EXPECT_THAT(Restore("DROP DATABASE UFDATA"), HasSubstr("currently in use"));
    EXPECT_THAT(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), HasSubstr("in use"));
    EXPECT_THAT(Restore("ALTER DATABASE UFDATA SET OFFLINE"), HasSubstr("lock could not be placed"));
    EXPECT_EQ(Restore("ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE"), "");
    byte = 'g';
    EXPECT_EQ(write(go[1], &byte, 1), 1);
    char verdict = 0;
    EXPECT_EQ(read(ready[0], &verdict, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    close(ready[0]);
    close(go[1]);
    // The other session saw itself ended, and its statement failed as the server's would.
    EXPECT_EQ(verdict, 'e');
    // Once taken back online the database is free again: the ended session holds nothing.
    ASSERT_EQ(Restore("ALTER DATABASE UFDATA SET ONLINE"), "");
    EXPECT_EQ(Restore("DROP DATABASE UFDATA"), "");
}

TEST_F(RestoreTest, DropDeletesTheFilesOfAnOnlineDatabaseOnly)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    ASSERT_EQ(Restore("drop DATABASE UFDATA"), "");
    EXPECT_FALSE(Registered("UFDATA"));
    EXPECT_FALSE(std::filesystem::exists(WorkDir + "ufdata.mdf"));
    EXPECT_FALSE(std::filesystem::exists(WorkDir + "ufdata.ldf"));

    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    ASSERT_EQ(Restore(" ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE"), "");
    ASSERT_EQ(Restore("drop DATABASE UFDATA"), "");
    EXPECT_FALSE(Registered("UFDATA"));
    EXPECT_TRUE(std::filesystem::exists(WorkDir + "ufdata.mdf"));
    EXPECT_TRUE(std::filesystem::exists(WorkDir + "ufdata.ldf"));

    EXPECT_EQ(Restore("drop DATABASE UFDATA"),
              "Cannot drop the database 'UFDATA', because it does not exist in the system catalog.");
}

TEST_F(RestoreTest, DropIsRefusedWhileTheDatabaseIsInUse)
{
    Exec(*Master, "CREATE DATABASE UFDATA");
    auto user = Connect(UfdataConnection);
    EXPECT_THAT(Restore("drop DATABASE UFDATA"), HasSubstr("currently in use"));
    EXPECT_TRUE(Registered("UFDATA"));
}

TEST_F(RestoreTest, TheRestoreStepsWholeSequenceReplacesAnEarlierUfdata)
{
    const std::string older = MakeMedia("older.bak", {Script("older")});
    const std::string media = MakeMedia("ufdatawk.temp", {Script("newer")});
    ASSERT_EQ(Restore(PluginRestore(older, 0, "UFDATA_Data", "UFDATA_Log")), "");
    auto host = Connect(UfdataConnection);  // the host still looking at the old books

    if (!Rows(*Master, "select * from sysdatabases WHERE name='UFDATA'", {"name"}).empty()) {
        ASSERT_EQ(Restore(" ALTER DATABASE UFDATA SET OFFLINE WITH ROLLBACK IMMEDIATE"), "");
        ASSERT_EQ(Restore("drop DATABASE UFDATA"), "");
    }
    // The offline database's files are still there, in the very places the new one goes.
    ASSERT_TRUE(std::filesystem::exists(WorkDir + "ufdata.mdf"));
    ASSERT_EQ(Restore(PluginRestore(media, 0, "UFDATA_Data", "UFDATA_Log")), "");
    EXPECT_EQ(Marker(), "newer");
    EXPECT_EQ(Marker("UFDATA"), "newer");
}

TEST_F(RestoreTest, ASetClaimingHugeContentIsRefusedWithoutReadingItIn)
{
    // A sparse file whose set header claims 64 GiB of content, checksums of the
    // header and description intact: what damage or malice can hand the server.
    const std::string media = MakeMedia("huge.bak", {Script("first")});
    std::string bytes = ReadBytes(media);
    constexpr std::size_t SetAt = 16;
    const std::uint64_t claimed = std::uint64_t{64} << 30;
    std::uint32_t metadataSize = 0;
    for (int k = 3; k >= 0; --k) metadataSize = (metadataSize << 8) | static_cast<unsigned char>(bytes[SetAt + 8 + k]);
    for (int k = 0; k < 8; ++k) bytes[SetAt + 12 + k] = static_cast<char>((claimed >> (8 * k)) & 0xFF);
    const std::uint32_t headerCrc = Standin::Crc32(bytes.data() + SetAt, 28);
    for (int k = 0; k < 4; ++k) bytes[SetAt + 28 + k] = static_cast<char>((headerCrc >> (8 * k)) & 0xFF);
    const std::string malformed =
        "The media family on device '" + media + "' is incorrectly formed. SQL Server cannot process this media family.";

    // Once with the database's own first page, once with nothing but a hole.
    for (const bool zeroed : {false, true}) {
        std::string damaged = bytes;
        if (zeroed) std::fill(damaged.begin() + SetAt + 32 + metadataSize, damaged.end(), '\0');
        WriteText(media, damaged);
        std::error_code error;
        std::filesystem::resize_file(media, SetAt + 32 + metadataSize + claimed, error);
        if (error) GTEST_SKIP() << "no sparse files here: " << error.message();

        EXPECT_EQ(Rows(*Master, "RESTORE HEADERONLY FROM DISK='" + media + "'", {"Position"}).size(), 1u);
        EXPECT_EQ(Restore(PluginRestore(media, 1, "UFDATA_Data", "UFDATA_Log")), malformed) << zeroed;
        EXPECT_FALSE(Registered("UFDATA"));
        EXPECT_TRUE(std::filesystem::is_empty(WorkDir));
    }
}

TEST_F(RestoreTest, AFailedReplaceLeavesTheDatabaseItWouldHaveReplaced)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first"), Script("second")});
    ASSERT_EQ(Restore("RESTORE DATABASE UFDATA FROM DISK='" + media + "' WITH MOVE 'UFDATA_Data' TO '" + WorkDir +
                      "old.mdf', MOVE 'UFDATA_Log' TO '" + WorkDir + "old.ldf'"),
              "");
    const std::string oldData = ReadBytes(WorkDir + "old.mdf");
    std::filesystem::create_directories(WorkDir + "folder");

    EXPECT_EQ(Restore("RESTORE DATABASE UFDATA FROM DISK='" + media + "' WITH FILE=2, MOVE 'UFDATA_Data' TO '" +
                      WorkDir + "new.mdf', MOVE 'UFDATA_Log' TO '" + WorkDir + "folder', REPLACE"),
              "File 'UFDATA_Log' cannot be restored to '" + WorkDir +
                  "folder'. Use WITH MOVE to identify a valid location for the file.");

    EXPECT_TRUE(ReadBytes(WorkDir + "old.mdf") == oldData);
    EXPECT_TRUE(Registered("UFDATA"));
    EXPECT_EQ(Marker(), "first");
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(WorkDir)) left.push_back(entry.path().filename().string());
    EXPECT_THAT(left, UnorderedElementsAre("old.mdf", "old.ldf", "folder"));
    EXPECT_EQ(Rows(*Master, "select filename from sysaltfiles order by fileid", {"filename"}),
              (std::vector<std::vector<std::string>>{{WorkDir + "old.mdf"}, {WorkDir + "old.ldf"}}));
}

TEST_F(RestoreTest, FilesAreKnownByWhatTheyAreNotByHowAStatementSpellsThem)
{
    const std::string media = MakeMedia("ufdatawk.temp", {Script("first")});
    ASSERT_EQ(Restore("RESTORE DATABASE UFDATA FROM DISK='" + media + "' WITH MOVE 'UFDATA_Data' TO '" + WorkDir +
                      "old.mdf', MOVE 'UFDATA_Log' TO '" + WorkDir + "old.ldf'"),
              "");
    const std::string catalog = (std::filesystem::path(ServerDir) / "master.db").string();
    auto restoreOther = [&](const std::string& dataTarget) {
        return Restore("RESTORE DATABASE Other FROM DISK='" + media + "' WITH MOVE 'UFDATA_Data' TO '" + dataTarget +
                       "', MOVE 'UFDATA_Log' TO '" + WorkDir + "other.ldf'");
    };

    for (const std::string& spelling : {WorkDir + "/old.mdf", WorkDir + "./old.mdf",
                                        WorkDir + "../TempLateTemp/old.mdf", WorkDir + "old.mdf-wal"}) {
        EXPECT_EQ(restoreOther(spelling),
                  "The file '" + spelling + "' cannot be overwritten. It is being used by database 'UFDATA'.");
    }
    for (const std::string& spelling : {ServerDir + "/./master.db", catalog + "-wal", std::string("master.db-journal"),
                                        std::string("service")}) {
        EXPECT_EQ(restoreOther(spelling),
                  "The file '" + spelling + "' cannot be overwritten. It is being used by database 'master'.");
    }
    EXPECT_EQ(Restore("RESTORE DATABASE Other FROM DISK='" + media + "' WITH MOVE 'UFDATA_Data' TO '" + WorkDir +
                      "o.mdf', MOVE 'UFDATA_Log' TO '" + WorkDir + "//./o.mdf'"),
              "File '" + WorkDir + "//./o.mdf' is claimed by 'UFDATA_Data'(1) and 'UFDATA_Log'(2). The WITH MOVE clause "
              "can be used to relocate one or more files.");
    EXPECT_FALSE(Registered("Other"));
    EXPECT_EQ(Marker(), "first");
    EXPECT_EQ(ReadWithSqlite(catalog, "select count(*) from sysdatabases"), "2");

    // A file is stored under the one name it has, so a later check can find it.
    ASSERT_EQ(restoreOther(WorkDir + "sub/.././o.mdf"), "");
    EXPECT_EQ(Rows(*Master, "select filename from sysdatabases where name='Other'", {"filename"}).at(0).at(0),
              WorkDir + "o.mdf");
    ASSERT_EQ(Restore("drop database Other"), "");
    EXPECT_TRUE(std::filesystem::exists(WorkDir + "old.mdf"));
    EXPECT_EQ(Marker(), "first");
}

TEST_F(RestoreTest, CreateRefusesFilesThatADroppedOfflineDatabaseLeft)
{
    Exec(*Master, "CREATE DATABASE UFDATA");
    {
        auto books = Connect(UfdataConnection);
        Exec(*books, "create table Marker (name varchar(20))");
        Exec(*books, "insert into Marker values ('kept')");
    }
    ASSERT_EQ(Restore("ALTER DATABASE UFDATA SET OFFLINE"), "");
    ASSERT_EQ(Restore("DROP DATABASE UFDATA"), "");
    const std::filesystem::path data = std::filesystem::path(ServerDir) / "data";
    const std::string kept = ReadBytes(data / "UFDATA.mdf");
    ASSERT_FALSE(kept.empty());

    EXPECT_EQ(Restore("CREATE DATABASE UFDATA"),
              "Cannot create file '" + (data / "UFDATA.mdf").string() +
                  "' because it already exists. Change the file path or the file name, and retry the operation.");
    EXPECT_FALSE(Registered("UFDATA"));
    EXPECT_TRUE(ReadBytes(data / "UFDATA.mdf") == kept);
    EXPECT_EQ(ReadWithSqlite((data / "UFDATA.mdf").string(), "select name from Marker"), "kept");

    // The log alone is enough to refuse.
    std::filesystem::remove(data / "UFDATA.mdf");
    EXPECT_THAT(Restore("CREATE DATABASE UFDATA"), HasSubstr("UFDATA_log.ldf' because it already exists"));
    EXPECT_FALSE(std::filesystem::exists(data / "UFDATA.mdf"));
    std::filesystem::remove(data / "UFDATA_log.ldf");
    EXPECT_EQ(Restore("CREATE DATABASE UFDATA"), "");
}

TEST_F(RestoreTest, ASetMayDescribeNoMoreFilesThanADatabaseCanHave)
{
    const std::string content = Standin::BuildDatabaseFromScript([&] {
        WriteText(Root / "one.sql", Script("many"));
        return (Root / "one.sql").string();
    }());
    std::vector<TBackupFileInfo> files{File("Many_Data", "D", "C:\\d\\m.mdf")};
    while (files.size() < Standin::MaxFilesPerSet) {
        files.push_back(File("Many_" + std::to_string(files.size()), "L", "C:\\d\\m" + std::to_string(files.size()) + ".ldf"));
    }
    const std::string most = (Work / "most.bak").string();
    WriteText(most, MediaBytes(files, content));
    EXPECT_EQ(Rows(*Master, "RESTORE FILELISTONLY FROM DISK='" + most + "'", {"LogicalName"}).size(),
              Standin::MaxFilesPerSet);
    // Media of the first format, which knew no backup types, holds full sets.
    EXPECT_EQ(Rows(*Master, "RESTORE HEADERONLY FROM DISK='" + most + "'", {"BackupType", "FirstLSN", "BindingID"}),
              (std::vector<std::vector<std::string>>{{"1", "", ""}}));

    files.push_back(File("Many_Last", "L", "C:\\d\\last.ldf"));
    const std::string tooMany = (Work / "toomany.bak").string();
    WriteText(tooMany, MediaBytes(files, content));
    EXPECT_EQ(Restore("RESTORE HEADERONLY FROM DISK='" + tooMany + "'"),
              "The media family on device '" + tooMany +
                  "' is incorrectly formed. SQL Server cannot process this media family.");

    // Nor does the tool write such a set.
    Standin::TBackupSetInfo set;
    set.DatabaseName = "UFDATA";
    set.Files = files;
    WriteText((Work / "refused.content").string(), content);
    EXPECT_THROW(Standin::WriteBackupSetFromFile((Work / "refused.bak").string(), set,
                                                 (Work / "refused.content").string(), false),
                 Standin::EBackupMediaError);
    EXPECT_FALSE(std::filesystem::exists(Work / "refused.bak"));
}

// What a real server refuses, played through the server directory's knobs and
// the backup tool's options; the number is SQL Server's own, as its
// documentation lists it, and reaches the client on the provider error.
TEST_F(RestoreTest, EachRefusalOfARealServerReachesTheClientWithItsNumber)
{
    struct statvfs room {};
    ASSERT_EQ(::statvfs(WorkDir.c_str(), &room), 0);
    const std::string beyondFree = std::to_string(static_cast<unsigned long long>(room.f_bavail) * room.f_frsize +
                                                  (1ull << 30));
    const std::string account = "NT AUTHORITY\\NETWORK SERVICE\n";
    const std::string media = (Work / "u.bak").string();
    const std::string header = "RESTORE HEADERONLY FROM DISK='" + media + "'";
    const std::string label = "RESTORE LABELONLY FROM DISK='" + media + "'";
    const std::string restore = PluginRestore(media, 1, "UFDATA_Data", "UFDATA_Log");
    const std::string sized = " --file UFDATA_Log:L:" + WorkDir + "ufdata.ldf --file UFDATA_Data:D:" + WorkDir +
                              "ufdata.mdf:";
    const struct {
        const char* Knob;
        std::string Content;
        std::string Options;
        std::string Statement;
        int Number;  // 0: answered
    } rows[] = {
        {"account", account + "deny " + media + "\n", "", header, 3201},
        {"account", account + "deny " + WorkDir + "\n", "", restore, 5133},
        {"version", "8.00.2039", "--server-version 9.00.1399", restore, 3169},
        {"version", "8.00.2039", "--server-version 9.00.1399", header, 0},
        {"version", "11.0.2100.60", "", restore, 3169},
        {"version", "10.50.1600", "--server-version 10.0.1600", restore, 0},
        {"version", "10.00.1600", "--server-version 10.00.5500", restore, 0},
        {"edition", "express", sized + "2147483649", restore, 1827},
        {"version", "9.00.5000", sized + beyondFree, restore, 3257},
        {"version", "9.00.5000", "--compressed", header, 3241},
        {"version", "10.00.1600", "--compressed --server-version 10.00.1600", restore, 0},
        {"service", "running", "--families 2", restore, 3132},
        {"service", "running", "--families 2", label, 0},
        {"service", "running", "", "RESTORE FILELISTONLY FROM DISK='" + (Work / "ufdatawk.temp").string() + "'", 3241},
        {"service", "running", "--password pw", label, 3279},
        {"service", "running", "--password pw", label + " WITH MEDIAPASSWORD='pw'", 0},
        {"version", "10.00.1600", "--server-version 10.00.1600 --encrypted 0x1A2B", restore, 33111},
        // A pipe where the media should be is refused at once, never waited on.
        {"service", "running", "", "RESTORE HEADERONLY FROM DISK='" + (Work / "pipe.bak").string() + "'", 3201},
    };
    ASSERT_EQ(::mkfifo((Work / "pipe.bak").c_str(), 0600), 0);
    const std::string script = (Root / "u.sql").string();
    WriteText(script, Script("u"));
    WriteText(Work / "ufdatawk.temp", "not backup media");
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.Knob) + " " + row.Options + ": " + row.Statement);
        for (const char* knob : {"account", "version", "edition"}) std::filesystem::remove(Root / "server" / knob);
        WriteText(Root / "server" / row.Knob, row.Content);
        std::filesystem::remove(media);
        ASSERT_EQ(std::system(("'" VELMORA_BACKUP_TOOL "' create '" + media + "' --database UFDATA --script '" +
                               script + "' " + row.Options + " >/dev/null 2>&1")
                                  .c_str()),
                  0);
        int number = 0;
        try {
            Exec(*Master, row.Statement);
        } catch (const Standin::EServerError& error) {
            // What any client of the provider sees.
            const EProviderError& provider = error;
            number = provider.Number() != 0 ? provider.Number() : -1;
            // The server closes every failed RESTORE with 3013.
            EXPECT_EQ(error.Following().empty() ? 0 : error.Following().back().Number, 3013);
        } catch (const EProviderError&) {
            number = -1;
        }
        EXPECT_EQ(number, row.Number);
        if (number != 0) {
            EXPECT_TRUE(std::filesystem::is_empty(WorkDir));
        }
        if (number == 0 && row.Statement == restore) Exec(*Master, "DROP DATABASE ufdata");
    }
    WriteText(Root / "server" / "edition", "express");
    EXPECT_EQ(Rows(*Master, "SELECT SERVERPROPERTY('EngineEdition') AS E", {"E"}).at(0).at(0), "4");

    // Each release answers with the columns it has.
    const auto answers = [&](const std::string& statement, const std::string& column) {
        try {
            return !Rows(*Master, statement, {column}).empty();
        } catch (const EVelmoraError&) {
            return false;
        }
    };
    const std::string fileList = "RESTORE FILELISTONLY FROM DISK='" + media + "'";
    WriteText(Root / "server" / "version", "9.00.5000");
    EXPECT_TRUE(answers(header, "BackupSetGUID"));
    EXPECT_FALSE(answers(header, "CompressedBackupSize"));
    WriteText(Root / "server" / "version", "10.00.1600");
    EXPECT_TRUE(answers(header, "CompressedBackupSize"));
    EXPECT_TRUE(answers(fileList, "TDEThumbprint"));
}

}  // namespace
}  // namespace Velmora::StandinTests
