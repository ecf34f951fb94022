#pragma once
// The T-SQL the plug-in sends, brought to SQLite's dialect, token by token.

#include <string>
#include <utility>
#include <vector>

#include "standin/Tokenizer.h"
#include "standin/TsqlLike.h"
#include "standin/TsqlRules.h"

namespace Velmora::Standin {

// The statement in SQLite's dialect, with what the index advisor needs to know of it.
struct TTranslation {
    // What SQLite runs: Statement with the statements that go before and after it.
    std::string Sql;
    // The statement itself, rewritten.
    std::string Statement;
    // Column references searched with LIKE 'prefix%' (as written, e.g. "fchraccount" or "v.a").
    std::vector<std::string> PrefixColumns;
    // Equalities between two qualified columns (a.x = b.y): how a view joins.
    std::vector<std::pair<std::string, std::string>> JoinedColumns;
    // "FROM …" to the end, of the first SELECT of the statement (also inside CREATE VIEW).
    std::string FromClause;
    // Sql with every literal replaced by ?, to recognise a statement seen before.
    std::string Shape;
    // The same statement with each pure prefix search (like'1001%') written as a
    // range over parameters, so one prepared statement serves every prefix. Exact
    // only where the column holds text (RangeColumns name them); empty when the
    // statement has no such search.
    std::string RangedSql;
    std::vector<std::string> RangeParameters;
    std::vector<std::string> RangeColumns;
    bool CreatesView = false;
    // Statements Sql ends with that go with a new table (how its columns store values).
    std::vector<std::string> Companions;
};

// Refuses with the server's "Incorrect syntax near" error (Msg 102) what only
// SQLite would run: its own statements (PRAGMA, ATTACH, VACUUM, …), virtual and
// temporary tables, INSERT OR …, and a zero byte, at which SQLite would stop
// reading. sig: the statement's significant tokens.
void RefuseForeignSyntax(const std::string& statement, const std::vector<TToken>& sig);

TTranslation TranslateStatement(const std::string& sql);

}  // namespace Velmora::Standin
