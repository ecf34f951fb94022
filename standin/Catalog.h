#pragma once
// The master catalog: an SQLite file in the server directory holding the
// server's own tables, sysdatabases (one row per database, status bit 512 =
// offline) and sysaltfiles (every file of every database).

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "standin/BackupMedia.h"
#include "standin/Sqlite.h"

namespace Velmora::Standin {

constexpr long long StatusOffline = 512;

struct TDatabaseFile {
    std::string LogicalName;
    std::string PhysicalName;
    std::string Type;  // "D" or "L"
    std::string FileGroupName;
    long long Size = 0;
};

struct TDatabaseEntry {
    long long DbId = 0;
    std::string Name;
    std::string FileName;  // the data file: an SQLite database
    long long Status = 0;
    std::vector<TDatabaseFile> Files;
    bool Offline() const { return (Status & StatusOffline) != 0; }
    bool IsMaster() const { return DbId == 1; }
};

struct TFileOwner {
    long long DbId = 0;
    std::string Name;
};

class TCatalog {
public:
    // Creates the directory and the catalog when they are missing.
    explicit TCatalog(const std::string& serverDirectory);

    TSqliteDatabase& Database() { return FDatabase; }
    // Name matched without regard to case.
    std::optional<TDatabaseEntry> Find(const std::string& name);
    // Every file of every database, and the companions SQLite keeps beside it, by
    // its resolved name (see ResolveServerPath), with the database owning it.
    std::unordered_map<std::string, TFileOwner> FileOwners();
    // The database that owns a file or one of its companions, if any; the path is
    // resolved first, so spellings of one file meet.
    std::optional<TDatabaseEntry> OwnerOfFile(const std::string& path);
    // files[first data file] becomes the database's filename.
    void Register(const std::string& name, const std::vector<TDatabaseFile>& files);
    // Removes the entry replaced (when given) and registers the new one in one
    // transaction: the catalog shows either the old database or the new.
    void Replace(const std::optional<std::string>& replaced, const std::string& name,
                 const std::vector<TDatabaseFile>& files);
    void SetOffline(const std::string& name, bool offline);
    // Those of the entry's files that the stand-in placed itself, the only ones it may delete.
    std::vector<TDatabaseFile> FilesItPlaced(const TDatabaseEntry& entry);
    void Remove(const std::string& name);

private:
    TSqliteDatabase FDatabase;
    std::string FServerDirectory;

    void Insert(const std::string& name, const std::vector<TDatabaseFile>& files);
    void Delete(const std::string& name);
};

// Creates the catalog tables and the row of master when they are missing.
void PrepareCatalogSchema(TSqliteDatabase& db, const std::string& catalogPath);

}  // namespace Velmora::Standin
