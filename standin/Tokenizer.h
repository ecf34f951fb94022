#pragma once
// T-SQL text cut into tokens: single-quoted strings with doubled quotes, bracketed
// and double-quoted names, comments. Everything that reads or rewrites a statement
// works on these, so that nothing inside a string literal is ever mistaken for SQL.

#include <string>
#include <vector>

#include "preprocess/TextUtils.h"

namespace Velmora::Standin {

using Velmora::LowerAscii;

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
// A string literal holding value.
std::string QuoteLiteral(const std::string& value);
// A name in double quotes, as SQLite reads any name.
std::string QuoteName(const std::string& name);

}  // namespace Velmora::Standin
