#include "standin/BackupHeaders.h"

#include <string>
#include <utility>

namespace Velmora::Standin {

namespace {

TFieldValue Text(const std::string& text) { return TFieldValue::FromText(text); }
TFieldValue Integer(long long value) { return TFieldValue::FromInteger(value); }

TFieldValue TextOrNull(const std::string& text) { return text.empty() ? TFieldValue::Null() : Text(text); }

// Each release adds columns to what the one before it answered; a server shows
// those up to its own release, in their order. Since: major * 100 + minor.
struct TColumn {
    const char* Name;
    int Since;
};

int ReleaseCode(const TServerVersion& version) { return version.Major * 100 + version.Minor; }

TResultSet Versioned(const std::vector<TColumn>& columns, const TServerVersion& server,
                     const std::vector<std::vector<TFieldValue>>& fullRows)
{
    TResultSet result;
    std::vector<std::size_t> shown;
    for (std::size_t c = 0; c < columns.size(); ++c) {
        if (columns[c].Since > ReleaseCode(server)) continue;
        shown.push_back(c);
        result.Columns.push_back(columns[c].Name);
    }
    for (const std::vector<TFieldValue>& full : fullRows) {
        std::vector<TFieldValue> row;
        row.reserve(shown.size());
        for (const std::size_t c : shown) row.push_back(full[c]);
        result.Rows.push_back(std::move(row));
    }
    return result;
}

constexpr int Release2000 = 800;
constexpr int Release2005 = 900;
constexpr int Release2008 = 1000;
constexpr int Release2012 = 1100;
constexpr int Release2014 = 1200;
constexpr int Release2016 = 1300;
constexpr int Release2022 = 1600;
constexpr long long Microsoft = 4608;

std::string BackupTypeDescription(int type)
{
    if (type == BackupTypeLog) return "Transaction Log";
    if (type == BackupTypeDifferential) return "Database Differential";
    return "Database";
}

}  // namespace

// The server's own settings are those of a Chinese (PRC) installation.
TResultSet HeaderRows(const TServerVersion& server, const std::vector<TBackupSetInfo>& sets)
{
    static const std::vector<TColumn> columns = {
        {"BackupName", Release2000}, {"BackupDescription", Release2000}, {"BackupType", Release2000},
        {"ExpirationDate", Release2000}, {"Compressed", Release2000}, {"Position", Release2000},
        {"DeviceType", Release2000}, {"UserName", Release2000}, {"ServerName", Release2000},
        {"DatabaseName", Release2000}, {"DatabaseVersion", Release2000}, {"DatabaseCreationDate", Release2000},
        {"BackupSize", Release2000}, {"FirstLSN", Release2000}, {"LastLSN", Release2000},
        {"CheckpointLSN", Release2000}, {"DatabaseBackupLSN", Release2000}, {"BackupStartDate", Release2000},
        {"BackupFinishDate", Release2000}, {"SortOrder", Release2000}, {"CodePage", Release2000},
        {"UnicodeLocaleId", Release2000}, {"UnicodeComparisonStyle", Release2000}, {"CompatibilityLevel", Release2000},
        {"SoftwareVendorId", Release2000}, {"SoftwareVersionMajor", Release2000},
        {"SoftwareVersionMinor", Release2000}, {"SoftwareVersionBuild", Release2000}, {"MachineName", Release2000},
        {"Flags", Release2000}, {"BindingID", Release2000}, {"RecoveryForkID", Release2000},
        {"Collation", Release2000}, {"FamilyGUID", Release2005}, {"HasBulkLoggedData", Release2005},
        {"IsSnapshot", Release2005}, {"IsReadOnly", Release2005}, {"IsSingleUser", Release2005},
        {"HasBackupChecksums", Release2005}, {"IsDamaged", Release2005}, {"BeginsLogChain", Release2005},
        {"HasIncompleteMetaData", Release2005}, {"IsForceOffline", Release2005}, {"IsCopyOnly", Release2005},
        {"FirstRecoveryForkID", Release2005}, {"ForkPointLSN", Release2005}, {"RecoveryModel", Release2005},
        {"DifferentialBaseLSN", Release2005}, {"DifferentialBaseGUID", Release2005},
        {"BackupTypeDescription", Release2005}, {"BackupSetGUID", Release2005},
        {"CompressedBackupSize", Release2008}, {"Containment", Release2012}, {"KeyAlgorithm", Release2014},
        {"EncryptorThumbprint", Release2014}, {"EncryptorType", Release2014},
        {"LastValidRestoreTime", Release2022}, {"TimeZone", Release2022}, {"CompressionAlgorithm", Release2022}};
    constexpr long long DeviceDisk = 2;
    constexpr long long ChinesePrc = 2052;
    constexpr long long IgnoreCaseKanaWidth = 196609;
    const TFieldValue null = TFieldValue::Null();
    std::vector<std::vector<TFieldValue>> rows;
    for (const TBackupSetInfo& set : sets) {
        // Media of the first format knows no LSNs; the server never gives 0 for them.
        const auto lsn = [&](std::int64_t value) { return value > 0 ? Integer(value) : null; };
        const TServerVersion& writer = set.SoftwareVersion;
        const bool differential = set.BackupType == BackupTypeDifferential;
        rows.push_back({Text(set.BackupName), TextOrNull(set.BackupDescription), Integer(set.BackupType), null,
                        Integer(set.Compressed ? 1 : 0), Integer(set.Position), Integer(DeviceDisk),
                        Text(set.UserName), Text(set.ServerName), Text(set.DatabaseName), Integer(set.DatabaseVersion),
                        Text(set.DatabaseCreationDate), Integer(set.BackupSize), lsn(set.FirstLsn), lsn(set.LastLsn),
                        lsn(set.CheckpointLsn), lsn(set.DatabaseBackupLsn), Text(set.BackupStartDate),
                        Text(set.BackupFinishDate), Integer(0), Integer(936), Integer(ChinesePrc),
                        Integer(IgnoreCaseKanaWidth), Integer(writer.Major * 10), Integer(Microsoft),
                        Integer(writer.Major), Integer(writer.Minor), Integer(writer.Build), Text(set.MachineName),
                        Integer(0), TextOrNull(set.BindingId), TextOrNull(set.RecoveryForkId),
                        Text("Chinese_PRC_CI_AS"), TextOrNull(set.BindingId), Integer(0), Integer(0), Integer(0),
                        Integer(0), Integer(0), Integer(0), Integer(set.BackupType == BackupTypeLog ? 1 : 0),
                        Integer(0), Integer(0), Integer(0), TextOrNull(set.RecoveryForkId), null, Text("SIMPLE"),
                        differential ? lsn(set.DatabaseBackupLsn) : null, null,
                        Text(BackupTypeDescription(set.BackupType)), null, Integer(set.BackupSize), Integer(0), null,
                        null, null, null, null, set.Compressed ? Text("MS_XPRESS") : null});
    }
    return Versioned(columns, server, rows);
}

TResultSet FileListRows(const TServerVersion& server, const TBackupSetInfo& set)
{
    static const std::vector<TColumn> columns = {
        {"LogicalName", Release2000}, {"PhysicalName", Release2000}, {"Type", Release2000},
        {"FileGroupName", Release2000}, {"Size", Release2000}, {"MaxSize", Release2000},
        {"FileId", Release2005}, {"CreateLSN", Release2005}, {"DropLSN", Release2005},
        {"UniqueId", Release2005}, {"ReadOnlyLSN", Release2005}, {"ReadWriteLSN", Release2005},
        {"BackupSizeInBytes", Release2005}, {"SourceBlockSize", Release2005}, {"FileGroupId", Release2005},
        {"LogGroupGUID", Release2005}, {"DifferentialBaseLSN", Release2005}, {"DifferentialBaseGUID", Release2005},
        {"IsReadOnly", Release2005}, {"IsPresent", Release2005}, {"TDEThumbprint", Release2008},
        {"SnapshotUrl", Release2016}};
    constexpr long long SectorSize = 512;
    const TFieldValue null = TFieldValue::Null();
    std::vector<std::vector<TFieldValue>> rows;
    bool dataSeen = false;
    for (std::size_t k = 0; k < set.Files.size(); ++k) {
        const TBackupFileInfo& file = set.Files[k];
        // The database's content is carried by its first data file.
        const bool carrier = file.Type == "D" && !dataSeen;
        dataSeen = dataSeen || carrier;
        rows.push_back({Text(file.LogicalName), Text(file.PhysicalName), Text(file.Type),
                        file.FileGroupName.empty() ? null : Text(file.FileGroupName), Integer(file.Size),
                        Integer(file.MaxSize), Integer(static_cast<long long>(k + 1)), Integer(0), Integer(0), null,
                        Integer(0), Integer(0), Integer(carrier ? set.ContentSize : 0), Integer(SectorSize),
                        Integer(file.Type == "D" ? 1 : 0), null, null, null, Integer(0), Integer(1),
                        TextOrNull(set.TdeThumbprint), null});
    }
    return Versioned(columns, server, rows);
}

TResultSet LabelRows(const TServerVersion& server, const std::vector<TBackupSetInfo>& sets)
{
    static const std::vector<TColumn> columns = {
        {"MediaName", Release2000}, {"MediaSetId", Release2000}, {"FamilyCount", Release2000},
        {"FamilySequenceNumber", Release2000}, {"MediaFamilyId", Release2000}, {"MediaSequenceNumber", Release2000},
        {"MediaLabelPresent", Release2000}, {"MediaDescription", Release2000}, {"SoftwareName", Release2000},
        {"SoftwareVendorId", Release2000}, {"MediaDate", Release2000}, {"MirrorCount", Release2005},
        {"IsCompressed", Release2008}};
    const TFieldValue null = TFieldValue::Null();
    const TBackupSetInfo first = sets.empty() ? TBackupSetInfo() : sets.front();
    return Versioned(columns, server,
                     {{null, TextOrNull(first.BindingId), Integer(first.FamilyCount), Integer(1), null, Integer(1),
                       Integer(1), null, Text("Microsoft SQL Server"), Integer(Microsoft),
                       TextOrNull(first.BackupStartDate), Integer(1), Integer(first.Compressed ? 1 : 0)}});
}

}  // namespace Velmora::Standin
