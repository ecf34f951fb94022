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
#include "standin/FileSwap.h"
#include "standin/IndexAdvisor.h"
#include "standin/Restore.h"
#include "standin/ServerFiles.h"
#include "standin/ServerKnobs.h"
#include "standin/StandinServiceControl.h"
#include "standin/StatementParser.h"

namespace Velmora::Standin {

namespace fs = std::filesystem;

namespace {

// SERVERPROPERTY(name) as the release and edition the server directory says the
// stand-in plays; a property the stand-in does not know is NULL, as the server
// answers a name it does not know.
void ServerPropertyFunction(sqlite3_context* context, int, sqlite3_value** arguments)
{
    const auto* serverDirectory = static_cast<const std::string*>(sqlite3_user_data(context));
    const auto* name = reinterpret_cast<const char*>(sqlite3_value_text(arguments[0]));
    try {
        const TServerKnobs knobs = ReadServerKnobs(*serverDirectory);
        const std::string property = name != nullptr ? LowerAscii(name) : std::string();
        if (property == "productversion") {
            sqlite3_result_text(context, knobs.ProductVersion.c_str(), -1, SQLITE_TRANSIENT);
        } else if (property == "engineedition") {
            sqlite3_result_int(context, EngineEdition(knobs));
        } else if (property == "edition") {
            sqlite3_result_text(context, knobs.Express ? "Express Edition" : "Standard Edition", -1, SQLITE_STATIC);
        } else {
            sqlite3_result_null(context);
        }
    } catch (const std::exception& error) {
        sqlite3_result_error(context, error.what(), -1);
    }
}

void RegisterServerProperty(sqlite3* db, const std::string& serverDirectory)
{
    auto* data = new std::string(serverDirectory);
    const int rc = sqlite3_create_function_v2(db, "serverproperty", 1, SQLITE_UTF8, data, ServerPropertyFunction,
                                              nullptr, nullptr, [](void* p) { delete static_cast<std::string*>(p); });
    if (rc != SQLITE_OK) RaiseSqliteError(db, rc);
}

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

void KillSessions(const std::string& serverKey, const std::string& databaseKey, const std::string& reason)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    for (TSession* session : Sessions()) {
        if (session->ServerKey() == serverKey && session->DatabaseKey() == databaseKey) session->Kill(reason);
    }
}

std::string OfflineReason(const std::string& database)
{
    return "The connection was closed: database '" + database + "' was taken offline.";
}

// A server whose service is not running answers no one, as the provider finds.
void RequireRunningService(const std::string& serverDirectory)
{
    TStandinServiceControl services(serverDirectory);
    const TServiceHandle manager = services.OpenSCManager(0);
    const TServiceHandle service = services.OpenService(manager, "MSSQLSERVER", ServiceAccess::QueryStatus);
    unsigned state = 0;
    const bool known = service != 0 && services.QueryServiceStatus(service, state);
    if (service != 0) services.CloseServiceHandle(service);
    services.CloseServiceHandle(manager);
    if (!known || state != ServiceState::Running) throw EProviderError(ServerNotFound);
}

}  // namespace

TSession::TSession(const std::string& serverDirectory, const TConnectionTarget& target)
    : FServerDirectory(serverDirectory), FServerKey(Standin::ServerKey(serverDirectory))
{
    CheckServerDirectory(serverDirectory);
    RequireRunningService(serverDirectory);
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
        FUse = std::make_unique<TDatabaseUse>(serverDirectory, LowerAscii(FDatabaseName));
    }
    FDatabaseKey = LowerAscii(FDatabaseName);
    RegisterFunctions(FDatabase.Handle());
    RegisterServerProperty(FDatabase.Handle(), serverDirectory);
    FGuard.Attach(FDatabase.Handle());
    FWait.Attach(FDatabase.Handle());
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
    FUse.reset();
    FAlive = false;
    FKillReason = reason;
}

TResultSet TSession::Execute(const std::string& statement)
{
    // To the plug-in the stand-in is the provider: whatever goes wrong inside it
    // reaches the caller as a provider error.
    FWait.Start();
    TResultSet result;
    try {
        result = ExecuteStatement(statement);
    } catch (const EProviderError&) {
        // SQLite reports an interrupt; what the handler raised is the reason.
        FWait.RaiseHandlerFailure();
        throw;
    } catch (const std::bad_alloc&) {
        throw EProviderError("There is insufficient system memory to run this query.");
    } catch (const std::exception& error) {
        throw EProviderError(std::string("The stand-in server could not carry out the statement: ") + error.what());
    } catch (...) {
        throw EProviderError("The stand-in server could not carry out the statement.");
    }
    FWait.RaiseHandlerFailure();
    return result;
}

TResultSet TSession::ExecuteStatement(const std::string& statement)
{
    // Another process may have ended the session since its last statement.
    if (FAlive && FUse != nullptr && FUse->Ended()) Kill(OfflineReason(FDatabaseName));
    if (!FAlive) throw EProviderError(FKillReason);
    std::vector<TToken> sig = Significant(Tokenize(statement));
    while (!sig.empty() && IsSymbol(sig.back(), ";")) sig.pop_back();
    if (sig.empty()) return TResultSet();
    RefuseForeignSyntax(statement, sig);
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
    const TClientGuard::TClientStatement client(FGuard);

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
        try {
            RunStatement(db, found->second->Statement, &result);
        } catch (const EProviderError&) {
            // SQLite prepares a statement again after a change of schema.
            FGuard.RaiseRefusal();
            throw;
        }
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
        if (rc != SQLITE_OK) {
            FGuard.RaiseRefusal();
            RaiseSqliteError(db, rc);
        }
        if (statement == nullptr) {
            // SQLite reads no further than a zero byte.
            if (next <= tail) throw EProviderError("Incorrect syntax near ''.", ErrorSyntax);
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
            FGuard.RaiseRefusal();
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
    TRestoreContext context;
    context.ServerDirectory = FServerDirectory;
    context.InUse = [this](const std::string& databaseKey) { return DatabaseInUse(FServerDirectory, databaseKey); };
    context.OnWait = [this] { FWait.Tick(); };
    return Standin::Restore(context, sig);
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
        if (!rollback && DatabaseInUse(FServerDirectory, key)) {
            throw EProviderError("ALTER DATABASE failed because a lock could not be placed on database '" +
                                 entry->Name + "'. Try again later.");
        }
        catalog.SetOffline(entry->Name, true);
        KillSessions(FServerKey, key, OfflineReason(entry->Name));
        EndDatabaseUse(FServerDirectory, key);
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
        if (!entry->Offline() && DatabaseInUse(FServerDirectory, LowerAscii(entry->Name))) {
            throw EProviderError("Cannot drop the database '" + entry->Name + "' because it is currently in use.");
        }
        const std::vector<TDatabaseFile> placed = catalog.FilesItPlaced(*entry);
        catalog.Remove(entry->Name);
        // As the server does: an offline database's files are left where they are.
        if (!entry->Offline()) DeleteDatabaseFiles(FServerDirectory, placed);
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
