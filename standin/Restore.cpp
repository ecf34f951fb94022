#include "standin/Restore.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "platform/Errors.h"
#include "preprocess/TextUtils.h"
#include "standin/BackupHeaders.h"
#include "standin/BackupMedia.h"
#include "standin/Catalog.h"
#include "standin/FileSwap.h"
#include "standin/ServerErrors.h"
#include "standin/ServerFiles.h"
#include "standin/ServerKnobs.h"
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
    std::string MediaPassword;
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
        } else if (parser.AcceptWord("MEDIAPASSWORD")) {
            parser.ExpectSymbol("=");
            options.MediaPassword = parser.String();
        } else if (parser.AcceptWord("MEDIANAME") || parser.AcceptWord("PASSWORD")) {
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

constexpr int ErrorCannotOpenDevice = 3201;
constexpr int ErrorMediaFamilyIncorrect = 3241;
const char* const AccessDenied = "5(Access is denied.)";

[[noreturn]] void CannotOpenDevice(const TServerVersion& server, const std::string& media, const char* osError)
{
    // SQL Server 2000 leaves the reason to its error log.
    if (server.Major < 9) {
        throw EServerError(ErrorCannotOpenDevice, "Cannot open backup device '" + media +
                                                      "'. Device error or device off-line. See the SQL Server error "
                                                      "log for more details.");
    }
    throw EServerError(ErrorCannotOpenDevice,
                       "Cannot open backup device '" + media + "'. Operating system error " + osError + ".");
}

[[noreturn]] void IncorrectlyFormed(const std::string& media)
{
    throw EServerError(ErrorMediaFamilyIncorrect, "The media family on device '" + media +
                                                      "' is incorrectly formed. SQL Server cannot process this media family.");
}

std::vector<TBackupSetInfo> ReadMedia(const TRestoreContext& context, const TServerKnobs& knobs,
                                      const std::string& media)
{
    if (IsDenied(knobs, ResolveServerPath(context.ServerDirectory, media))) {
        CannotOpenDevice(knobs.Version, media, AccessDenied);
    }
    try {
        return ReadBackupMedia(media);
    } catch (const EBackupMediaError& error) {
        if (error.Reason() == EBackupMediaError::TReason::Malformed) IncorrectlyFormed(media);
        std::error_code ignored;
        CannotOpenDevice(knobs.Version, media,
                         fs::exists(media, ignored) ? AccessDenied : "2(The system cannot find the file specified.)");
    }
}

// A failure met while reading a set's content, after its description read well.
[[noreturn]] void ContentFailed(const EBackupMediaError& error, const std::string& media)
{
    if (error.Reason() == EBackupMediaError::TReason::Malformed) IncorrectlyFormed(media);
    throw EProviderError(error.what());
}

// Media with a password gives nothing, not even its label, to a statement without it.
void CheckMediaPassword(const TRestoreOptions& options, const std::vector<TBackupSetInfo>& sets)
{
    if (!sets.empty() && sets.front().MediaPassword != options.MediaPassword) {
        throw EServerError(3279, "Access is denied due to a password failure");
    }
}

// What a server of this version cannot read at all, whatever it is asked.
void CheckServerCanRead(const TServerKnobs& knobs, const std::string& media, const std::vector<TBackupSetInfo>& sets)
{
    constexpr int FirstWithCompression = 10;
    for (const TBackupSetInfo& set : sets) {
        if (set.Compressed && knobs.Version.Major < FirstWithCompression) IncorrectlyFormed(media);
    }
}

const TBackupSetInfo& SetAt(const std::vector<TBackupSetInfo>& sets, long long position, const std::string& path)
{
    if (position < 1 || position > static_cast<long long>(sets.size())) {
        throw EProviderError("Cannot find file ID " + std::to_string(position) + " on device '" + path + "'.");
    }
    return sets[static_cast<std::size_t>(position - 1)];
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

enum class TRestoreKind { Header, FileList, Label, Database };

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
    } else if (parser.AcceptWord("LABELONLY")) {
        statement.Kind = TRestoreKind::Label;
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

// Refusals that follow from the set, the server and the statement alone.
void CheckSetFits(const TServerKnobs& knobs, const TRestoreStatement& statement, const TBackupSetInfo& set)
{
    // Only the one device the statement names is provided.
    constexpr int ProvidedFamilies = 1;
    if (set.FamilyCount > ProvidedFamilies) {
        throw EServerError(3132, "The media set has " + std::to_string(set.FamilyCount) + " media families but only " +
                                     std::to_string(ProvidedFamilies) +
                                     " are provided. All members must be provided.");
    }
    if (!CanRestoreSetOf(knobs.Version, set.SoftwareVersion)) {
        throw EServerError(3169, "The database was backed up on a server running version " +
                                     VersionText(set.SoftwareVersion) +
                                     ". That version is incompatible with this server, which is running version " +
                                     VersionText(knobs.Version) +
                                     ". Either restore the database on a server that supports the backup, or use "
                                     "a backup that is compatible with this server.");
    }
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
    if (!set.TdeThumbprint.empty()) {
        throw EServerError(33111, "Cannot find server certificate with thumbprint '" + set.TdeThumbprint + "'.");
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
            throw EServerError(3234, "Logical file '" + move.LogicalName + "' is not part of database '" +
                                         statement.Database +
                                         "'. Use RESTORE FILELISTONLY to list the logical file names.");
        }
        for (const std::size_t k : found->second) targets[k] = move.Target;
    }
    return targets;
}

std::vector<std::string> ResolvedTargets(const TRestoreContext& context, const TServerKnobs& knobs,
                                         const TBackupSetInfo& set, const std::vector<std::string>& targets)
{
    std::vector<std::string> resolved;
    resolved.reserve(targets.size());
    std::unordered_map<std::string, std::size_t> claimed;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        resolved.push_back(ResolveServerPath(context.ServerDirectory, targets[k]));
        const bool denied = IsDenied(knobs, resolved[k]);
        if (denied || !FolderOfFileExists(resolved[k])) {
            EServerError error(5133, "Directory lookup for the file \"" + targets[k] +
                                         "\" failed with the operating system error " +
                                         (denied ? AccessDenied : "3(The system cannot find the path specified.)") +
                                         ".");
            error.Follow(3156, "File '" + set.Files[k].LogicalName + "' cannot be restored to '" + targets[k] +
                                   "'. Use WITH MOVE to identify a valid location for the file.");
            throw error;
        }
        const auto [earlier, added] = claimed.emplace(resolved[k], k);
        if (!added) {
            const std::size_t m = earlier->second;
            throw EServerError(3176, "File '" + targets[k] + "' is claimed by '" + set.Files[m].LogicalName + "'(" +
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
    IncorrectlyFormed(media);
}

TTargetPlan PlanTargets(const TRestoreContext& context, const TServerKnobs& knobs, const TRestoreStatement& statement,
                        const TBackupSetInfo& set)
{
    TTargetPlan plan;
    plan.Targets = MovedTargets(statement, set);
    for (const std::string& target : plan.Targets) {
        if (IsSymbolicLink(context.ServerDirectory, target)) RefuseLink(target);
    }
    plan.Resolved = ResolvedTargets(context, knobs, set, plan.Targets);
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
            throw EServerError(3156, "File '" + set.Files[k].LogicalName + "' cannot be restored to '" +
                                         plan.Targets[k] + "'. Use WITH MOVE to identify a valid location for the file.");
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
                throw EServerError(1834, "The file '" + plan.Targets[k] +
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
            throw EServerError(3154, "The backup set holds a backup of a database other than the existing '" +
                                         statement.Database + "' database.");
        }
        throw EProviderError("Database '" + existing->Name +
                             "' already exists. Use WITH REPLACE to overwrite the existing database.");
    }
    if (existing && !existing->Offline() && context.InUse(LowerAscii(existing->Name))) {
        throw EServerError(3101, "Exclusive access could not be obtained because the database is in use.");
    }
    CheckNoTargetIsTaken(context, plan, catalog, existing);
    if (!replace) CheckNothingIsOverwritten(set, plan);
}

std::uint64_t SizeOf(const TBackupFileInfo& file) { return file.Size > 0 ? static_cast<std::uint64_t>(file.Size) : 0; }

// Sizes a damaged or made-up set claims may add up beyond 64 bits; more than all is still all.
void AddCapped(std::uint64_t& sum, std::uint64_t size)
{
    sum = sum > std::numeric_limits<std::uint64_t>::max() - size ? std::numeric_limits<std::uint64_t>::max() : sum + size;
}

// Where a folder's file system is mounted, as the server names a volume by its root.
std::string MountPointOf(const fs::path& folder, dev_t device)
{
    fs::path at = folder;
    while (at.has_relative_path()) {
        struct stat status {};
        if (::stat(at.parent_path().c_str(), &status) != 0 || status.st_dev != device) break;
        at = at.parent_path();
    }
    return at.string();
}

// The files take the room the database had allocated for them, not what the
// backup holds; a file already in a target's place gives its room back.
void CheckRoom(const TServerKnobs& knobs, const TBackupSetInfo& set, const TTargetPlan& plan)
{
    if (knobs.Express) {
        std::uint64_t data = 0;
        for (const TBackupFileInfo& file : set.Files) {
            if (file.Type == "D") AddCapped(data, SizeOf(file));
        }
        const std::int64_t cap = ExpressCapMegabytes(knobs.Version);
        if (data > static_cast<std::uint64_t>(cap) * 1048576u) {
            throw EServerError(1827, "CREATE DATABASE or ALTER DATABASE failed because the resulting cumulative "
                                     "database size would exceed your licensed limit of " +
                                         std::to_string(cap) + " MB per database.");
        }
    }
    struct TVolume {
        std::string Folder;
        std::uint64_t Needed = 0;
        std::uint64_t Reusable = 0;
    };
    std::vector<std::pair<dev_t, TVolume>> volumes;
    for (std::size_t k = 0; k < plan.Resolved.size(); ++k) {
        const fs::path folder = fs::path(plan.Resolved[k]).parent_path();
        struct stat status {};
        if (::stat(folder.c_str(), &status) != 0) continue;
        auto volume = std::find_if(volumes.begin(), volumes.end(), [&](const auto& v) { return v.first == status.st_dev; });
        if (volume == volumes.end()) volume = volumes.insert(volumes.end(), {status.st_dev, TVolume{folder.string()}});
        AddCapped(volume->second.Needed, SizeOf(set.Files[k]));
        struct stat existing {};
        if (::stat(plan.Resolved[k].c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
            AddCapped(volume->second.Reusable, static_cast<std::uint64_t>(existing.st_size));
        }
    }
    for (const auto& [device, volume] : volumes) {
        struct statvfs room {};
        if (::statvfs(volume.Folder.c_str(), &room) != 0 || volume.Needed <= volume.Reusable) continue;
        const std::uint64_t needed = volume.Needed - volume.Reusable;
        const std::uint64_t available = static_cast<std::uint64_t>(room.f_bavail) * room.f_frsize;
        if (needed > available) {
            throw EServerError(3257, "There is insufficient free space on disk volume '" +
                                         MountPointOf(volume.Folder, device) +
                                         "' to create the database. The database requires " + std::to_string(needed) +
                                         " additional free bytes, while only " + std::to_string(available) +
                                         " bytes are available.");
        }
    }
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
            ContentFailed(error, statement.Media);
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

const char* StatementName(TRestoreKind kind)
{
    switch (kind) {
    case TRestoreKind::Header:
        return "RESTORE HEADERONLY";
    case TRestoreKind::FileList:
        return "RESTORE FILELIST";
    case TRestoreKind::Label:
        return "RESTORE LABELONLY";
    case TRestoreKind::Database:
        break;
    }
    return "RESTORE DATABASE";
}

TResultSet RunRestore(const TRestoreContext& context, const TRestoreStatement& statement)
{
    if (IsSymbolicLink(context.ServerDirectory, statement.Media)) RefuseLink(statement.Media);

    const TServerKnobs knobs = ReadServerKnobs(context.ServerDirectory);
    const std::vector<TBackupSetInfo> sets = ReadMedia(context, knobs, statement.Media);
    CheckMediaPassword(statement.Options, sets);
    if (statement.Kind == TRestoreKind::Label) return LabelRows(knobs.Version, sets);
    CheckServerCanRead(knobs, statement.Media, sets);
    switch (statement.Kind) {
    case TRestoreKind::Header:
        return HeaderRows(knobs.Version, sets);
    case TRestoreKind::FileList:
        return FileListRows(knobs.Version, SetAt(sets, statement.Options.File, statement.Media));
    case TRestoreKind::Label:
    case TRestoreKind::Database:
        break;
    }

    const TBackupSetInfo& set = SetAt(sets, statement.Options.File, statement.Media);
    CheckSetFits(knobs, statement, set);
    // From 2005 on the server says that the planning stopped the restore.
    const auto planning = [&](auto step) {
        try {
            return step();
        } catch (EServerError& error) {
            if (knobs.Version.Major >= 9) {
                error.Follow(3119, "Problems were identified while planning for the RESTORE statement. Previous "
                                   "messages provide details.");
            }
            throw;
        }
    };
    const TTargetPlan plan = planning([&] { return PlanTargets(context, knobs, statement, set); });
    TCatalog catalog(context.ServerDirectory);
    const std::optional<TDatabaseEntry> existing = catalog.Find(statement.Database);
    planning([&] {
        CheckTargets(context, statement, set, plan, catalog, existing);
        CheckRoom(knobs, set, plan);
    });
    WriteAndSwap(context, statement, set, plan, catalog, existing);
    return TResultSet();
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
    try {
        return RunRestore(context, statement);
    } catch (EServerError& error) {
        error.Follow(3013, std::string(StatementName(statement.Kind)) + " is terminating abnormally.");
        throw;
    }
}

}  // namespace Velmora::Standin
