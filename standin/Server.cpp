#include "standin/Server.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "platform/Errors.h"
#include "standin/BackupMedia.h"
#include "standin/Catalog.h"
#include "standin/ExactSum.h"
#include "standin/IndexAdvisor.h"
#include "standin/ServerFiles.h"

namespace Velmora::Standin {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Sessions of this process, so that taking a database offline can end them.

std::mutex& RegistryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::vector<TSession*>& Sessions()
{
    static std::vector<TSession*> sessions;
    return sessions;
}

void Register(TSession* session)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Sessions().push_back(session);
}

void Unregister(TSession* session)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto& sessions = Sessions();
    sessions.erase(std::remove(sessions.begin(), sessions.end(), session), sessions.end());
}

bool InUse(const std::string& serverKey, const std::string& databaseKey)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (TSession* session : Sessions()) {
        if (session->Alive() && session->ServerKey() == serverKey && session->DatabaseKey() == databaseKey) return true;
    }
    return false;
}

void KillSessions(const std::string& serverKey, const std::string& databaseKey, const std::string& reason)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (TSession* session : Sessions()) {
        if (session->ServerKey() == serverKey && session->DatabaseKey() == databaseKey) session->Kill(reason);
    }
}

// ---------------------------------------------------------------------------
// SQLite functions the shim relies on.

void RegexpFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    // "x REGEXP p" calls regexp(p, x); the shim only writes it for T-SQL LIKE patterns.
    if (sqlite3_value_type(values[0]) == SQLITE_NULL || sqlite3_value_type(values[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto* pattern = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
    const int patternBytes = sqlite3_value_bytes(values[0]);
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[1]));
    const int textBytes = sqlite3_value_bytes(values[1]);
    sqlite3_result_int(context, TsqlLikeMatches(std::string(pattern, static_cast<std::size_t>(patternBytes)),
                                                std::string(text, static_cast<std::size_t>(textBytes)))
                                    ? 1
                                    : 0);
}

void GetDateFunction(sqlite3_context* context, int, sqlite3_value**)
{
    const std::string now = NowAsDateText();
    sqlite3_result_text(context, now.c_str(), static_cast<int>(now.size()), SQLITE_TRANSIENT);
}

void RegisterFunctions(sqlite3* db)
{
    sqlite3_create_function(db, "regexp", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, RegexpFunction, nullptr,
                            nullptr);
    sqlite3_create_function(db, "getdate", 0, SQLITE_UTF8, nullptr, GetDateFunction, nullptr, nullptr);
    if (!RegisterExactSum(db)) RaiseSqliteError(db, sqlite3_errcode(db));
    RegisterTsqlRules(db);
}

TFieldValue ColumnValue(sqlite3_stmt* statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        return TFieldValue::FromInteger(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
        return TFieldValue::FromFloat(sqlite3_column_double(statement, column));
    case SQLITE_NULL:
        return TFieldValue::Null();
    default: {
        const auto* text = static_cast<const char*>(sqlite3_column_blob(statement, column));
        const int bytes = sqlite3_column_bytes(statement, column);
        return TFieldValue::FromText(text != nullptr ? std::string(text, static_cast<std::size_t>(bytes)) : "");
    }
    }
}

// Steps a statement to its end; rows are kept when into is given.
void RunStatement(sqlite3* db, sqlite3_stmt* statement, TResultSet* into)
{
    const int columns = sqlite3_column_count(statement);
    if (into != nullptr) {
        for (int c = 0; c < columns; ++c) into->Columns.emplace_back(sqlite3_column_name(statement, c));
    }
    for (;;) {
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            sqlite3_reset(statement);
            RaiseSqliteError(db, rc);
        }
        if (into != nullptr) {
            std::vector<TFieldValue> row;
            row.reserve(static_cast<std::size_t>(columns));
            for (int c = 0; c < columns; ++c) row.push_back(ColumnValue(statement, c));
            into->Rows.push_back(std::move(row));
        }
    }
    sqlite3_reset(statement);
}

bool OnlySpace(const char* from, const char* to)
{
    for (; from < to; ++from) {
        const char c = *from;
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != ';') return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Reading the server's own statements.

std::string Trimmed(const std::string& text)
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return text.substr(begin, end - begin);
}

class TParser {
public:
    explicit TParser(const std::vector<TToken>& tokens) : FTokens(tokens) {}

    bool AtEnd() const { return FAt >= FTokens.size(); }
    bool PeekWord(const char* word) const { return !AtEnd() && IsWord(FTokens[FAt], word); }
    bool AcceptWord(const char* word)
    {
        if (!PeekWord(word)) return false;
        ++FAt;
        return true;
    }
    bool AcceptSymbol(const char* symbol)
    {
        if (AtEnd() || !IsSymbol(FTokens[FAt], symbol)) return false;
        ++FAt;
        return true;
    }
    void ExpectWord(const char* word)
    {
        if (!AcceptWord(word)) SyntaxError();
    }
    void ExpectSymbol(const char* symbol)
    {
        if (!AcceptSymbol(symbol)) SyntaxError();
    }
    std::string Name()
    {
        if (AtEnd() || (FTokens[FAt].Kind != TTokenKind::Word && FTokens[FAt].Kind != TTokenKind::QuotedName)) {
            SyntaxError();
        }
        return NameValue(FTokens[FAt++]);
    }
    std::string String()
    {
        if (AtEnd() || FTokens[FAt].Kind != TTokenKind::String) SyntaxError();
        return StringValue(FTokens[FAt++]);
    }
    long long Number()
    {
        if (AtEnd() || FTokens[FAt].Kind != TTokenKind::Number) SyntaxError();
        const std::string& text = FTokens[FAt++].Text;
        if (text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) SyntaxError(FAt - 1);
        return std::stoll(text);
    }
    void ExpectEnd()
    {
        if (!AtEnd()) SyntaxError();
    }
    [[noreturn]] void SyntaxError() const { SyntaxError(FAt); }
    [[noreturn]] void SyntaxError(std::size_t at) const
    {
        const std::string near = at < FTokens.size() ? FTokens[at].Text
                                 : FTokens.empty()   ? std::string()
                                                     : FTokens.back().Text;
        throw EProviderError("Incorrect syntax near '" + near + "'.");
    }

private:
    const std::vector<TToken>& FTokens;
    std::size_t FAt = 0;
};

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

TResultSet HeaderRows(const std::vector<TBackupSetInfo>& sets)
{
    TResultSet result;
    result.Columns = {"BackupName",     "BackupDescription", "BackupType",           "ExpirationDate",
                      "Compressed",     "Position",          "DeviceType",           "UserName",
                      "ServerName",     "DatabaseName",      "DatabaseVersion",      "DatabaseCreationDate",
                      "BackupSize",     "BackupStartDate",   "BackupFinishDate",     "SortOrder",
                      "CodePage",       "CompatibilityLevel", "SoftwareVersionMajor", "MachineName",
                      "Collation"};
    for (const TBackupSetInfo& set : sets) {
        result.Rows.push_back({Text(set.BackupName), Text(set.BackupDescription), Integer(1), TFieldValue::Null(),
                               Integer(0), Integer(set.Position), Integer(2), Text(set.UserName),
                               Text(set.ServerName), Text(set.DatabaseName), Integer(set.DatabaseVersion),
                               Text(set.DatabaseCreationDate), Integer(set.BackupSize), Text(set.BackupStartDate),
                               Text(set.BackupFinishDate), Integer(0), Integer(936), Integer(80), Integer(8),
                               Text(set.MachineName), Text("Chinese_PRC_CI_AS")});
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

bool SameNameIgnoringCase(const std::string& a, const std::string& b) { return LowerAscii(a) == LowerAscii(b); }

std::string PlaceholderText(const std::string& database, const TBackupFileInfo& file)
{
    return "Velmora stand-in server: " + std::string(file.Type == "L" ? "transaction log" : "secondary file") + " '" +
           file.LogicalName + "' of database '" + database + "'. The database itself lives in its data file.\n";
}

// Deletes a database's files with their companions, except those now holding
// another database (keep: resolved names).
void DeleteFiles(const std::string& serverDirectory, const std::vector<TDatabaseFile>& files,
                 const std::vector<std::string>& keep = {})
{
    const std::unordered_set<std::string> kept(keep.begin(), keep.end());
    for (const TDatabaseFile& file : files) {
        if (!kept.empty() && kept.count(ResolveServerPath(serverDirectory, file.PhysicalName)) != 0) continue;
        std::error_code ignored;
        fs::remove(file.PhysicalName, ignored);
        // SQLite's companions of a data file, should a crash have left any.
        for (const char* companion : CompanionSuffixes) fs::remove(file.PhysicalName + companion, ignored);
    }
}

// base, or base.1, base.2 … : the first name nothing holds yet.
std::string UnusedName(const std::string& base)
{
    std::string name = base;
    std::error_code error;
    for (int n = 1; fs::exists(fs::symlink_status(name, error)); ++n) name = base + "." + std::to_string(n);
    return name;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) throw std::system_error(errno, std::generic_category());
}

}  // namespace

// ---------------------------------------------------------------------------

TConnectionTarget ParseConnectionString(const std::string& text)
{
    TConnectionTarget target;
    std::size_t at = 0;
    while (at <= text.size()) {
        // A value may be quoted to hold a semicolon.
        std::size_t end = at;
        char quote = 0;
        while (end < text.size() && (quote != 0 || text[end] != ';')) {
            if (quote == 0 && (text[end] == '"' || text[end] == '\'') && end > 0 && text[end - 1] == '=') {
                quote = text[end];
            } else if (quote != 0 && text[end] == quote) {
                quote = 0;
            }
            ++end;
        }
        const std::string part = Trimmed(text.substr(at, end - at));
        at = end + 1;
        if (part.empty()) continue;
        const std::size_t equals = part.find('=');
        if (equals == std::string::npos) {
            throw EProviderError("Format of the initialization string is not valid: every part must be key=value.");
        }
        std::string key;
        for (char c : LowerAscii(Trimmed(part.substr(0, equals)))) {
            if (c != ' ' || (!key.empty() && key.back() != ' ')) key += c;
        }
        std::string value = Trimmed(part.substr(equals + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        const std::string lower = LowerAscii(value);
        if (key == "provider") {
            if (lower != "sqloledb" && lower != "sqloledb.1") {
                throw EProviderError("Provider cannot be found. It may not be properly installed.");
            }
        } else if (key == "data source" || key == "server" || key == "address" || key == "addr" ||
                   key == "network address") {
            if (!lower.empty() && lower != "(local)" && lower != "." && lower != "localhost" && lower != "127.0.0.1") {
                throw EProviderError("[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.");
            }
        } else if (key == "initial catalog" || key == "database") {
            target.Catalog = value;
        }
    }
    return target;
}

TSession::TSession(const std::string& serverDirectory, const TConnectionTarget& target)
    : FServerDirectory(serverDirectory), FServerKey(Standin::ServerKey(serverDirectory))
{
    EnsureServerDirectory(serverDirectory);
    const std::string requested = target.Catalog;
    std::optional<TDatabaseEntry> entry;
    if (!requested.empty() && LowerAscii(requested) != "master") {
        TCatalog catalog(serverDirectory);
        entry = catalog.Find(requested);
        const std::string loginFailed =
            "Cannot open database \"" + requested + "\" requested by the login. The login failed.";
        if (!entry) throw EProviderError(loginFailed);
        if (entry->Offline()) {
            throw EProviderError("Database '" + entry->Name + "' cannot be opened because it is offline. " + loginFailed);
        }
        if (entry->IsMaster()) entry.reset();
    }

    if (!entry) {
        const std::string path = CatalogPath(serverDirectory);
        FDatabase = TSqliteDatabase(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        PrepareCatalogSchema(FDatabase, path);
        FDatabaseName = "master";
    } else {
        const std::string deviceError = "Device activation error. The physical file name '" + entry->FileName +
                                        "' may be incorrect. Cannot open database \"" + requested +
                                        "\" requested by the login. The login failed.";
        try {
            FDatabase = TSqliteDatabase(entry->FileName, SQLITE_OPEN_READWRITE);
            // Opening is lazy in SQLite; reading the schema proves the file is a database.
            FDatabase.Exec("PRAGMA schema_version");
            // The server's log gives durability at commit without forcing every
            // statement to disk; a write-ahead log synced at checkpoints is the
            // nearest SQLite offers, and keeps 2,000 single-row updates fast.
            FDatabase.Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL");
            // SQLite's default page cache (2 MB) is far smaller than a company's
            // books; per-account queries would reread the same pages from the OS.
            FDatabase.Exec("PRAGMA cache_size = -65536; PRAGMA mmap_size = 268435456");
        } catch (const EProviderError&) {
            throw EProviderError(deviceError);
        }
        FDatabaseName = entry->Name;
    }
    FDatabaseKey = LowerAscii(FDatabaseName);
    RegisterFunctions(FDatabase.Handle());
    Register(this);
}

TSession::~TSession()
{
    Unregister(this);
    ClearCache();
}

void TSession::ClearCache()
{
    for (TCached& cached : FCache) sqlite3_finalize(cached.Statement);
    FCache.clear();
    FCacheIndex.clear();
}

void TSession::Kill(const std::string& reason)
{
    if (!FAlive) return;
    ClearCache();
    FDatabase.Close();
    FAlive = false;
    FKillReason = reason;
}

TResultSet TSession::Execute(const std::string& statement)
{
    // To the plug-in the stand-in is the provider: whatever goes wrong inside it
    // reaches the caller as a provider error.
    try {
        return ExecuteStatement(statement);
    } catch (const EProviderError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw EProviderError("There is insufficient system memory to run this query.");
    } catch (const std::exception& error) {
        throw EProviderError(std::string("The stand-in server could not carry out the statement: ") + error.what());
    } catch (...) {
        throw EProviderError("The stand-in server could not carry out the statement.");
    }
}

TResultSet TSession::ExecuteStatement(const std::string& statement)
{
    if (!FAlive) throw EProviderError(FKillReason);
    std::vector<TToken> sig = Significant(Tokenize(statement));
    while (!sig.empty() && IsSymbol(sig.back(), ";")) sig.pop_back();
    if (sig.empty()) return TResultSet();
    if (IsWord(sig[0], "RESTORE")) return Restore(sig);
    if (sig.size() >= 2 && IsWord(sig[1], "DATABASE")) {
        if (IsWord(sig[0], "ALTER")) return AlterDatabase(sig);
        if (IsWord(sig[0], "DROP")) return DropDatabase(sig);
        if (IsWord(sig[0], "CREATE")) return CreateDatabase(sig);
    }
    const TTranslation translation = TranslateStatement(statement);
    const bool user = FDatabaseKey != "master";
    if (user && !translation.PrefixColumns.empty()) {
        if (FAdvisedShapes.size() > 1000) FAdvisedShapes.clear();
        if (FAdvisedShapes.insert(translation.Shape).second) IndexPrefixSearches(FDatabase.Handle(), translation);
        // Statements of one shape may differ in which of their prefixes can be ranges.
        if (!translation.RangedSql.empty()) {
            if (FExactRanges.size() > 1000) FExactRanges.clear();
            auto exact = FExactRanges.find(translation.RangedSql);
            if (exact == FExactRanges.end()) {
                exact = FExactRanges.emplace(translation.RangedSql, RangesAreExact(FDatabase.Handle(), translation)).first;
            }
            if (exact->second) return RunSqlite(translation.RangedSql, translation.RangeParameters);
        }
    }
    TResultSet result = RunSqlite(translation.Sql);
    if (user && !sig.empty() && (IsWord(sig[0], "CREATE") || IsWord(sig[0], "DROP") || IsWord(sig[0], "ALTER"))) {
        // A column's type may have changed with the schema.
        FAdvisedShapes.clear();
        FExactRanges.clear();
    }
    if (user && translation.CreatesView) IndexViewJoins(FDatabase.Handle(), translation);
    return result;
}

TResultSet TSession::RunSqlite(const std::string& sql, const std::vector<std::string>& parameters)
{
    TResultSet result;
    sqlite3* db = FDatabase.Handle();

    auto bind = [&](sqlite3_stmt* statement) {
        for (std::size_t k = 0; k < parameters.size(); ++k) {
            const int rc = sqlite3_bind_text(statement, static_cast<int>(k + 1), parameters[k].data(),
                                             static_cast<int>(parameters[k].size()), SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) RaiseSqliteError(db, rc);
        }
    };

    auto found = FCacheIndex.find(sql);
    if (found != FCacheIndex.end()) {
        FCache.splice(FCache.begin(), FCache, found->second);
        bind(found->second->Statement);
        RunStatement(db, found->second->Statement, &result);
        return result;
    }

    constexpr std::size_t CacheLimit = 64;
    const char* tail = sql.c_str();
    const char* const end = tail + sql.size();
    bool captured = false;
    while (tail < end) {
        sqlite3_stmt* statement = nullptr;
        const char* next = nullptr;
        const int rc = sqlite3_prepare_v2(db, tail, static_cast<int>(end - tail), &statement, &next);
        if (rc != SQLITE_OK) RaiseSqliteError(db, rc);
        if (statement == nullptr) {
            tail = next;
            continue;
        }
        const bool single = tail == sql.c_str() && OnlySpace(next, end);
        const bool wantRows = !captured && sqlite3_column_count(statement) > 0;
        try {
            bind(statement);
            RunStatement(db, statement, wantRows ? &result : nullptr);
        } catch (...) {
            sqlite3_finalize(statement);
            throw;
        }
        captured = captured || wantRows;
        if (single) {
            FCache.push_front(TCached{sql, statement});
            FCacheIndex[sql] = FCache.begin();
            if (FCache.size() > CacheLimit) {
                sqlite3_finalize(FCache.back().Statement);
                FCacheIndex.erase(FCache.back().Sql);
                FCache.pop_back();
            }
        } else {
            sqlite3_finalize(statement);
        }
        tail = next;
    }
    return result;
}

TResultSet TSession::Restore(const std::vector<TToken>& sig)
{
    TParser parser(sig);
    parser.ExpectWord("RESTORE");
    enum class TKind { Header, FileList, Verify, Database } kind;
    std::string database;
    if (parser.AcceptWord("HEADERONLY")) {
        kind = TKind::Header;
    } else if (parser.AcceptWord("FILELISTONLY")) {
        kind = TKind::FileList;
    } else if (parser.AcceptWord("VERIFYONLY")) {
        kind = TKind::Verify;
    } else if (parser.AcceptWord("DATABASE")) {
        kind = TKind::Database;
        database = parser.Name();
    } else {
        parser.SyntaxError();
    }
    parser.ExpectWord("FROM");
    parser.ExpectWord("DISK");
    parser.ExpectSymbol("=");
    const std::string media = parser.String();
    const TRestoreOptions options = ParseRestoreOptions(parser);

    const std::vector<TBackupSetInfo> sets = ReadMedia(media);
    switch (kind) {
    case TKind::Header:
        return HeaderRows(sets);
    case TKind::FileList:
        return FileListRows(SetAt(sets, options.File, media));
    case TKind::Verify:
        for (const TBackupSetInfo& set : sets) {
            try {
                VerifyBackupContent(media, set);
            } catch (const EBackupMediaError& error) {
                throw EProviderError(error.what());
            }
        }
        return TResultSet();
    case TKind::Database:
        break;
    }

    const TBackupSetInfo& set = SetAt(sets, options.File, media);
    if (LowerAscii(database) == "master") {
        throw EProviderError("The stand-in server cannot restore its catalog database 'master'.");
    }
    if (options.NoRecovery) {
        throw EProviderError("The stand-in server restores WITH RECOVERY only; NORECOVERY is not supported.");
    }

    // Where each file goes. A set may describe tens of thousands of files, so
    // MOVEs and clashes are found through maps, not by comparing every pair.
    std::vector<std::string> targets;
    targets.reserve(set.Files.size());
    std::unordered_map<std::string, std::vector<std::size_t>> byLogicalName;
    for (std::size_t k = 0; k < set.Files.size(); ++k) {
        targets.push_back(set.Files[k].PhysicalName);
        byLogicalName[LowerAscii(set.Files[k].LogicalName)].push_back(k);
    }
    for (const TMove& move : options.Moves) {
        const auto found = byLogicalName.find(LowerAscii(move.LogicalName));
        if (found == byLogicalName.end()) {
            throw EProviderError("Logical file '" + move.LogicalName + "' is not part of database '" + database +
                                 "'. Use RESTORE FILELISTONLY to list the logical file names.");
        }
        for (const std::size_t k : found->second) targets[k] = move.Target;
    }
    std::vector<std::string> resolved;
    resolved.reserve(targets.size());
    std::unordered_map<std::string, std::size_t> claimed;
    for (std::size_t k = 0; k < targets.size(); ++k) {
        resolved.push_back(ResolveServerPath(FServerDirectory, targets[k]));
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
    std::size_t dataIndex = set.Files.size();
    for (std::size_t k = 0; k < set.Files.size(); ++k) {
        if (set.Files[k].Type == "D") {
            dataIndex = k;
            break;
        }
    }
    if (dataIndex == set.Files.size()) {
        throw EProviderError("The media family on device '" + media +
                             "' is incorrectly formed. SQL Server cannot process this media family.");
    }
    // A folder where a file should go could only be found out by failing halfway.
    for (std::size_t k = 0; k < resolved.size(); ++k) {
        std::error_code error;
        bool folder = fs::is_directory(resolved[k], error);
        for (const char* companion : CompanionSuffixes) folder = folder || fs::is_directory(resolved[k] + companion, error);
        if (folder) {
            throw EProviderError("File '" + set.Files[k].LogicalName + "' cannot be restored to '" + targets[k] +
                                 "'. Use WITH MOVE to identify a valid location for the file.");
        }
    }

    TCatalog catalog(FServerDirectory);
    const std::optional<TDatabaseEntry> existing = catalog.Find(database);
    if (existing && !options.Replace) {
        if (!SameNameIgnoringCase(existing->Name, set.DatabaseName)) {
            throw EProviderError("The backup set holds a backup of a database other than the existing '" + database +
                                 "' database.");
        }
        throw EProviderError("Database '" + existing->Name +
                             "' already exists. Use WITH REPLACE to overwrite the existing database.");
    }
    if (existing && !existing->Offline() && InUse(FServerKey, LowerAscii(existing->Name))) {
        throw EProviderError("Exclusive access could not be obtained because the database is in use.");
    }
    {
        // A file (or a journal beside it) of another database, or of the server itself, is never taken.
        const std::unordered_map<std::string, TFileOwner> owners = catalog.FileOwners();
        const std::vector<std::string> ownList = ServerOwnFiles(FServerDirectory);
        const std::unordered_set<std::string> own(ownList.begin(), ownList.end());
        for (std::size_t k = 0; k < resolved.size(); ++k) {
            std::vector<std::string> names{resolved[k]};
            for (const char* companion : CompanionSuffixes) names.push_back(resolved[k] + companion);
            for (const std::string& name : names) {
                std::string user;
                if (own.count(name) != 0) {
                    user = "master";
                } else if (const auto owner = owners.find(name);
                           owner != owners.end() && !(existing && owner->second.DbId == existing->DbId)) {
                    user = owner->second.Name;
                }
                if (!user.empty()) {
                    throw EProviderError("The file '" + targets[k] +
                                         "' cannot be overwritten. It is being used by database '" + user + "'.");
                }
            }
        }
    }

    // Every file is written beside its place first; the database's content comes
    // first, so damaged media is found before anything else is written.
    std::vector<std::string> temporaries(resolved.size());
    std::vector<std::int64_t> sizes(resolved.size(), 0);
    auto discardTemporaries = [&] {
        for (std::string& path : temporaries) {
            std::error_code ignored;
            if (!path.empty()) fs::remove(path, ignored);
            path.clear();
        }
    };
    for (std::size_t step = 0; step < resolved.size(); ++step) {
        const std::size_t k = step == 0 ? dataIndex : (step - 1 < dataIndex ? step - 1 : step);
        temporaries[k] = UnusedName(resolved[k] + ".velmora-restore");
        try {
            if (k == dataIndex) {
                CopyBackupContent(media, set, temporaries[k]);
                sizes[k] = set.ContentSize;
            } else {
                const std::string placeholder = PlaceholderText(database, set.Files[k]);
                WriteWholeFile(temporaries[k], placeholder);
                sizes[k] = static_cast<std::int64_t>(placeholder.size());
            }
        } catch (const EBackupMediaError& error) {
            discardTemporaries();
            throw EProviderError(error.what());
        } catch (const std::bad_alloc&) {
            discardTemporaries();
            throw;
        } catch (const std::exception& error) {
            discardTemporaries();
            throw EProviderError("Write on \"" + targets[k] + "\" failed: " + error.what() + ".");
        }
    }

    // Then the new files take their places. What stood there (the replaced
    // database's files, or files an offline database left behind) is only set
    // aside until the catalog has changed, so a failure puts everything back.
    struct TSetAside {
        std::string Original;
        std::string Aside;
    };
    std::vector<TSetAside> setAside;
    std::vector<std::string> placed;
    auto undo = [&] {
        std::error_code ignored;
        for (auto file = placed.rbegin(); file != placed.rend(); ++file) fs::remove(*file, ignored);
        for (auto old = setAside.rbegin(); old != setAside.rend(); ++old) fs::rename(old->Aside, old->Original, ignored);
        discardTemporaries();
    };
    for (std::size_t k = 0; k < resolved.size(); ++k) {
        std::error_code error;
        // A journal left beside an earlier file would be replayed into the new one, so it goes aside too.
        std::vector<std::string> names{resolved[k]};
        for (const char* companion : CompanionSuffixes) names.push_back(resolved[k] + companion);
        for (const std::string& name : names) {
            if (!fs::exists(fs::symlink_status(name, error))) continue;
            const std::string aside = UnusedName(name + ".velmora-old");
            fs::rename(name, aside, error);
            if (error) {
                undo();
                throw EProviderError("Write on \"" + targets[k] + "\" failed: " + error.message() + ".");
            }
            setAside.push_back(TSetAside{name, aside});
        }
        fs::rename(temporaries[k], resolved[k], error);
        if (error) {
            undo();
            throw EProviderError("Write on \"" + targets[k] + "\" failed: " + error.message() + ".");
        }
        placed.push_back(resolved[k]);
        temporaries[k].clear();
    }

    std::vector<TDatabaseFile> files;
    files.reserve(resolved.size());
    for (std::size_t k = 0; k < resolved.size(); ++k) {
        files.push_back(
            TDatabaseFile{set.Files[k].LogicalName, resolved[k], set.Files[k].Type, set.Files[k].FileGroupName, sizes[k]});
    }
    try {
        catalog.Replace(existing ? std::optional<std::string>(existing->Name) : std::nullopt, database, files);
    } catch (...) {
        undo();
        throw;
    }

    // Only now is anything of the old state removed.
    for (const TSetAside& old : setAside) {
        std::error_code ignored;
        fs::remove(old.Aside, ignored);
    }
    if (existing && !existing->Offline()) DeleteFiles(FServerDirectory, existing->Files, resolved);
    return TResultSet();
}

TResultSet TSession::AlterDatabase(const std::vector<TToken>& sig)
{
    TParser parser(sig);
    parser.ExpectWord("ALTER");
    parser.ExpectWord("DATABASE");
    const std::string database = parser.Name();
    parser.ExpectWord("SET");
    bool offline = false;
    if (parser.AcceptWord("OFFLINE")) {
        offline = true;
    } else if (parser.AcceptWord("ONLINE")) {
        offline = false;
    } else {
        if (parser.AtEnd()) parser.SyntaxError();
        throw EProviderError("ALTER DATABASE option '" + sig[4].Text +
                             "' is not supported by the stand-in server; only OFFLINE and ONLINE are.");
    }
    bool rollback = false;
    if (parser.AcceptWord("WITH")) {
        if (parser.AcceptWord("ROLLBACK")) {
            if (!parser.AcceptWord("IMMEDIATE")) {
                parser.ExpectWord("AFTER");
                parser.Number();
                parser.AcceptWord("SECONDS");
            }
            rollback = true;
        } else {
            parser.ExpectWord("NO_WAIT");
        }
    }
    parser.ExpectEnd();

    TCatalog catalog(FServerDirectory);
    const std::optional<TDatabaseEntry> entry = catalog.Find(database);
    if (!entry) {
        throw EProviderError("Could not locate entry in sysdatabases for database '" + database +
                             "'. No entry found with that name. Make sure that the name is entered correctly.");
    }
    if (entry->IsMaster()) {
        throw EProviderError(std::string("Option '") + (offline ? "OFFLINE" : "ONLINE") +
                             "' cannot be set in database 'master'.");
    }
    const std::string key = LowerAscii(entry->Name);
    if (offline) {
        // Without ROLLBACK the server would wait for the users to leave; the stand-in does not hang the caller.
        if (!rollback && InUse(FServerKey, key)) {
            throw EProviderError("ALTER DATABASE failed because a lock could not be placed on database '" +
                                 entry->Name + "'. Try again later.");
        }
        catalog.SetOffline(entry->Name, true);
        KillSessions(FServerKey, key,
                     "The connection was closed: database '" + entry->Name + "' was taken offline.");
    } else {
        catalog.SetOffline(entry->Name, false);
    }
    return TResultSet();
}

TResultSet TSession::DropDatabase(const std::vector<TToken>& sig)
{
    TParser parser(sig);
    parser.ExpectWord("DROP");
    parser.ExpectWord("DATABASE");
    std::vector<std::string> names;
    do {
        names.push_back(parser.Name());
    } while (parser.AcceptSymbol(","));
    parser.ExpectEnd();

    TCatalog catalog(FServerDirectory);
    for (const std::string& name : names) {
        const std::optional<TDatabaseEntry> entry = catalog.Find(name);
        if (!entry) {
            throw EProviderError("Cannot drop the database '" + name +
                                 "', because it does not exist in the system catalog.");
        }
        if (entry->IsMaster()) throw EProviderError("Cannot drop the database 'master' because it is a system database.");
        if (!entry->Offline() && InUse(FServerKey, LowerAscii(entry->Name))) {
            throw EProviderError("Cannot drop the database '" + entry->Name + "' because it is currently in use.");
        }
        catalog.Remove(entry->Name);
        // As the server does: an offline database's files are left where they are.
        if (!entry->Offline()) DeleteFiles(FServerDirectory, entry->Files);
    }
    return TResultSet();
}

TResultSet TSession::CreateDatabase(const std::vector<TToken>& sig)
{
    TParser parser(sig);
    parser.ExpectWord("CREATE");
    parser.ExpectWord("DATABASE");
    const std::string name = parser.Name();
    if (!parser.AtEnd()) {
        throw EProviderError("The stand-in server creates databases in its own folder; CREATE DATABASE takes a name only.");
    }
    if (name.empty() || name.find_first_of("/\\:*?\"<>|") != std::string::npos) {
        throw EProviderError("The database name '" + name + "' cannot be used as a file name.");
    }
    TCatalog catalog(FServerDirectory);
    if (catalog.Find(name)) {
        throw EProviderError("Database '" + name + "' already exists.");
    }
    const fs::path folder = fs::path(FServerDirectory) / "data";
    std::error_code error;
    fs::create_directories(folder, error);
    const std::string dataFile = ResolveServerPath(FServerDirectory, (folder / (name + ".mdf")).string());
    const std::string logFile = ResolveServerPath(FServerDirectory, (folder / (name + "_log.ldf")).string());
    for (const std::string& path : {dataFile, logFile}) {
        if (const auto owner = catalog.OwnerOfFile(path)) {
            throw EProviderError("The file '" + path + "' cannot be overwritten. It is being used by database '" +
                                 owner->Name + "'.");
        }
        // Files an offline database left when it was dropped are still someone's books.
        if (fs::exists(fs::symlink_status(path, error))) {
            throw EProviderError("Cannot create file '" + path +
                                 "' because it already exists. Change the file path or the file name, and retry the "
                                 "operation.");
        }
    }
    // A journal without its database (a crash, a file deleted by hand) must not be
    // replayed into the new one.
    for (const char* companion : CompanionSuffixes) fs::remove(dataFile + companion, error);
    try {
        TSqliteDatabase created(dataFile, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        created.Exec("PRAGMA user_version = 0; CREATE TABLE velmora_created (x); DROP TABLE velmora_created;");
    } catch (...) {
        fs::remove(dataFile, error);
        throw;
    }
    TBackupFileInfo log;
    log.LogicalName = name + "_log";
    log.Type = "L";
    try {
        WriteWholeFile(logFile, PlaceholderText(name, log));
    } catch (const std::exception& failure) {
        fs::remove(dataFile, error);
        throw EProviderError("Write on \"" + logFile + "\" failed: " + failure.what() + ".");
    }
    try {
        catalog.Register(name, {TDatabaseFile{name, dataFile, "D", "PRIMARY", 0},
                                TDatabaseFile{name + "_log", logFile, "L", "", 0}});
    } catch (...) {
        fs::remove(dataFile, error);
        fs::remove(logFile, error);
        throw;
    }
    return TResultSet();
}

}  // namespace Velmora::Standin
