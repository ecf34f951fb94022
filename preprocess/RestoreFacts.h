#pragma once
// What the restore learns of the backup and of the server before it touches the
// old UFDATA, and the rules that tell from it whether the server would refuse.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Database.h"

namespace Velmora {

// Message numbers of the server's refusals that the run explains in its own words.
namespace ServerError {
constexpr int EditionSizeLimit = 1827;      // the edition's cap on a database's size
constexpr int MediaFamilyMissing = 3132;    // one stripe of a striped media set
constexpr int IncompatibleVersion = 3169;   // set written by a newer (or much older) server
constexpr int CannotOpenBackup = 3201;      // the server's account cannot read the backup
constexpr int MediaIncorrectlyFormed = 3241; // damaged media, or compressed for a server before 10.0
constexpr int InsufficientSpace = 3257;     // not enough room for the database's files
constexpr int MediaPassword = 3279;         // media protected by a password
constexpr int DirectoryLookupFailed = 5133; // the server's account cannot reach a target folder
constexpr int CertificateNotFound = 33111;  // an encrypted backup without its certificate here
}  // namespace ServerError

// A column of the current row; one that this server's release does not give reads
// as Null, since older releases answer with fewer columns.
TFieldValue ColumnOrNull(const IQuery& query, const char* name);

// A version as the server gives it: "8.00.2039", "10.50.1600.1".
struct TServerVersion {
    int Major = 0;
    int Minor = 0;
    int Build = 0;

    static TServerVersion Parse(const std::string& text);
    bool Known() const { return Major != 0; }
    // "8.00.2039", as SQL Server writes its versions.
    std::string Text() const;
};

// Whether a server of this version restores a set written by that one: never a
// newer set; from 2005 on, nothing older than the oldest version it can upgrade.
bool RestoresSetFrom(const TServerVersion& server, const TServerVersion& set);
// The cap an Express (MSDE) edition of this version puts on a database's data, in bytes.
std::int64_t ExpressSizeCap(const TServerVersion& server);

struct TBackupSetHeader {
    std::string Position;
    std::string DatabaseName;
    TServerVersion Version;  // of the server that wrote the set; unknown when the header lacks it
    bool Compressed = false;
    bool Encrypted = false;
};

struct TBackupFile {
    std::string LogicalName;
    std::string Type;
    std::int64_t Size = 0;  // the size it had on the server that wrote it; 0 when not given
};

struct TRestoreFacts {
    TServerVersion Server;
    bool Express = false;
    TBackupSetHeader Set;
    int Families = 1;             // of the media set, as its label gives it
    std::vector<TBackupFile> Files;
    std::int64_t Needed = 0;      // every file of the set, less the files it replaces
    std::int64_t DataSize = 0;    // what the edition's cap counts: the data files
    std::int64_t Free = -1;       // on the work folder's volume; -1 when unknown
};

// The volume a folder lies on as a user names it (a drive such as D:\ or a share
// such as \\server\share\ ), or the folder itself where paths name no volume.
std::string VolumeOf(const std::string& folder);

}  // namespace Velmora
