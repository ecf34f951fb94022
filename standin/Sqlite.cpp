#include "standin/Sqlite.h"

#include <utility>

#include "platform/Errors.h"
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


}  // namespace Velmora::Standin
