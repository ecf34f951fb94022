#pragma once
// Thin owners of SQLite handles. Every SQLite failure leaves here as an
// EProviderError carrying SQLite's own message, because to the plug-in the
// stand-in is the database provider.

#include <sqlite3.h>

#include <string>

namespace Velmora::Standin {

[[noreturn]] void RaiseSqliteError(sqlite3* db, int code);

class TSqliteDatabase {
public:
    TSqliteDatabase() = default;
    // flags as for sqlite3_open_v2; raises EProviderError when the file cannot be opened.
    TSqliteDatabase(const std::string& path, int flags);
    ~TSqliteDatabase();
    TSqliteDatabase(TSqliteDatabase&& other) noexcept;
    TSqliteDatabase& operator=(TSqliteDatabase&& other) noexcept;
    TSqliteDatabase(const TSqliteDatabase&) = delete;
    TSqliteDatabase& operator=(const TSqliteDatabase&) = delete;

    sqlite3* Handle() const { return FHandle; }
    // Runs statements that return no rows.
    void Exec(const std::string& sql);
    void Close();

private:
    sqlite3* FHandle = nullptr;
};

class TSqliteStatement {
public:
    TSqliteStatement(sqlite3* db, const std::string& sql);
    ~TSqliteStatement();
    TSqliteStatement(const TSqliteStatement&) = delete;
    TSqliteStatement& operator=(const TSqliteStatement&) = delete;

    sqlite3_stmt* Handle() const { return FStatement; }
    void Bind(int index, const std::string& text);
    void Bind(int index, long long value);
    // True while a row is available.
    bool Step();
    void Reset();
    std::string Text(int column) const;
    long long Integer(int column) const;

private:
    sqlite3* FDatabase;
    sqlite3_stmt* FStatement = nullptr;
};

// SQLite's own guards behind the shim's refusals, for what clients send: no
// other database attached, no PRAGMA, no virtual table, no function but the
// T-SQL ones the stand-in supports, and no change to the server's catalogs. A
// refusal fails the statement's preparation; the server's error for it waits in
// RaiseRefusal.
class TClientGuard {
public:
    // SQLite's defensive mode, no extension loading, no attached database, and
    // the authorizer, which refuses only while a client's statement runs.
    void Attach(sqlite3* db);
    // Marks the statements prepared and run during its life as the client's.
    class TClientStatement {
    public:
        explicit TClientStatement(TClientGuard& guard) : FGuard(guard)
        {
            FGuard.FActive = true;
            FGuard.FNumber = 0;
        }
        ~TClientStatement() { FGuard.FActive = false; }
        TClientStatement(const TClientStatement&) = delete;
        TClientStatement& operator=(const TClientStatement&) = delete;

    private:
        TClientGuard& FGuard;
    };
    // Raises the server's error for the last refusal, if one came since the last call.
    void RaiseRefusal();

private:
    bool FActive = false;
    int FNumber = 0;
    std::string FMessage;

    int Authorize(int action, const char* first, const char* second, const char* database);
    static int OnAuthorize(void* guard, int action, const char* first, const char* second, const char* database,
                           const char* trigger);
};

// Runs fn inside BEGIN IMMEDIATE … COMMIT; rolls back when fn throws.
template <typename TFunction>
void InTransaction(TSqliteDatabase& db, TFunction fn)
{
    db.Exec("BEGIN IMMEDIATE");
    try {
        fn();
    } catch (...) {
        sqlite3_exec(db.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    db.Exec("COMMIT");
}

}  // namespace Velmora::Standin
