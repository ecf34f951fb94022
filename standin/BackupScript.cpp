#include "standin/BackupScript.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <unistd.h>

#include "platform/Errors.h"
#include "standin/SqlShim.h"
#include "standin/Sqlite.h"

namespace Velmora::Standin {

namespace {

constexpr const char* DefaultDataFolder = "C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\";
constexpr std::int64_t NominalFileSize = 1048576;

std::string MachineName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    std::string text = name[0] != '\0' ? name : "LOCALHOST";
    for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return text;
}

std::string UserName()
{
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

int LineAt(const std::string& text, std::size_t offset)
{
    offset = std::min(offset, text.size());
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

// Display width of a table cell: CJK characters take two columns.
std::size_t DisplayWidth(const std::string& text)
{
    std::size_t width = 0;
    for (std::size_t k = 0; k < text.size();) {
        const auto c = static_cast<unsigned char>(text[k]);
        const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
        width += length >= 3 ? 2 : 1;
        k += length;
    }
    return width;
}

// The on-disk version a release gives its databases (DatabaseVersion in the header).
std::int64_t DatabaseVersionOf(const TServerVersion& version)
{
    static const struct {
        int Major, Minor;
        std::int64_t DatabaseVersion;
    } known[] = {{8, 0, 539},   {9, 0, 611},   {10, 0, 655},  {10, 50, 661}, {11, 0, 706},
                 {12, 0, 782},  {13, 0, 852},  {14, 0, 869},  {15, 0, 904},  {16, 0, 957}};
    std::int64_t result = known[0].DatabaseVersion;
    for (const auto& release : known) {
        if (std::make_pair(release.Major, release.Minor) <= std::make_pair(version.Major, version.Minor)) {
            result = release.DatabaseVersion;
        }
    }
    return result;
}

}  // namespace

TBackupFileInfo ParseFileOption(const std::string& text)
{
    const std::size_t first = text.find(':');
    const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) {
        throw EBackupToolError("--file '" + text + "': expected LOGICAL:TYPE:PHYSICAL");
    }
    TBackupFileInfo file;
    file.LogicalName = text.substr(0, first);
    file.Type = text.substr(first + 1, second - first - 1);
    for (char& c : file.Type) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    file.PhysicalName = text.substr(second + 1);
    // A trailing ":digits" is the size: no file name ends that way on Windows, where a colon only follows the drive.
    const std::size_t last = file.PhysicalName.rfind(':');
    if (last != std::string::npos && last + 1 < file.PhysicalName.size() && last > 1 &&
        file.PhysicalName.find_first_not_of("0123456789", last + 1) == std::string::npos) {
        const std::string digits = file.PhysicalName.substr(last + 1);
        if (digits.size() > 18) throw EBackupToolError("--file '" + text + "': the size " + digits + " is too large");
        file.Size = std::stoll(digits);
        file.PhysicalName.resize(last);
    }
    if (file.LogicalName.empty() || file.PhysicalName.empty()) {
        throw EBackupToolError("--file '" + text + "': the logical and the physical name must not be empty");
    }
    if (file.Type != "D" && file.Type != "L") {
        throw EBackupToolError("--file '" + text + "': the type must be D (data) or L (log)");
    }
    file.FileGroupName = file.Type == "D" ? "PRIMARY" : "";
    return file;
}

namespace {

// Runs a script the way SQLite's shell reads one: a line at a time, each statement
// once it is complete. Only the statement in hand is kept in memory, and SQLite is
// given text that ends in its terminating zero, which it then parses in place
// (without it, every call would copy the rest of the text first).
class TScriptRunner {
public:
    TScriptRunner(sqlite3* db, const std::string& path, std::string target = std::string())
        : FDb(db), FPath(path), FTarget(std::move(target))
    {
    }

    void Run()
    {
        std::ifstream in(FPath, std::ios::binary);
        if (!in) throw EBackupToolError("cannot read the script '" + FPath + "'");
        std::string line;
        int lineNumber = 0;
        while (std::getline(in, line)) {
            ++lineNumber;
            if (FPending.empty()) FPendingLine = lineNumber;
            FPending += line;
            FPending += '\n';
            if (line.find(';') != std::string::npos && sqlite3_complete(FPending.c_str()) != 0) Execute();
        }
        if (in.bad()) throw EBackupToolError("cannot read the script '" + FPath + "'");
        Execute();
        // A transaction the script never committed is undone, as SQLite's shell undoes
        // it at the end of its input: none of its rows go into the set.
        if (sqlite3_get_autocommit(FDb) == 0 && sqlite3_exec(FDb, "ROLLBACK", nullptr, nullptr, nullptr) != SQLITE_OK) {
            Fail(0, Reason());
        }
    }

private:
    void Execute()
    {
        const char* const begin = FPending.c_str();
        const char* const end = begin + FPending.size();
        const char* tail = begin;
        while (tail < end) {
            sqlite3_stmt* statement = nullptr;
            const char* next = nullptr;
            const int rc = sqlite3_prepare_v2(FDb, tail, static_cast<int>(end - tail) + 1, &statement, &next);
            std::size_t at = static_cast<std::size_t>(tail - begin);
            while (at < FPending.size() && static_cast<unsigned char>(FPending[at]) <= ' ') ++at;
            if (rc != SQLITE_OK) {
                const int offset = sqlite3_error_offset(FDb);
                Fail(offset >= 0 ? static_cast<std::size_t>(tail - begin) + static_cast<std::size_t>(offset) : at,
                     Reason());
            }
            if (statement != nullptr) {
                int step = SQLITE_ROW;
                while (step == SQLITE_ROW) step = sqlite3_step(statement);
                const std::string message = step == SQLITE_DONE ? std::string() : Reason();
                sqlite3_finalize(statement);
                if (step != SQLITE_DONE) Fail(at, message);
            }
            if (next == nullptr || next <= tail) break;
            tail = next;
        }
        FPending.clear();
    }

    // SQLite's message, and where the file being built could not be written (a full
    // disk, a size limit), what the system said.
    std::string Reason() const
    {
        std::string reason = sqlite3_errmsg(FDb);
        const int code = sqlite3_errcode(FDb) & 0xFF;
        if ((code == SQLITE_FULL || code == SQLITE_IOERR) && !FTarget.empty()) {
            // The file's own last error first: SQLite's copy of errno may be taken later, after other calls.
            int error = 0;
            if (sqlite3_file_control(FDb, "main", SQLITE_FCNTL_LAST_ERRNO, &error) != SQLITE_OK || error == 0) {
                error = sqlite3_system_errno(FDb);
            }
            reason += "; cannot write '" + FTarget + "'" +
                      (error != 0 ? ": " + std::generic_category().message(error) : std::string());
        }
        return reason;
    }

    [[noreturn]] void Fail(std::size_t offset, const std::string& message) const
    {
        throw EBackupToolError(FPath + ":" + std::to_string(FPendingLine - 1 + LineAt(FPending, offset)) + ": " +
                               message);
    }

    sqlite3* FDb;
    const std::string& FPath;
    std::string FTarget;
    std::string FPending;
    int FPendingLine = 1;
};

// A script that creates nothing still has to yield a database file, and a file
// of no pages is not one.
void GiveItAPage(TSqliteDatabase& db)
{
    bool empty = false;
    {
        TSqliteStatement pages(db.Handle(), "PRAGMA page_count");
        empty = pages.Step() && pages.Integer(0) == 0;
    }
    if (empty) db.Exec("CREATE TABLE velmora_empty (x); DROP TABLE velmora_empty;");
}

// The database of a set is built in a file beside the media, removed on every path.
class TScratchDatabase {
public:
    explicit TScratchDatabase(std::string path) : FPath(std::move(path)) { Remove(); }
    ~TScratchDatabase() { Remove(); }
    TScratchDatabase(const TScratchDatabase&) = delete;
    TScratchDatabase& operator=(const TScratchDatabase&) = delete;
    const std::string& Path() const { return FPath; }

private:
    void Remove() const
    {
        std::error_code ignored;
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(FPath + suffix, ignored);
    }
    std::string FPath;
};

void BuildFromScript(const std::string& scriptPath, const std::string& target)
{
    TSqliteDatabase db;
    try {
        db = TSqliteDatabase(target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        // A scratch file: nothing is gained by syncing it, and a crash loses only it.
        db.Exec("PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF;");
    } catch (const EProviderError& error) {
        throw EBackupToolError("cannot create '" + target + "': " + error.what());
    }
    TScriptRunner(db.Handle(), scriptPath, target).Run();
    try {
        GiveItAPage(db);
        db.Close();
    } catch (const EProviderError& error) {
        throw EBackupToolError("cannot write '" + target + "': " + error.what());
    }
}

void BuildFromSqlite(const std::string& source, const std::string& target)
{
    try {
        TSqliteDatabase db(source, SQLITE_OPEN_READONLY);
        // A snapshot through SQLite itself, so that a write-ahead log or a hot
        // journal beside the source is taken into account.
        TSqliteStatement vacuum(db.Handle(), "VACUUM INTO ?");
        vacuum.Bind(1, target);
        vacuum.Step();
    } catch (const EProviderError& error) {
        throw EBackupToolError("cannot copy the SQLite database '" + source + "': " + error.what());
    }
    try {
        TSqliteDatabase db(target, SQLITE_OPEN_READWRITE);
        GiveItAPage(db);
        db.Close();
    } catch (const EProviderError& error) {
        throw EBackupToolError("cannot write '" + target + "': " + error.what());
    }
}

}  // namespace

std::string BuildDatabaseFromScript(const std::string& scriptPath)
{
    TSqliteDatabase db(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_MEMORY);
    TScriptRunner(db.Handle(), scriptPath).Run();
    GiveItAPage(db);
    sqlite3_int64 size = 0;
    unsigned char* bytes = sqlite3_serialize(db.Handle(), "main", &size, 0);
    if (bytes == nullptr) throw EBackupToolError("cannot take the database built by '" + scriptPath + "' into memory");
    std::string content(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
    sqlite3_free(bytes);
    return content;
}

void CreateBackupSet(const TCreateBackupOptions& options)
{
    if (options.Database.empty()) throw EBackupToolError("--database NAME is required");
    if (options.Script.empty() == options.FromSqlite.empty()) {
        throw EBackupToolError(options.Script.empty() ? "--script FILE.sql or --from-sqlite DB is required"
                                                      : "give --script or --from-sqlite, not both");
    }

    std::vector<TBackupFileInfo> files = options.Files;
    if (files.empty()) {
        files.push_back(ParseFileOption(options.Database + "_Data:D:" + DefaultDataFolder + options.Database +
                                               "_Data.MDF"));
        files.push_back(ParseFileOption(options.Database + "_Log:L:" + DefaultDataFolder + options.Database +
                                               "_Log.LDF"));
    }
    if (files.size() > MaxFilesPerSet) {
        throw EBackupToolError("a backup set holds at most " + std::to_string(MaxFilesPerSet) + " files, not " +
                               std::to_string(files.size()));
    }
    bool hasData = false;
    std::unordered_set<std::string> logicalNames;
    for (const TBackupFileInfo& file : files) {
        hasData = hasData || file.Type == "D";
        if (!logicalNames.insert(LowerAscii(file.LogicalName)).second) {
            throw EBackupToolError("the logical file name '" + file.LogicalName + "' is given twice");
        }
    }
    if (!hasData) throw EBackupToolError("the file list needs a data file (type D)");
    if (options.FamilyCount < 1 || options.FamilyCount > static_cast<int>(MaxMediaFamilies)) {
        throw EBackupToolError("--families is a number from 1 to " + std::to_string(MaxMediaFamilies));
    }
    constexpr int FirstWithEncryption = 10;
    if (!options.TdeThumbprint.empty() && options.ServerVersion.Major < FirstWithEncryption) {
        throw EBackupToolError("--encrypted needs --server-version 10.00 or later: earlier servers do not encrypt");
    }

    // Check the media before the script runs, so a mistake costs nothing.
    std::error_code error;
    std::filesystem::path folder = std::filesystem::path(options.Media).parent_path();
    if (folder.empty()) folder = ".";
    if (!std::filesystem::is_directory(folder, error)) {
        throw EBackupToolError("cannot write '" + options.Media + "': the folder '" + folder.string() +
                               (std::filesystem::exists(folder, error) ? "' is not a folder" : "' does not exist"));
    }
    const bool exists = std::filesystem::exists(options.Media, error);
    if (options.Append && !exists) throw EBackupToolError("cannot append: '" + options.Media + "' does not exist");
    if (exists) {
        try {
            ReadBackupMedia(options.Media);
        } catch (const EBackupMediaError&) {
            throw EBackupToolError("'" + options.Media + "' is not backup media" +
                                   (options.Append ? std::string("; nothing was appended")
                                                   : std::string("; it was left as it is")));
        }
    }

    TBackupSetInfo set;
    set.DatabaseName = options.Database;
    set.BackupName = options.BackupName.empty() ? options.Database + " backup" : options.BackupName;
    set.ServerName = MachineName();
    set.MachineName = set.ServerName;
    set.UserName = UserName();
    set.BackupStartDate = NowAsDateText();
    set.DatabaseCreationDate = set.BackupStartDate;
    const TScratchDatabase scratch(options.Media + ".velmora-db");
    if (options.FromSqlite.empty()) {
        BuildFromScript(options.Script, scratch.Path());
    } else {
        BuildFromSqlite(options.FromSqlite, scratch.Path());
    }
    set.BackupFinishDate = NowAsDateText();
    const auto contentSize = static_cast<std::int64_t>(std::filesystem::file_size(scratch.Path(), error));
    if (error) throw EBackupToolError("cannot read '" + scratch.Path() + "': " + error.message());
    bool dataSized = false;
    for (TBackupFileInfo& file : files) {
        const bool data = file.Type == "D" && !dataSized;
        dataSized = dataSized || data;
        if (file.Size <= 0) file.Size = data ? contentSize : NominalFileSize;
    }
    set.Files = files;
    set.BackupType = options.BackupType;
    set.SoftwareVersion = options.ServerVersion;
    set.DatabaseVersion = DatabaseVersionOf(options.ServerVersion);
    set.Compressed = options.Compressed;
    set.FamilyCount = options.FamilyCount;
    set.MediaPassword = options.MediaPassword;
    set.TdeThumbprint = options.TdeThumbprint;
    try {
        WriteBackupSetFromFile(options.Media, set, scratch.Path(), options.Append);
    } catch (const EBackupMediaError& failure) {
        throw EBackupToolError(failure.what());
    }
}

std::string FormatBackupList(const std::vector<TBackupSetInfo>& sets)
{
    std::vector<std::vector<std::string>> rows = {
        {"Position", "DatabaseName", "BackupName", "BackupStartDate", "BackupFinishDate", "ServerName",
         "DatabaseVersion", "BackupSize", "Files"}};
    for (const TBackupSetInfo& set : sets) {
        std::string files;
        for (const TBackupFileInfo& file : set.Files) {
            if (!files.empty()) files += ", ";
            files += file.LogicalName + " (" + file.Type + ")";
        }
        rows.push_back({std::to_string(set.Position), set.DatabaseName, set.BackupName, set.BackupStartDate,
                        set.BackupFinishDate, set.ServerName, std::to_string(set.DatabaseVersion),
                        std::to_string(set.BackupSize), files});
    }
    std::vector<std::size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    }
    std::ostringstream out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        out << line << "\n";
    }
    return out.str();
}

}  // namespace Velmora::Standin
