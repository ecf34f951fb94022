#include "standin/Sqlite.h"

#include <cstring>
#include <utility>

#include "platform/Errors.h"
#include "preprocess/TextUtils.h"
#include "standin/TsqlRules.h"

namespace Velmora::Standin {

void RaiseSqliteError(sqlite3* db, int code)
{
    std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    if (message.empty()) message = sqlite3_errstr(code);
    throw EProviderError(message, ServerErrorNumber(message));
}

TSqliteDatabase::TSqliteDatabase(const std::string& path, int flags)
{
    sqlite3* handle = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &handle, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(rc);
        sqlite3_close(handle);
        throw EProviderError(message + ": " + path);
    }
    FHandle = handle;
    sqlite3_extended_result_codes(FHandle, 0);
    // Another process (the host, a second run) may hold the file for a moment.
    sqlite3_busy_timeout(FHandle, 10000);
}

TSqliteDatabase::~TSqliteDatabase() { Close(); }

TSqliteDatabase::TSqliteDatabase(TSqliteDatabase&& other) noexcept : FHandle(std::exchange(other.FHandle, nullptr)) {}

TSqliteDatabase& TSqliteDatabase::operator=(TSqliteDatabase&& other) noexcept
{
    if (this != &other) {
        Close();
        FHandle = std::exchange(other.FHandle, nullptr);
    }
    return *this;
}

void TSqliteDatabase::Exec(const std::string& sql)
{
    char* error = nullptr;
    const int rc = sqlite3_exec(FHandle, sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error != nullptr ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw EProviderError(message, ServerErrorNumber(message));
    }
}

void TSqliteDatabase::Close()
{
    if (FHandle != nullptr) {
        // close_v2 defers the close until stray statements are finalised.
        sqlite3_close_v2(FHandle);
        FHandle = nullptr;
    }
}

TSqliteStatement::TSqliteStatement(sqlite3* db, const std::string& sql) : FDatabase(db)
{
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &FStatement, nullptr);
    if (rc != SQLITE_OK) RaiseSqliteError(db, rc);
}

TSqliteStatement::~TSqliteStatement() { sqlite3_finalize(FStatement); }

void TSqliteStatement::Bind(int index, const std::string& text)
{
    const int rc = sqlite3_bind_text(FStatement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) RaiseSqliteError(FDatabase, rc);
}

void TSqliteStatement::Bind(int index, long long value)
{
    const int rc = sqlite3_bind_int64(FStatement, index, value);
    if (rc != SQLITE_OK) RaiseSqliteError(FDatabase, rc);
}

bool TSqliteStatement::Step()
{
    const int rc = sqlite3_step(FStatement);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    sqlite3_reset(FStatement);
    RaiseSqliteError(FDatabase, rc);
}

void TSqliteStatement::Reset()
{
    sqlite3_reset(FStatement);
    sqlite3_clear_bindings(FStatement);
}

std::string TSqliteStatement::Text(int column) const
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(FStatement, column));
    if (text == nullptr) return std::string();
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(FStatement, column)));
}

long long TSqliteStatement::Integer(int column) const { return sqlite3_column_int64(FStatement, column); }


namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The functions a client's statement may call: the server's built-ins that
// SQLite has under the same name and meaning, and those the shim writes itself.
bool SupportedFunction(const std::string& name)
{
    static const char* const names[] = {
        // Aggregates and window functions.
        "avg", "count", "max", "min", "sum", "velmora_sum", "row_number", "rank", "dense_rank", "ntile", "lag",
        "lead", "first_value", "last_value",
        // Scalar functions.
        "abs", "ceiling", "char", "coalesce", "floor", "iif", "lower", "ltrim", "nullif", "power", "replace",
        "round", "rtrim", "sign", "sqrt", "substring", "trim", "unicode", "upper",
        // Written by the shim: ISNULL, LIKE, T-SQL patterns, GETDATE, SERVERPROPERTY and the column types' rules.
        "ifnull", "like", "glob", "regexp", "getdate", "serverproperty", "tsql_check", "tsql_stored",
        "tsql_view_columns_unique"};
    for (const char* supported : names) {
        if (name == supported) return true;
    }
    return false;
}

// The server's own tables, which only the stand-in's statements change, and the
// stand-in's own bookkeeping beside them.
bool CatalogTable(const std::string& name)
{
    static const char* const names[] = {"sysdatabases", "sysaltfiles", "sysfiles", "sysfilegroups", "sysobjects",
                                        "syscolumns", "sysindexes", "sysusers", "syslogins", "sysprocesses",
                                        "sysdevices", "syscomments", "systypes", "sysservers", "sysconfigures"};
    for (const char* table : names) {
        if (name == table) return true;
    }
    return StartsWith(name, "velmora_");
}

// SQLite's table-valued functions, which read files, pages and settings.
bool SqliteOnlyTable(const std::string& name)
{
    static const char* const names[] = {"json_each", "json_tree", "dbstat", "sqlite_dbpage", "sqlite_stmt",
                                        "fts3tokenize", "generate_series", "zipfile", "fsdir"};
    for (const char* table : names) {
        if (name == table) return true;
    }
    return StartsWith(name, "pragma_");
}

}  // namespace

void TClientGuard::Attach(sqlite3* db)
{
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_set_authorizer(db, &TClientGuard::OnAuthorize, this);
}

void TClientGuard::RaiseRefusal()
{
    if (FNumber == 0) return;
    const int number = std::exchange(FNumber, 0);
    throw EProviderError(std::exchange(FMessage, std::string()), number);
}

int TClientGuard::OnAuthorize(void* guard, int action, const char* first, const char* second, const char* database,
                              const char*)
{
    return static_cast<TClientGuard*>(guard)->Authorize(action, first, second, database);
}

int TClientGuard::Authorize(int action, const char* first, const char* second, const char* database)
{
    if (!FActive) return SQLITE_OK;
    const std::string a = first != nullptr ? LowerAscii(first) : std::string();
    const std::string b = second != nullptr ? LowerAscii(second) : std::string();
    const bool temporary = database != nullptr && std::strcmp(database, "temp") == 0;
    auto refuse = [this](int number, const std::string& message) {
        // The first refusal names what the client wrote; later ones follow from it.
        if (FNumber == 0) {
            FNumber = number;
            FMessage = message;
        }
        return SQLITE_DENY;
    };
    auto syntax = [&](const char* near) { return refuse(ErrorSyntax, "Incorrect syntax near '" + std::string(near) + "'."); };
    switch (action) {
    case SQLITE_ATTACH:
        return syntax("ATTACH");
    case SQLITE_DETACH:
        return syntax("DETACH");
    case SQLITE_PRAGMA:
        return syntax("PRAGMA");
    case SQLITE_CREATE_VTABLE:
    case SQLITE_DROP_VTABLE:
        return syntax("VIRTUAL");
    case SQLITE_FUNCTION:
        if (!SupportedFunction(b)) return refuse(ErrorUnknownFunction, "'" + std::string(second) + "' is not a recognized built-in function name.");
        return SQLITE_OK;
    case SQLITE_READ:
        if (SqliteOnlyTable(a)) return refuse(ErrorInvalidObject, "Invalid object name '" + std::string(first) + "'.");
        return SQLITE_OK;
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
    case SQLITE_DROP_TABLE:
        if (!temporary && CatalogTable(a)) return refuse(ErrorAdHocCatalogUpdate, AdHocCatalogUpdateMessage());
        return SQLITE_OK;
    case SQLITE_ALTER_TABLE:
    case SQLITE_CREATE_INDEX:
    case SQLITE_DROP_INDEX:
    case SQLITE_CREATE_TRIGGER:
    case SQLITE_DROP_TRIGGER:
        if (CatalogTable(b)) return refuse(ErrorAdHocCatalogUpdate, AdHocCatalogUpdateMessage());
        return SQLITE_OK;
    default:
        return SQLITE_OK;
    }
}

}  // namespace Velmora::Standin
