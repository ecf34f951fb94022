// What only SQLite would run, and changes to the server's catalogs, are refused
// with the server's own message numbers, as the plug-in's connection sees them.

#include <sqlite3.h>

#include "StandinTestSupport.h"

namespace Velmora::StandinTests {
namespace {

class RefusalTest : public TStandinTest {};

// The number of the error the statement fails with; 0 when it runs.
int ErrorNumber(IConnection& connection, const std::string& statement)
{
    try {
        auto command = connection.CreateCommand();
        command->SetCommandText(statement);
        command->Execute();
    } catch (const EProviderError& error) {
        return error.Number() != 0 ? error.Number() : -1;
    }
    return 0;
}

TEST_F(RefusalTest, SqliteOnlyStatementsAndCatalogChangesGetTheServersErrors)
{
    auto master = Connect(MasterConnection);
    Exec(*master, "CREATE DATABASE books");
    auto books = Connect(ConnectionTo("books"));
    Exec(*books, "CREATE TABLE t (a int)");
    const struct {
        IConnection& Connection;
        std::string Statement;
        int Number;
    } cases[] = {
        {*master, "select name from sysdatabases where name = 'books'", 0},
        {*master, "UPDATE sysdatabases SET status = 0", 259},
        {*master, "insert into sysaltfiles (dbid, fileid, name, filename, type) values (9, 1, 'x', '/etc/x', 'D')", 259},
        {*master, "DELETE FROM sysaltfiles", 259},
        {*master, "DROP TABLE sysdatabases", 259},
        {*master, "DELETE FROM velmora_files", 259},
        {*books, "insert into t values (1); select count(*), isnull(sum(a), 0), max(upper('x')) from t", 0},
        {*books, "PRAGMA writable_schema = ON", 102},
        {*books, "ATTACH DATABASE 'other.db' AS other", 102},
        {*books, "select 1; VACUUM", 102},
        {*books, "CREATE VIRTUAL TABLE v USING fts4(x)", 102},
        {*books, "INSERT OR REPLACE INTO t VALUES (2)", 102},
        {*books, std::string("select 1 as a\0; DETACH main", 26), 102},
        {*books, "select fts3_tokenizer('simple')", 195},
        {*books, "select load_extension('x.so')", 195},
        {*books, "select a from t where sqlite_version() > ''", 195},
        {*books, "select printf('%d', a) from t", 195},
        {*books, "select * from pragma_database_list", 208},
        {*books, "select * from json_each('[1]')", 208},
    };
    for (const auto& refusal : cases) {
        EXPECT_EQ(ErrorNumber(refusal.Connection, refusal.Statement), refusal.Number) << refusal.Statement;
    }
}

// A catalog row may name any file (an older stand-in's, say); DROP deletes only those the stand-in placed.
TEST_F(RefusalTest, DropDeletesOnlyTheFilesTheStandinPlaced)
{
    auto master = Connect(MasterConnection);
    Exec(*master, "CREATE DATABASE books");
    const std::filesystem::path foreign = Work / "not-the-servers.txt";
    WriteText(foreign, "kept");
    sqlite3* catalog = nullptr;
    ASSERT_EQ(sqlite3_open((std::filesystem::path(ServerDir) / "master.db").c_str(), &catalog), SQLITE_OK);
    const std::string addFile = "INSERT INTO sysaltfiles (dbid, fileid, name, filename, type) SELECT dbid, 9, 'x', '" +
                                foreign.string() + "', 'L' FROM sysdatabases WHERE name = 'books'";
    EXPECT_EQ(sqlite3_exec(catalog, addFile.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(catalog);
    Exec(*master, "DROP DATABASE books");
    EXPECT_EQ(ReadBytes(foreign), "kept");
}

}  // namespace
}  // namespace Velmora::StandinTests
