#pragma once
// One connection's session with the stand-in server: statements the server
// handles itself (RESTORE, ALTER/DROP/CREATE DATABASE) are carried out here,
// everything else goes through the T-SQL shim to SQLite.

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/Database.h"
#include "standin/ConnectionString.h"
#include "standin/DatabaseUse.h"
#include "standin/SqlShim.h"
#include "standin/Sqlite.h"
#include "standin/Statements.h"

namespace Velmora::Standin {

class TSession {
public:
    // Raises EProviderError when the database cannot be opened (unknown, offline, damaged).
    TSession(const std::string& serverDirectory, const TConnectionTarget& target);
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    // The rows of the first statement that returns rows; none for the others.
    TResultSet Execute(const std::string& statement);
    // False once the session has been ended, by this process or another.
    bool Alive() const { return FAlive && !(FUse != nullptr && FUse->Ended()); }
    const std::string& DatabaseName() const { return FDatabaseName; }
    // Rows the last INSERT, UPDATE or DELETE changed, as SQLite counts them.
    long long RowsChanged() const { return FDatabase.Handle() != nullptr ? sqlite3_changes64(FDatabase.Handle()) : 0; }
    // Ends the session from outside, as the server ends a connection to a
    // database taken offline; later statements fail with reason.
    void Kill(const std::string& reason);
    // Called every few tens of milliseconds while a statement runs; see IConnection::SetOnWait.
    void SetOnWait(std::function<void()> onWait) { FWait.SetHandler(std::move(onWait)); }

    const std::string& ServerKey() const { return FServerKey; }
    const std::string& DatabaseKey() const { return FDatabaseKey; }

private:
    std::string FServerDirectory;
    std::string FServerKey;
    std::string FDatabaseName;
    std::string FDatabaseKey;
    TSqliteDatabase FDatabase;
    // The session's registration as a user of its database (none for master).
    std::unique_ptr<TDatabaseUse> FUse;
    bool FAlive = true;
    // Statement shapes whose LIKE prefix searches have been given their indexes.
    std::unordered_set<std::string> FAdvisedShapes;
    // Ranged statements, and whether they select exactly what their LIKEs do.
    std::unordered_map<std::string, bool> FExactRanges;
    std::string FKillReason;
    TWaitTicker FWait;
    TClientGuard FGuard;

    // Prepared statements by their SQLite text, most recent first.
    struct TCached {
        std::string Sql;
        sqlite3_stmt* Statement;
    };
    std::list<TCached> FCache;
    std::unordered_map<std::string, std::list<TCached>::iterator> FCacheIndex;

    void ClearCache();
    TResultSet ExecuteStatement(const std::string& statement);
    TResultSet RunSqlite(const std::string& sql, const std::vector<std::string>& parameters = {});
    TResultSet Restore(const std::vector<TToken>& sig);
    TResultSet AlterDatabase(const std::vector<TToken>& sig);
    TResultSet DropDatabase(const std::vector<TToken>& sig);
    TResultSet CreateDatabase(const std::vector<TToken>& sig);
};

}  // namespace Velmora::Standin
