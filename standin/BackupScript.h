#pragma once
// Making backup media for the stand-in from an SQL script (SQLite's dialect), and
// listing it: the work of the velmora-backup tool, kept here so it can be tested.

#include <stdexcept>
#include <string>
#include <vector>

#include "standin/BackupMedia.h"

namespace Velmora::Standin {

// A failure the tool reports as it stands (the message names the file and line).
class EBackupToolError : public std::runtime_error {
public:
    explicit EBackupToolError(const std::string& message) : std::runtime_error(message) {}
};

struct TCreateBackupOptions {
    std::string Media;
    std::string Database;
    std::string Script;
    std::string FromSqlite;  // instead of Script: an SQLite database taken as it is
    std::string BackupName;  // empty: "<database> backup"
    bool Append = false;
    int BackupType = BackupTypeFull;  // BackupTypeFull, BackupTypeDifferential or BackupTypeLog
    // Empty: <database>_Data (D) and <database>_Log (L) in the server's default data folder.
    std::vector<TBackupFileInfo> Files;
    // What the set says of the server that wrote it and of its media.
    TServerVersion ServerVersion;
    bool Compressed = false;
    int FamilyCount = 1;
    std::string MediaPassword;
    std::string TdeThumbprint;  // "0x" and hex digits
};

// "LOGICAL:TYPE:PHYSICAL[:SIZE]", type D or L, SIZE in bytes; without it (Size 0)
// the set gets the file's real size. The physical name may hold colons itself.
TBackupFileInfo ParseFileOption(const std::string& text);

// The database the script builds, as the bytes of an SQLite file.
std::string BuildDatabaseFromScript(const std::string& scriptPath);

// Runs the script (or copies the SQLite database) and writes the set; existing
// media is replaced (or, with Append, extended) only once everything has succeeded.
void CreateBackupSet(const TCreateBackupOptions& options);

// The sets of the media as a table with a heading line.
std::string FormatBackupList(const std::vector<TBackupSetInfo>& sets);

}  // namespace Velmora::Standin
