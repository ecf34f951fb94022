#include "standin/BackupScript.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unordered_set>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "standin/SqlShim.h"
#include "standin/Sqlite.h"

namespace Velmora::Standin {

namespace {

constexpr const char* DefaultDataFolder = "C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Data\\";
constexpr std::int64_t NominalFileSize = 1048576;

std::string MachineName()
{
    char name[256] = {};
#ifndef _WIN32
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
#endif
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
    if (file.LogicalName.empty() || file.PhysicalName.empty()) {
        throw EBackupToolError("--file '" + text + "': the logical and the physical name must not be empty");
    }
    if (file.Type != "D" && file.Type != "L") {
        throw EBackupToolError("--file '" + text + "': the type must be D (data) or L (log)");
    }
    file.FileGroupName = file.Type == "D" ? "PRIMARY" : "";
    return file;
}

std::string BuildDatabaseFromScript(const std::string& scriptPath)
{
    std::ifstream in(scriptPath, std::ios::binary);
    if (!in) throw EBackupToolError("cannot read the script '" + scriptPath + "'");
    const std::string script((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    TSqliteDatabase db(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_MEMORY);
    const char* const begin = script.c_str();
    const char* tail = begin;
    const char* const end = begin + script.size();
    while (tail < end) {
        sqlite3_stmt* statement = nullptr;
        const char* next = nullptr;
        const int rc = sqlite3_prepare_v2(db.Handle(), tail, static_cast<int>(end - tail), &statement, &next);
        std::size_t at = static_cast<std::size_t>(tail - begin);
        while (at < script.size() && static_cast<unsigned char>(script[at]) <= ' ') ++at;
        if (rc != SQLITE_OK) {
            const int offset = sqlite3_error_offset(db.Handle());
            const std::size_t where = offset >= 0 ? static_cast<std::size_t>(tail - begin) + static_cast<std::size_t>(offset) : at;
            throw EBackupToolError(scriptPath + ":" + std::to_string(LineAt(script, where)) + ": " +
                                   sqlite3_errmsg(db.Handle()));
        }
        if (statement != nullptr) {
            int step = SQLITE_ROW;
            while (step == SQLITE_ROW) step = sqlite3_step(statement);
            if (step != SQLITE_DONE) {
                const std::string message = sqlite3_errmsg(db.Handle());
                sqlite3_finalize(statement);
                throw EBackupToolError(scriptPath + ":" + std::to_string(LineAt(script, at)) + ": " + message);
            }
            sqlite3_finalize(statement);
        }
        tail = next;
    }

    {
        // A script that creates nothing still yields a database file.
        TSqliteStatement pages(db.Handle(), "PRAGMA page_count");
        if (pages.Step() && pages.Integer(0) == 0) {
            db.Exec("CREATE TABLE velmora_empty (x); DROP TABLE velmora_empty;");
        }
    }
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
    if (options.Script.empty()) throw EBackupToolError("--script FILE.sql is required");

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

    // Check the media before the script runs, so a mistake costs nothing.
    std::error_code error;
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
    const std::string content = BuildDatabaseFromScript(options.Script);
    set.BackupFinishDate = NowAsDateText();
    bool dataSized = false;
    for (TBackupFileInfo& file : files) {
        if (file.Type == "D" && !dataSized) {
            file.Size = static_cast<std::int64_t>(content.size());
            dataSized = true;
        } else {
            file.Size = NominalFileSize;
        }
    }
    set.Files = files;
    set.BackupType = options.BackupType;
    try {
        WriteBackupSet(options.Media, set, content, options.Append);
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
