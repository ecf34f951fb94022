#pragma once
// T-SQL LIKE under the server's default case-insensitive collation: % _ and
// bracket classes ([abc], [a-c], [^a], and the escapes [%] [_] [[]). Trailing
// blanks count on both sides, unlike in = and <>.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Velmora::Standin {

struct TPatternItem {
    enum class TKind { Literal, AnyString, AnyChar, Class };
    explicit TPatternItem(TKind kind) : Kind(kind) {}
    TKind Kind;
    std::uint32_t Char = 0;                                      // Literal
    bool Negated = false;                                        // Class
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Ranges;  // Class, folded
    std::string Utf8;                                            // Literal as written
};

// A pattern as the items it matches one after the other.
std::vector<TPatternItem> ParsePattern(const std::string& pattern);

bool TsqlLikeMatches(const std::string& pattern, const std::string& text);

}  // namespace Velmora::Standin
