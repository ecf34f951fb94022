#include "standin/Statements.h"

#include "standin/BackupMedia.h"
#include "standin/ExactSum.h"
#include "standin/SqlShim.h"
#include "standin/Sqlite.h"
#include "standin/TsqlRules.h"

namespace Velmora::Standin {

namespace {

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

}  // namespace

void RegisterFunctions(sqlite3* db)
{
    sqlite3_create_function(db, "regexp", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, RegexpFunction, nullptr,
                            nullptr);
    sqlite3_create_function(db, "getdate", 0, SQLITE_UTF8, nullptr, GetDateFunction, nullptr, nullptr);
    if (!RegisterExactSum(db)) RaiseSqliteError(db, sqlite3_errcode(db));
    RegisterTsqlRules(db);
}

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

void TWaitTicker::Start() { FLast = std::chrono::steady_clock::now(); }

void TWaitTicker::Tick()
{
    if (!FHandler) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - FLast < Interval) return;
    FHandler();
    // The handler's own time does not count against the statement.
    FLast = std::chrono::steady_clock::now();
}

void TWaitTicker::Attach(sqlite3* db)
{
    // About a few microseconds of work between looks at the clock.
    constexpr int Instructions = 1000;
    sqlite3_progress_handler(db, Instructions, &TWaitTicker::OnProgress, this);
}

int TWaitTicker::OnProgress(void* ticker)
{
    auto* self = static_cast<TWaitTicker*>(ticker);
    try {
        self->Tick();
        return 0;
    } catch (...) {
        // Nothing may cross SQLite's C frames; the statement is interrupted instead.
        self->FFailure = std::current_exception();
        return 1;
    }
}

void TWaitTicker::RaiseHandlerFailure()
{
    if (!FFailure) return;
    std::exception_ptr failure = FFailure;
    FFailure = nullptr;
    std::rethrow_exception(failure);
}

}  // namespace Velmora::Standin
