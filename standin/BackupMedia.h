#pragma once
// The stand-in's backup media: one file holding any number of backup sets, each
// appended after the last. Layout (all integers little-endian):
//   media header  "VLMRMDA1", u32 format version, u32 reserved
//   per set       "VLMRSET1", u32 metadata length, u64 content length,
//                 u32 CRC-32 of the metadata, u32 CRC-32 of the content,
//                 u32 CRC-32 of the 28 bytes before it; then metadata, then content
// The content is the database itself (an SQLite file). Anything that does not
// follow this layout to the last byte is damaged media. The metadata starts with
// its own version: 1 ends with the file list; 2 adds the backup type, the four
// LSNs and the two GUIDs; 3 adds the writing server's version, compression and
// the media family count; 4 the media password and the encryption thumbprint
// (see EncodeMetadata). All are read.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "standin/ServerKnobs.h"

namespace Velmora::Standin {

struct TBackupFileInfo {
    std::string LogicalName;
    std::string PhysicalName;
    std::string Type;  // "D" data, "L" log
    std::string FileGroupName;
    std::int64_t Size = 0;  // as the database allocated it, whatever the backup holds
    std::int64_t MaxSize = 35184372080640;  // what the server reports for "unlimited"
};

struct TBackupSetInfo {
    std::string DatabaseName;
    std::string BackupName;
    std::string BackupDescription;
    std::string ServerName;
    std::string MachineName;
    std::string UserName;
    std::int64_t DatabaseVersion = 539;
    std::string DatabaseCreationDate;  // "YYYY-MM-DD hh:mm:ss.mmm"
    std::string BackupStartDate;
    std::string BackupFinishDate;
    std::vector<TBackupFileInfo> Files;
    // What the set holds, as the server numbers it (BackupType* below).
    int BackupType = 1;
    // Where the set lies in the database's log, given when it is written:
    // a log set starts where the previous set ended, a differential one names
    // the full set it builds on. Media of the first format gives none (0).
    std::int64_t FirstLsn = 0;
    std::int64_t LastLsn = 0;
    std::int64_t CheckpointLsn = 0;
    std::int64_t DatabaseBackupLsn = 0;
    // "{…}" GUIDs of the database and its recovery path; empty in media of the first format.
    std::string BindingId;
    std::string RecoveryForkId;
    // The release of SQL Server that wrote the set (media before the third
    // format: 8.00.2039), whether it compressed it, and of how many media
    // families (stripes) the media set is made; the stand-in writes one.
    TServerVersion SoftwareVersion;
    bool Compressed = false;
    int FamilyCount = 1;
    // Media written WITH MEDIAPASSWORD: every RESTORE from it must name the
    // password. The stand-in's media protects nothing; it only plays the refusal.
    std::string MediaPassword;
    // "0x…" of the certificate that encrypted the database (TDE); empty when none.
    std::string TdeThumbprint;

    // Known once the set has been read back.
    int Position = 0;
    std::int64_t BackupSize = 0;
    std::int64_t ContentOffset = 0;
    std::int64_t ContentSize = 0;
    std::uint32_t ContentCrc = 0;
};

constexpr int BackupTypeFull = 1;
constexpr int BackupTypeLog = 2;
constexpr int BackupTypeDifferential = 5;

class EBackupMediaError : public std::runtime_error {
public:
    enum class TReason { CannotOpen, Malformed, CannotWrite };
    EBackupMediaError(TReason reason, const std::string& message) : std::runtime_error(message), FReason(reason) {}
    TReason Reason() const { return FReason; }

private:
    TReason FReason;
};

std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

// The most files one set may describe, as many as a database can have.
constexpr std::uint32_t MaxFilesPerSet = 32767;
// The most devices one media set may span.
constexpr std::uint32_t MaxMediaFamilies = 64;

// Every set's description, in order; the contents are not read (see CopyBackupContent).
std::vector<TBackupSetInfo> ReadBackupMedia(const std::string& path);
// Writes one set's content to a new file at target, a chunk at a time, so that
// memory stays the same whatever size the set claims. Raises EBackupMediaError
// when the content is not a whole SQLite database or its checksum differs (the
// target may then hold part of it: the caller writes to a temporary name), and
// std::system_error when the target cannot be written. onChunk, when given, is
// called after every chunk, so a long copy can keep its caller answering.
void CopyBackupContent(const std::string& path, const TBackupSetInfo& set, const std::string& target,
                       const std::function<void()>& onChunk = {});
// Adds a set (append = true) or makes new media holding only this set, its
// content read from the file contentFile a chunk at a time, so that memory stays
// the same whatever the size of the database. The set's place in the log (LSNs,
// GUIDs) follows the sets before it. The media is written to a temporary file
// beside it and then renamed, so existing media is never left half-written.
void WriteBackupSetFromFile(const std::string& path, const TBackupSetInfo& set, const std::string& contentFile,
                            bool append);

// "YYYY-MM-DD hh:mm:ss.mmm" of the local time now.
std::string NowAsDateText();

}  // namespace Velmora::Standin
