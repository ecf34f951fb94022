#pragma once
// What every stand-in connection does with SQLite itself: the functions the
// shim's SQL relies on, and stepping a prepared statement into rows.

#include <sqlite3.h>

#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/Database.h"

namespace Velmora::Standin {

struct TResultSet {
    std::vector<std::string> Columns;
    std::vector<std::vector<TFieldValue>> Rows;
};

// The functions the shim's rewritten SQL calls (regexp for T-SQL LIKE, getdate,
// the exact SUM); every connection gets them.
void RegisterFunctions(sqlite3* db);

// Steps a statement to its end; rows are kept when into is given. Raises
// EProviderError with SQLite's message when a step fails.
void RunStatement(sqlite3* db, sqlite3_stmt* statement, TResultSet* into);

// Whether [from, to) holds nothing but blanks and semicolons.
bool OnlySpace(const char* from, const char* to);

// Calls a handler every few tens of milliseconds while a statement runs: SQLite
// asks it through its progress handler, long copies between their chunks. A
// handler that throws ends the statement (SQLite sees an interrupt) and its
// exception is raised again once SQLite has unwound.
class TWaitTicker {
public:
    static constexpr std::chrono::milliseconds Interval{25};

    void SetHandler(std::function<void()> handler) { FHandler = std::move(handler); }
    // The interval counts from now.
    void Start();
    // Calls the handler when an interval has passed since the last call.
    void Tick();
    // Lets SQLite call Tick while statements on db run.
    void Attach(sqlite3* db);
    // Raises the handler's exception, if it threw, and forgets it.
    void RaiseHandlerFailure();

private:
    std::function<void()> FHandler;
    std::chrono::steady_clock::time_point FLast{};
    std::exception_ptr FFailure;

    static int OnProgress(void* ticker);
};

}  // namespace Velmora::Standin
