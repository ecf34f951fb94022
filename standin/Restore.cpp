#include "standin/Restore.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "platform/Errors.h"
#include "preprocess/TextUtils.h"
#include "standin/BackupMedia.h"
#include "standin/Catalog.h"
#include "standin/FileSwap.h"
#include "standin/ServerErrors.h"
#include "standin/ServerFiles.h"
#include "standin/StatementParser.h"

namespace Velmora::Standin {

namespace fs = std::filesystem;

namespace {

struct TMove {
    std::string LogicalName;
    std::string Target;
};

struct TRestoreOptions {
    long long File = 1;
    bool Replace = false;
    bool NoRecovery = false;
    std::vector<TMove> Moves;
};

TRestoreOptions ParseRestoreOptions(TParser& parser)
{
    TRestoreOptions options;
    if (!parser.AcceptWord("WITH")) {
        parser.ExpectEnd();
        return options;
    }
    do {
        if (parser.AcceptWord("FILE")) {
            parser.ExpectSymbol("=");
            options.File = parser.Number();
        } else if (parser.AcceptWord("MOVE")) {
            TMove move;
            move.LogicalName = parser.String();
            parser.ExpectWord("TO");
            move.Target = parser.String();
            options.Moves.push_back(move);
        } else if (parser.AcceptWord("REPLACE")) {
            options.Replace = true;
        } else if (parser.AcceptWord("RECOVERY")) {
            options.NoRecovery = false;
        } else if (parser.AcceptWord("NORECOVERY")) {
            options.NoRecovery = true;
        } else if (parser.AcceptWord("STATS")) {
            if (parser.AcceptSymbol("=")) parser.Number();
        } else if (parser.AcceptWord("MEDIANAME") || parser.AcceptWord("PASSWORD") ||
                   parser.AcceptWord("MEDIAPASSWORD")) {
            parser.ExpectSymbol("=");
            parser.String();
        } else if (parser.AcceptWord("NOUNLOAD") || parser.AcceptWord("UNLOAD") || parser.AcceptWord("REWIND") ||
                   parser.AcceptWord("NOREWIND") || parser.AcceptWord("RESTRICTED_USER") ||
                   parser.AcceptWord("CHECKSUM") || parser.AcceptWord("NO_CHECKSUM") ||
                   parser.AcceptWord("KEEP_REPLICATION") || parser.AcceptWord("STOP_ON_ERROR") ||
                   parser.AcceptWord("CONTINUE_AFTER_ERROR")) {
        } else {
            parser.SyntaxError();
        }
    } while (parser.AcceptSymbol(","));
    parser.ExpectEnd();
    return options;
}

std::vector<TBackupSetInfo> ReadMedia(const std::string& path)
{
    try {
        return ReadBackupMedia(path);
    } catch (const EBackupMediaError& error) {
        throw EProviderError(error.what());
    }
}

const TBackupSetInfo& SetAt(const std::vector<TBackupSetInfo>& sets, long long position, const std::string& path)
{
    if (position < 1 || position > static_cast<long long>(sets.size())) {
        throw EProviderError("Cannot find file ID " + std::to_string(position) + " on device '" + path + "'.");
    }
    return sets[static_cast<std::size_t>(position - 1)];
}

TFieldValue Text(const std::string& text) { return TFieldValue::FromText(text); }
TFieldValue Integer(long long value) { return TFieldValue::FromInteger(value); }

TFieldValue TextOrNull(const std::string& text) { return text.empty() ? TFieldValue::Null() : Text(text); }

// What SQL Server 2000 answers, column for column; the server's own settings are
// those of a Chinese (PRC) installation of 8.00.2039.
TResultSet HeaderRows(const std::vector<TBackupSetInfo>& sets)
{
    TResultSet result;
    result.Columns = {"BackupName",           "BackupDescription",    "BackupType",         "ExpirationDate",
                      "Compressed",           "Position",             "DeviceType",         "UserName",
                      "ServerName",           "DatabaseName",         "DatabaseVersion",    "DatabaseCreationDate",
                      "BackupSize",           "FirstLSN",             "LastLSN",            "CheckpointLSN",
                      "DatabaseBackupLSN",    "BackupStartDate",      "BackupFinishDate",   "SortOrder",
                      "CodePage",             "UnicodeLocaleId",      "UnicodeComparisonStyle", "CompatibilityLevel",
                      "SoftwareVendorId",     "SoftwareVersionMajor", "SoftwareVersionMinor", "SoftwareVersionBuild",
                      "MachineName",          "Flags",                "BindingID",          "RecoveryForkID",
                      "Collation"};
    constexpr long long DeviceDisk = 2;
    constexpr long long ChinesePrc = 2052;
    constexpr long long IgnoreCaseKanaWidth = 196609;
    constexpr long long Microsoft = 4608;
    for (const TBackupSetInfo& set : sets) {
        // Media of the first format knows no LSNs; the server never gives 0 for them.
        const auto lsn = [](std::int64_t value) { return value > 0 ? Integer(value) : TFieldValue::Null(); };
        result.Rows.push_back({Text(set.BackupName), TextOrNull(set.BackupDescription), Integer(set.BackupType),
                               TFieldValue::Null(), Integer(0), Integer(set.Position), Integer(DeviceDisk),
                               Text(set.UserName), Text(set.ServerName), Text(set.DatabaseName),
                               Integer(set.DatabaseVersion), Text(set.DatabaseCreationDate), Integer(set.BackupSize),
                               lsn(set.FirstLsn), lsn(set.LastLsn), lsn(set.CheckpointLsn), lsn(set.DatabaseBackupLsn),
                               Text(set.BackupStartDate), Text(set.BackupFinishDate), Integer(0), Integer(936),
                               Integer(ChinesePrc), Integer(IgnoreCaseKanaWidth), Integer(80), Integer(Microsoft),
                               Integer(8), Integer(0), Integer(2039), Text(set.MachineName), Integer(0),
                               TextOrNull(set.BindingId), TextOrNull(set.RecoveryForkId), Text("Chinese_PRC_CI_AS")});
    }
    return result;
}

TResultSet FileListRows(const TBackupSetInfo& set)
{
    TResultSet result;
    result.Columns = {"LogicalName", "PhysicalName", "Type", "FileGroupName", "Size", "MaxSize"};
    for (const TBackupFileInfo& file : set.Files) {
        result.Rows.push_back({Text(file.LogicalName), Text(file.PhysicalName), Text(file.Type),
                               file.FileGroupName.empty() ? TFieldValue::Null() : Text(file.FileGroupName),
                               Integer(file.Size), Integer(file.MaxSize)});
    }
    return result;
}


// Whether the file a statement names is itself a symbolic link. Only the last
// part counts: folders reached through links are ordinary, a file that is a link
// would have the restore read or write whatever it points to.
bool IsSymbolicLink(const std::string& serverDirectory, const std::string& fileName)
{
    fs::path path(fileName);
    if (path.is_relative()) path = fs::path(serverDirectory) / path;
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

[[noreturn]] void RefuseLink(const std::string& fileName)
{
    throw EProviderError("文件“" + fileName + "”是符号链接：模拟服务器不经由链接读写文件，请改用它指向的文件本身");
}

// The longest data file name SQLite opens: its journal's name, 8 bytes longer,
// must still fit the file system layer's limit.
std::size_t LongestDataFileName()
{
    const sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    const int limit = vfs != nullptr ? vfs->mxPathname : 512;
    return static_cast<std::size_t>(limit) - std::strlen("-journal");
}

enum class TRestoreKind { Header, FileList, Verify, Database };

struct TRestoreStatement {
    TRestoreKind Kind = TRestoreKind::Header;
    std::string Database;  // RESTORE DATABASE only
    std::string Media;
    TRestoreOptions Options;
};

TRestoreStatement ParseRestore(const std::vector<TToken>& sig)
{
    TParser parser(sig);
    parser.ExpectWord("RESTORE");
    TRestoreStatement statement;
    if (parser.AcceptWord("HEADERONLY")) {
        statement.Kind = TRestoreKind::Header;
    } else if (parser.AcceptWord("FILELISTONLY")) {
        statement.Kind = TRestoreKind::FileList;
    } else if (parser.AcceptWord("VERIFYONLY")) {
        statement.Kind = TRestoreKind::Verify;
    } else if (parser.AcceptWord("DATABASE")) {
        statement.Kind = TRestoreKind::Database;
        statement.Database = parser.Name();
    } else {
        parser.SyntaxError();
    }
    parser.ExpectWord("FROM");
    parser.ExpectWord("DISK");
    parser.ExpectSymbol("=");
    statement.Media = parser.String();
    statement.Options = ParseRestoreOptions(parser);
    return statement;
}

void VerifyEverySet(const TRestoreContext& context, const std::string& media, const std::vector<TBackupSetInfo>& sets)
{
    for (const TBackupSetInfo& set : sets) {
        try {
            VerifyBackupContent(media, set, context.OnWait);
        } catch (const EBackupMediaError& error) {
            throw EProviderError(error.what());
        }
    }
}

// Refusals that follow from the set and the statement alone.
void CheckSetFits(const TRestoreStatement& statement, const TBackupSetInfo& set)
{
    if (LowerAscii(statement.Database) == "master") {
        throw EProviderError("The stand-in server cannot restore its catalog database 'master'.");
    }
    // Without NORECOVERY nothing can follow a full restore, so a set that builds on one never fits.
    if (set.BackupType == BackupTypeLog) {
        throw EServerError(3135, "The backup set in file '" + statement.Media +
                                     "' was created by BACKUP LOG and cannot be used for this restore operation.");
    }
    if (set.BackupType == BackupTypeDifferential) {
        throw EServerError(3136, "This differential backup cannot be restored because the database has not been "
                                 "restored to the correct earlier state.");
    }
    if (statement.Options.NoRecovery) {
        throw EProviderError("The stand-in server restores WITH RECOVERY only; NORECOVERY is not supported.");
    }
}

// Where each file of the set goes: Targets as the statement spells them,
// Resolved as the file system knows them, index for index with the set's files.
struct TTargetPlan {
    std::vector<std::string> Targets;
    std::vector<std::string> Resolved;
    std::size_t DataIndex = 0;
};

// A set may describe tens of thousands of files, so MOVEs and clashes are
// found through maps, not by comparing every pair.
std::vector<std::string> MovedTargets(const TRestoreStatement& statement, const TBackupSetInfo& set)
{
    std::vector<std::string> targets;
    targets.reserve(set.Files.size());
    std::unordered_map<std::string, std::vector<std::size_t>> byLogicalName;
    for (std::size_t k = 0; k < set.Files.size(); ++k) {
        targets.push_back(set.Files[k].PhysicalName);
        byLogicalName[LowerAscii(set.Files[k].LogicalName)].push_back(k);
    }
    for (const TMove& move : statement.Options.Moves) {
        const auto found = byLogicalName.find(LowerAscii(move.LogicalName));
        if (found == byLogicalName.end()) {
            throw EProviderError("Logical file '" + move.LogicalName + "' is not part of database '" +
                                 statement.Database + "'. Use RESTORE FILELISTONLY to list the logical file names.");
        }
        for (const std::size_t k : found->second) targets[k] = move.Target;
    }
    return targets;
}

std::vector<std::string> ResolvedTargets(const TRestoreContext& context, const TBackupSetInfo& set,
                                         const std::vector<std::string>& targets)
{
    std::vector<std::string> resolved;
    resolved.reserve(targets.size());
    std::unordered_map<std::string, std::size_t> claimed;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        resolved.push_back(ResolveServerPath(context.ServerDirectory, targets[k]));
        if (!FolderOfFileExists(resolved[k])) {
            throw EProviderError("Directory lookup for the file \"" + targets[k] +
                                 "\" failed with the operating system error 3(The system cannot find the path specified.).");
        }
        const auto [earlier, added] = claimed.emplace(resolved[k], k);
        if (!added) {
            const std::size_t m = earlier->second;
            throw EProviderError("File '" + targets[k] + "' is claimed by '" + set.Files[m].LogicalName + "'(" +
                                 std::to_string(m + 1) + ") and '" + set.Files[k].LogicalName + "'(" +
                                 std::to_string(k + 1) +
                                 "). The WITH MOVE clause can be used to relocate one or more files.");
        }
    }
    return resolved;
}

std::size_t DataFileIndex(const std::string& media, const TBackupSetInfo& set)
{
    for (std::size_t k = 0; k < set.Files.size(); ++k) {
        if (set.Files[k].Type == "D") return k;
    }
    throw EProviderError("The media family on device '" + media +
                         "' is incorrectly formed. SQL Server cannot process this media family.");
}

TTargetPlan PlanTargets(const TRestoreContext& context, const TRestoreStatement& statement, const TBackupSetInfo& set)
{
    TTargetPlan plan;
    plan.Targets = MovedTargets(statement, set);
    for (const std::string& target : plan.Targets) {
        if (IsSymbolicLink(context.ServerDirectory, target)) RefuseLink(target);
    }
    plan.Resolved = ResolvedTargets(context, set, plan.Targets);
    plan.DataIndex = DataFileIndex(statement.Media, set);
    const std::string& dataFile = plan.Resolved[plan.DataIndex];
    if (dataFile.size() > LongestDataFileName()) {
        throw EProviderError("数据文件“" + plan.Targets[plan.DataIndex] + "”的路径过长（" +
                             std::to_string(dataFile.size()) + " 字节）：模拟服务器只支持不超过 " +
                             std::to_string(LongestDataFileName()) + " 字节的数据文件路径");
    }
    // A folder where a file should go could only be found out by failing halfway.
    for (std::size_t k = 0; k < plan.Resolved.size(); ++k) {
        std::error_code error;
        bool folder = fs::is_directory(plan.Resolved[k], error);
        for (const char* companion : CompanionSuffixes) {
            folder = folder || fs::is_directory(plan.Resolved[k] + companion, error);
        }
        if (folder) {
            throw EProviderError("File '" + set.Files[k].LogicalName + "' cannot be restored to '" + plan.Targets[k] +
                                 "'. Use WITH MOVE to identify a valid location for the file.");
        }
    }
    return plan;
}

// A file (or a journal beside it) of another database, or of the server itself, is never taken.
void CheckNoTargetIsTaken(const TRestoreContext& context, const TTargetPlan& plan, TCatalog& catalog,
                          const std::optional<TDatabaseEntry>& existing)
{
    const std::unordered_map<std::string, TFileOwner> owners = catalog.FileOwners();
    const std::vector<std::string> ownList = ServerOwnFiles(context.ServerDirectory);
    const std::unordered_set<std::string> own(ownList.begin(), ownList.end());
    for (std::size_t k = 0; k < plan.Resolved.size(); ++k) {
        std::vector<std::string> names{plan.Resolved[k]};
        for (const char* companion : CompanionSuffixes) names.push_back(plan.Resolved[k] + companion);
        for (const std::string& name : names) {
            std::string user;
            if (own.count(name) != 0) {
                user = "master";
            } else if (const auto owner = owners.find(name);
                       owner != owners.end() && !(existing && owner->second.DbId == existing->DbId)) {
                user = owner->second.Name;
            }
            if (!user.empty()) {
                throw EProviderError("The file '" + plan.Targets[k] +
                                     "' cannot be overwritten. It is being used by database '" + user + "'.");
            }
        }
    }
}

// Whatever lies there, the books of a database dropped while offline included,
// is only overwritten when the statement says so.
void CheckNothingIsOverwritten(const TBackupSetInfo& set, const TTargetPlan& plan)
{
    for (std::size_t k = 0; k < plan.Resolved.size(); ++k) {
        std::error_code error;
        if (fs::exists(fs::symlink_status(plan.Resolved[k], error))) {
            throw EServerError(3142, "File \"" + set.Files[k].LogicalName + "\" cannot be restored over the existing \"" +
                                         plan.Targets[k] +
                                         "\". Reissue the RESTORE statement using WITH REPLACE to overwrite "
                                         "pre-existing files, or WITH MOVE to identify an alternate location.");
        }
    }
}

void CheckTargets(const TRestoreContext& context, const TRestoreStatement& statement, const TBackupSetInfo& set,
                  const TTargetPlan& plan, TCatalog& catalog, const std::optional<TDatabaseEntry>& existing)
{
    const bool replace = statement.Options.Replace;
    if (existing && !replace) {
        if (!SameText(existing->Name, set.DatabaseName)) {
            throw EProviderError("The backup set holds a backup of a database other than the existing '" +
                                 statement.Database + "' database.");
        }
        throw EProviderError("Database '" + existing->Name +
                             "' already exists. Use WITH REPLACE to overwrite the existing database.");
    }
    if (existing && !existing->Offline() && context.InUse(LowerAscii(existing->Name))) {
        throw EProviderError("Exclusive access could not be obtained because the database is in use.");
    }
    CheckNoTargetIsTaken(context, plan, catalog, existing);
    if (!replace) CheckNothingIsOverwritten(set, plan);
}

// Every file is written beside its place first; the database's content comes
// first, so damaged media is found before anything else is written. Then the new
// files take their places. What stood there (the replaced database's files, or
// files an offline database left behind) is only set aside until the catalog has
// changed, so a failure puts everything back.
void WriteAndSwap(const TRestoreContext& context, const TRestoreStatement& statement, const TBackupSetInfo& set,
                  const TTargetPlan& plan, TCatalog& catalog, const std::optional<TDatabaseEntry>& existing)
{
    const std::vector<std::string>& resolved = plan.Resolved;
    TFileSwap swap;
    std::vector<std::int64_t> sizes(resolved.size(), 0);
    for (std::size_t step = 0; step < resolved.size(); ++step) {
        const std::size_t k = step == 0 ? plan.DataIndex : (step - 1 < plan.DataIndex ? step - 1 : step);
        const std::string temporary = swap.AddTarget(resolved[k], plan.Targets[k]);
        try {
            if (k == plan.DataIndex) {
                CopyBackupContent(statement.Media, set, temporary, context.OnWait);
                sizes[k] = set.ContentSize;
            } else {
                const std::string placeholder = PlaceholderText(statement.Database, set.Files[k]);
                WriteWholeFile(temporary, placeholder);
                sizes[k] = static_cast<std::int64_t>(placeholder.size());
            }
        } catch (const EBackupMediaError& error) {
            throw EProviderError(error.what());
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception& error) {
            throw EProviderError("Write on \"" + plan.Targets[k] + "\" failed: " + error.what() + ".");
        }
    }
    swap.Place();

    std::vector<TDatabaseFile> files;
    files.reserve(resolved.size());
    for (std::size_t k = 0; k < resolved.size(); ++k) {
        files.push_back(
            TDatabaseFile{set.Files[k].LogicalName, resolved[k], set.Files[k].Type, set.Files[k].FileGroupName, sizes[k]});
    }
    catalog.Replace(existing ? std::optional<std::string>(existing->Name) : std::nullopt, statement.Database, files);

    // Only now is anything of the old state removed.
    swap.Commit();
    if (existing && !existing->Offline()) DeleteDatabaseFiles(context.ServerDirectory, existing->Files, resolved);
}

}  // namespace

std::string PlaceholderText(const std::string& database, const TBackupFileInfo& file)
{
    return "Velmora stand-in server: " + std::string(file.Type == "L" ? "transaction log" : "secondary file") + " '" +
           file.LogicalName + "' of database '" + database + "'. The database itself lives in its data file.\n";
}

TResultSet Restore(const TRestoreContext& context, const std::vector<TToken>& sig)
{
    const TRestoreStatement statement = ParseRestore(sig);
    if (IsSymbolicLink(context.ServerDirectory, statement.Media)) RefuseLink(statement.Media);

    const std::vector<TBackupSetInfo> sets = ReadMedia(statement.Media);
    switch (statement.Kind) {
    case TRestoreKind::Header:
        return HeaderRows(sets);
    case TRestoreKind::FileList:
        return FileListRows(SetAt(sets, statement.Options.File, statement.Media));
    case TRestoreKind::Verify:
        VerifyEverySet(context, statement.Media, sets);
        return TResultSet();
    case TRestoreKind::Database:
        break;
    }

    const TBackupSetInfo& set = SetAt(sets, statement.Options.File, statement.Media);
    CheckSetFits(statement, set);
    const TTargetPlan plan = PlanTargets(context, statement, set);
    TCatalog catalog(context.ServerDirectory);
    const std::optional<TDatabaseEntry> existing = catalog.Find(statement.Database);
    CheckTargets(context, statement, set, plan, catalog, existing);
    WriteAndSwap(context, statement, set, plan, catalog, existing);
    return TResultSet();
}

}  // namespace Velmora::Standin
