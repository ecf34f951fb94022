#pragma once
// What every stand-in connection does with SQLite itself: the functions the
// shim's SQL relies on, and stepping a prepared statement into rows.

#include <sqlite3.h>

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

}  // namespace Velmora::Standin
