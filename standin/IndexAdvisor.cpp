#include "standin/IndexAdvisor.h"

#include <optional>
#include <string>
#include <vector>

namespace Velmora::Standin {

namespace {

struct TOrigin {
    std::string Table;
    std::string Column;
};

// Runs a statement that reads rows and calls back with each; false when it cannot be prepared.
template <typename TRow>
bool EachRow(sqlite3* db, const std::string& sql, const std::vector<std::string>& arguments, TRow row)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return false;
    }
    for (std::size_t k = 0; k < arguments.size(); ++k) {
        sqlite3_bind_text(statement, static_cast<int>(k + 1), arguments[k].c_str(), -1, SQLITE_TRANSIENT);
    }
    while (sqlite3_step(statement) == SQLITE_ROW) row(statement);
    sqlite3_finalize(statement);
    return true;
}

std::string Text(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text != nullptr ? text : "";
}

// The base table and column behind each expression, read from a statement that
// selects them over the given FROM clause; none for a computed expression.
std::vector<std::optional<TOrigin>> Origins(sqlite3* db, const std::vector<std::string>& columns,
                                            const std::string& fromClause)
{
    std::string sql = "SELECT ";
    for (std::size_t k = 0; k < columns.size(); ++k) sql += (k > 0 ? ", " : "") + columns[k];
    sql += " " + fromClause;
    std::vector<std::optional<TOrigin>> origins(columns.size());
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        for (std::size_t k = 0; k < columns.size(); ++k) {
            const int c = static_cast<int>(k);
            const char* database = sqlite3_column_database_name(statement, c);
            const char* table = sqlite3_column_table_name(statement, c);
            const char* column = sqlite3_column_origin_name(statement, c);
            if (database != nullptr && std::string(database) == "main" && table != nullptr && column != nullptr) {
                origins[k] = TOrigin{table, column};
            }
        }
    }
    sqlite3_finalize(statement);
    return origins;
}

bool SameName(const std::string& a, const std::string& b) { return SameText(a, b); }

void EnsureIndex(sqlite3* db, const TOrigin& origin)
{
    bool covered = false;
    // The row id needs no index.
    EachRow(db, "SELECT type, pk, (SELECT count(*) FROM pragma_table_info(?1) WHERE pk > 0) FROM pragma_table_info(?1)"
                " WHERE name = ?2 COLLATE NOCASE",
            {origin.Table, origin.Column}, [&](sqlite3_stmt* row) {
                if (SameName(Text(row, 0), "INTEGER") && sqlite3_column_int(row, 1) == 1 && sqlite3_column_int(row, 2) == 1) {
                    covered = true;
                }
            });
    std::vector<std::string> indexes;
    EachRow(db, "SELECT name FROM pragma_index_list(?1)", {origin.Table},
            [&](sqlite3_stmt* row) { indexes.push_back(Text(row, 0)); });
    for (const std::string& index : indexes) {
        EachRow(db, "SELECT name FROM pragma_index_info(?1) WHERE seqno = 0", {index}, [&](sqlite3_stmt* row) {
            if (SameName(Text(row, 0), origin.Column)) covered = true;
        });
    }
    if (covered) return;
    std::string name = "velmora_" + origin.Table + "_" + origin.Column;
    for (char& c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!plain) c = '_';
    }
    const std::string sql = "CREATE INDEX IF NOT EXISTS " + QuoteName(name) + " ON " + QuoteName(origin.Table) + " (" +
                            QuoteName(origin.Column) + ")";
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

void IndexOrigins(sqlite3* db, const std::vector<std::string>& columns, const std::string& fromClause)
{
    if (columns.empty() || fromClause.empty()) return;
    for (const auto& origin : Origins(db, columns, fromClause)) {
        if (origin) EnsureIndex(db, *origin);
    }
}

// SQLite's own rule for the affinity of a declared type.
bool HasTextAffinity(const std::string& declaredType)
{
    std::string upper;
    for (char c : declaredType) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (upper.find("INT") != std::string::npos) return false;
    return upper.find("CHAR") != std::string::npos || upper.find("CLOB") != std::string::npos ||
           upper.find("TEXT") != std::string::npos;
}

}  // namespace

bool RangesAreExact(sqlite3* db, const TTranslation& query)
{
    if (query.RangedSql.empty() || query.FromClause.empty()) return false;
    for (const auto& origin : Origins(db, query.RangeColumns, query.FromClause)) {
        if (!origin) return false;
        const char* declaredType = nullptr;
        if (sqlite3_table_column_metadata(db, "main", origin->Table.c_str(), origin->Column.c_str(), &declaredType,
                                          nullptr, nullptr, nullptr, nullptr) != SQLITE_OK ||
            declaredType == nullptr || !HasTextAffinity(declaredType)) {
            return false;
        }
    }
    return true;
}

void IndexViewJoins(sqlite3* db, const TTranslation& view)
{
    std::vector<std::string> columns;
    for (const auto& pair : view.JoinedColumns) {
        columns.push_back(pair.first);
        columns.push_back(pair.second);
    }
    IndexOrigins(db, columns, view.FromClause);
}

void IndexPrefixSearches(sqlite3* db, const TTranslation& query)
{
    IndexOrigins(db, query.PrefixColumns, query.FromClause);
}

}  // namespace Velmora::Standin
