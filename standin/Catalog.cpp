#include "standin/Catalog.h"

#include <filesystem>

#include "platform/Errors.h"
#include "standin/ServerFiles.h"

namespace Velmora::Standin {

std::string CatalogPath(const std::string& serverDirectory)
{
    return (std::filesystem::path(serverDirectory) / "master.db").string();
}

namespace {

// C:\… or \\server\…: a place on a Windows machine.
bool IsWindowsPath(const std::string& path)
{
    const bool drive = path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && (path[2] == '\\' || path[2] == '/');
    return drive || path.rfind("\\\\", 0) == 0;
}

}  // namespace

std::string ResolveServerPath(const std::string& serverDirectory, const std::string& fileName)
{
    const std::filesystem::path path(fileName);
    if (path.is_absolute() || fileName.empty() || IsWindowsPath(fileName)) return fileName;
    return (std::filesystem::path(serverDirectory) / path).string();
}

bool FolderOfFileExists(const std::string& resolvedPath)
{
#ifndef _WIN32
    if (IsWindowsPath(resolvedPath)) return false;
#endif
    const std::filesystem::path parent = std::filesystem::path(resolvedPath).parent_path();
    std::error_code error;
    return !parent.empty() && std::filesystem::is_directory(parent, error);
}

void PrepareCatalogSchema(TSqliteDatabase& db, const std::string& catalogPath)
{
    // Column names follow the server's own sysdatabases, so "select *" reads alike.
    InTransaction(db, [&] {
        db.Exec(
            "CREATE TABLE IF NOT EXISTS sysdatabases ("
            " name TEXT NOT NULL COLLATE NOCASE UNIQUE,"
            " dbid INTEGER PRIMARY KEY,"
            " sid BLOB, mode INTEGER NOT NULL DEFAULT 0,"
            " status INTEGER NOT NULL DEFAULT 0, status2 INTEGER NOT NULL DEFAULT 0,"
            " crdate TEXT NOT NULL DEFAULT (strftime('%Y-%m-%d %H:%M:%f','now','localtime')),"
            " reserved TEXT, category INTEGER NOT NULL DEFAULT 0, cmptlevel INTEGER NOT NULL DEFAULT 80,"
            " filename TEXT NOT NULL, version INTEGER NOT NULL DEFAULT 539);"
            "CREATE TABLE IF NOT EXISTS sysaltfiles ("
            " dbid INTEGER NOT NULL, fileid INTEGER NOT NULL,"
            " name TEXT NOT NULL COLLATE NOCASE, filename TEXT NOT NULL,"
            " type TEXT NOT NULL, filegroup TEXT, size INTEGER NOT NULL DEFAULT 0,"
            " PRIMARY KEY (dbid, fileid));");
        TSqliteStatement master(db.Handle(),
                                "INSERT OR IGNORE INTO sysdatabases (name, dbid, status, filename) VALUES ('master', 1, 8, ?)");
        master.Bind(1, catalogPath);
        master.Step();
    });
}

TCatalog::TCatalog(const std::string& serverDirectory)
{
    EnsureServerDirectory(serverDirectory);
    const std::string path = CatalogPath(serverDirectory);
    FDatabase = TSqliteDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    PrepareCatalogSchema(FDatabase, path);
}

namespace {

TDatabaseEntry ReadEntry(TSqliteDatabase& db, TSqliteStatement& row)
{
    TDatabaseEntry entry;
    entry.DbId = row.Integer(0);
    entry.Name = row.Text(1);
    entry.FileName = row.Text(2);
    entry.Status = row.Integer(3);
    TSqliteStatement files(db.Handle(),
                           "SELECT name, filename, type, filegroup, size FROM sysaltfiles WHERE dbid = ? ORDER BY fileid");
    files.Bind(1, entry.DbId);
    while (files.Step()) {
        entry.Files.push_back(
            TDatabaseFile{files.Text(0), files.Text(1), files.Text(2), files.Text(3), files.Integer(4)});
    }
    return entry;
}

}  // namespace

std::optional<TDatabaseEntry> TCatalog::Find(const std::string& name)
{
    TSqliteStatement row(FDatabase.Handle(), "SELECT dbid, name, filename, status FROM sysdatabases WHERE name = ?");
    row.Bind(1, name);
    if (!row.Step()) return std::nullopt;
    return ReadEntry(FDatabase, row);
}

std::optional<TDatabaseEntry> TCatalog::OwnerOfFile(const std::string& path)
{
    TSqliteStatement row(FDatabase.Handle(),
                         "SELECT d.dbid, d.name, d.filename, d.status FROM sysdatabases d"
                         " WHERE d.filename = ?1 OR d.dbid IN (SELECT dbid FROM sysaltfiles WHERE filename = ?1)");
    row.Bind(1, path);
    if (!row.Step()) return std::nullopt;
    return ReadEntry(FDatabase, row);
}

void TCatalog::Register(const std::string& name, const std::vector<TDatabaseFile>& files)
{
    std::string dataFile;
    for (const TDatabaseFile& file : files) {
        if (file.Type == "D") {
            dataFile = file.PhysicalName;
            break;
        }
    }
    InTransaction(FDatabase, [&] {
        TSqliteStatement insert(FDatabase.Handle(),
                                "INSERT INTO sysdatabases (name, dbid, filename)"
                                " VALUES (?, (SELECT max(coalesce(max(dbid), 0), 4) + 1 FROM sysdatabases), ?)");
        insert.Bind(1, name);
        insert.Bind(2, dataFile);
        insert.Step();
        const long long dbid = sqlite3_last_insert_rowid(FDatabase.Handle());
        long long fileId = 0;
        for (const TDatabaseFile& file : files) {
            TSqliteStatement add(FDatabase.Handle(),
                                 "INSERT INTO sysaltfiles (dbid, fileid, name, filename, type, filegroup, size)"
                                 " VALUES (?, ?, ?, ?, ?, ?, ?)");
            add.Bind(1, dbid);
            add.Bind(2, ++fileId);
            add.Bind(3, file.LogicalName);
            add.Bind(4, file.PhysicalName);
            add.Bind(5, file.Type);
            add.Bind(6, file.FileGroupName);
            add.Bind(7, file.Size);
            add.Step();
        }
    });
}

void TCatalog::SetOffline(const std::string& name, bool offline)
{
    TSqliteStatement update(FDatabase.Handle(), offline ? "UPDATE sysdatabases SET status = status | 512 WHERE name = ?"
                                                        : "UPDATE sysdatabases SET status = status & ~512 WHERE name = ?");
    update.Bind(1, name);
    update.Step();
}

void TCatalog::Remove(const std::string& name)
{
    InTransaction(FDatabase, [&] {
        TSqliteStatement files(FDatabase.Handle(),
                               "DELETE FROM sysaltfiles WHERE dbid IN (SELECT dbid FROM sysdatabases WHERE name = ?)");
        files.Bind(1, name);
        files.Step();
        TSqliteStatement row(FDatabase.Handle(), "DELETE FROM sysdatabases WHERE name = ?");
        row.Bind(1, name);
        row.Step();
    });
}

}  // namespace Velmora::Standin
