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

std::string ServiceStatePath(const std::string& serverDirectory)
{
    return (std::filesystem::path(serverDirectory) / "service").string();
}

std::vector<std::string> ServerOwnFiles(const std::string& serverDirectory)
{
    const std::string catalog = ResolveServerPath(serverDirectory, CatalogPath(serverDirectory));
    const std::string service = ResolveServerPath(serverDirectory, ServiceStatePath(serverDirectory));
    std::vector<std::string> files{catalog, service, service + ".tmp"};
    for (const char* companion : CompanionSuffixes) files.push_back(catalog + companion);
    return files;
}

std::string ResolveServerPath(const std::string& serverDirectory, const std::string& fileName)
{
    namespace fs = std::filesystem;
    if (fileName.empty()) return fileName;
    if (IsWindowsPath(fileName)) return fileName;
    std::error_code error;
    fs::path path(fileName);
    if (!path.is_absolute()) path = fs::path(serverDirectory) / path;
    path = fs::absolute(path, error);
    if (error) path = fs::path(serverDirectory) / fileName;
    const fs::path canonical = fs::weakly_canonical(path, error);
    return (error ? path.lexically_normal() : canonical).string();
}

bool FolderOfFileExists(const std::string& resolvedPath)
{
    if (IsWindowsPath(resolvedPath)) return false;
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
            " PRIMARY KEY (dbid, fileid));"
            // The files the stand-in itself placed (CREATE DATABASE, RESTORE): the
            // only ones DROP DATABASE deletes, whatever else a catalog row names.
            "CREATE TABLE IF NOT EXISTS velmora_files (filename TEXT PRIMARY KEY);");
        TSqliteStatement master(db.Handle(),
                                "INSERT OR IGNORE INTO sysdatabases (name, dbid, status, filename) VALUES ('master', 1, 8, ?)");
        master.Bind(1, catalogPath);
        master.Step();
    });
}

TCatalog::TCatalog(const std::string& serverDirectory) : FServerDirectory(serverDirectory)
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

std::unordered_map<std::string, TFileOwner> TCatalog::FileOwners()
{
    // Names written by an earlier version may be spelled otherwise; they are
    // resolved here as the new ones were before being stored.
    std::unordered_map<std::string, TFileOwner> owners;
    TSqliteStatement rows(FDatabase.Handle(),
                          "SELECT d.dbid, d.name, d.filename FROM sysdatabases d"
                          " UNION ALL SELECT d.dbid, d.name, f.filename FROM sysaltfiles f"
                          " JOIN sysdatabases d ON d.dbid = f.dbid");
    while (rows.Step()) {
        const TFileOwner owner{rows.Integer(0), rows.Text(1)};
        const std::string path = ResolveServerPath(FServerDirectory, rows.Text(2));
        owners.emplace(path, owner);
        for (const char* companion : CompanionSuffixes) owners.emplace(path + companion, owner);
    }
    return owners;
}

std::optional<TDatabaseEntry> TCatalog::OwnerOfFile(const std::string& path)
{
    const auto owners = FileOwners();
    const auto found = owners.find(ResolveServerPath(FServerDirectory, path));
    if (found == owners.end()) return std::nullopt;
    TSqliteStatement row(FDatabase.Handle(), "SELECT dbid, name, filename, status FROM sysdatabases WHERE dbid = ?");
    row.Bind(1, found->second.DbId);
    if (!row.Step()) return std::nullopt;
    return ReadEntry(FDatabase, row);
}

void TCatalog::Register(const std::string& name, const std::vector<TDatabaseFile>& files)
{
    InTransaction(FDatabase, [&] { Insert(name, files); });
}

void TCatalog::Replace(const std::optional<std::string>& replaced, const std::string& name,
                       const std::vector<TDatabaseFile>& files)
{
    InTransaction(FDatabase, [&] {
        if (replaced) Delete(*replaced);
        Insert(name, files);
    });
}

void TCatalog::Insert(const std::string& name, const std::vector<TDatabaseFile>& files)
{
    std::string dataFile;
    for (const TDatabaseFile& file : files) {
        if (file.Type == "D") {
            dataFile = file.PhysicalName;
            break;
        }
    }
    TSqliteStatement insert(FDatabase.Handle(),
                            "INSERT INTO sysdatabases (name, dbid, filename)"
                            " VALUES (?, (SELECT max(coalesce(max(dbid), 0), 4) + 1 FROM sysdatabases), ?)");
    insert.Bind(1, name);
    insert.Bind(2, dataFile);
    insert.Step();
    const long long dbid = sqlite3_last_insert_rowid(FDatabase.Handle());
    long long fileId = 0;
    TSqliteStatement add(FDatabase.Handle(),
                         "INSERT INTO sysaltfiles (dbid, fileid, name, filename, type, filegroup, size)"
                         " VALUES (?, ?, ?, ?, ?, ?, ?)");
    for (const TDatabaseFile& file : files) {
        add.Reset();
        add.Bind(1, dbid);
        add.Bind(2, ++fileId);
        add.Bind(3, file.LogicalName);
        add.Bind(4, file.PhysicalName);
        add.Bind(5, file.Type);
        add.Bind(6, file.FileGroupName);
        add.Bind(7, file.Size);
        add.Step();
    }
    TSqliteStatement placed(FDatabase.Handle(), "INSERT OR IGNORE INTO velmora_files (filename) VALUES (?)");
    for (const TDatabaseFile& file : files) {
        placed.Reset();
        placed.Bind(1, file.PhysicalName);
        placed.Step();
    }
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
    InTransaction(FDatabase, [&] { Delete(name); });
}

std::vector<TDatabaseFile> TCatalog::FilesItPlaced(const TDatabaseEntry& entry)
{
    std::vector<TDatabaseFile> placed;
    TSqliteStatement known(FDatabase.Handle(), "SELECT 1 FROM velmora_files WHERE filename = ?");
    for (const TDatabaseFile& file : entry.Files) {
        known.Reset();
        known.Bind(1, file.PhysicalName);
        if (known.Step()) placed.push_back(file);
    }
    return placed;
}

void TCatalog::Delete(const std::string& name)
{
    TSqliteStatement placed(FDatabase.Handle(),
                            "DELETE FROM velmora_files WHERE filename IN (SELECT f.filename FROM sysaltfiles f"
                            " JOIN sysdatabases d ON d.dbid = f.dbid WHERE d.name = ?)");
    placed.Bind(1, name);
    placed.Step();
    TSqliteStatement files(FDatabase.Handle(),
                           "DELETE FROM sysaltfiles WHERE dbid IN (SELECT dbid FROM sysdatabases WHERE name = ?)");
    files.Bind(1, name);
    files.Step();
    TSqliteStatement row(FDatabase.Handle(), "DELETE FROM sysdatabases WHERE name = ?");
    row.Bind(1, name);
    row.Step();
}

}  // namespace Velmora::Standin
