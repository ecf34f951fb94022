#pragma once
// The T-SQL the plug-in sends, brought to SQLite's dialect. The text is first cut
// into tokens (single-quoted strings with doubled quotes, bracketed and
// double-quoted names, comments), and only then rewritten token by token, so that
// nothing inside a string literal is ever touched.

#include <string>
#include <vector>

namespace Velmora::Standin {

enum class TTokenKind { Space, Comment, Word, QuotedName, String, Number, Symbol };

struct TToken {
    TTokenKind Kind;
    std::string Text;  // as written (an N'…' literal loses its N)
};

// Raises EProviderError on an unclosed quotation mark or bracket.
std::vector<TToken> Tokenize(const std::string& sql);

// The tokens that carry meaning: no blanks, no comments.
std::vector<TToken> Significant(const std::vector<TToken>& tokens);

// Case-insensitive keyword test on a word token.
bool IsWord(const TToken& token, const char* keyword);
bool IsSymbol(const TToken& token, const char* symbol);
// The value of a string literal, quotes removed and doubled quotes undone.
std::string StringValue(const TToken& token);
// A name as written, with brackets or double quotes removed.
std::string NameValue(const TToken& token);

// The statement in SQLite's dialect, with what the index advisor needs to know of it.
struct TTranslation {
    std::string Sql;
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
};

TTranslation TranslateStatement(const std::string& sql);
std::string TranslateToSqlite(const std::string& sql);

// T-SQL LIKE with the server's default case-insensitive collation: % _ and
// bracket classes ([abc], [a-c], [^a], and the escapes [%] [_] [[]).
bool TsqlLikeMatches(const std::string& pattern, const std::string& text);

// Lower-case ASCII copy.
std::string LowerAscii(std::string text);

}  // namespace Velmora::Standin
