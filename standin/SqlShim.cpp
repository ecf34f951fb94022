#include "standin/SqlShim.h"

#include <cstdint>

#include "platform/Errors.h"
#include "standin/ExactSum.h"

namespace Velmora::Standin {

namespace {

bool IsSpaceByte(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }
bool IsDigitByte(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsLetterByte(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsWordStart(unsigned char c) { return IsLetterByte(c) || c == '_' || c == '@' || c == '#' || c >= 0x80; }
bool IsWordPart(unsigned char c) { return IsWordStart(c) || IsDigitByte(c) || c == '$'; }

char LowerChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Excerpt(const std::string& text)
{
    // The server quotes at most a short piece of the text that follows.
    return text.size() > 40 ? text.substr(0, 40) : text;
}

// Finds the end of a quoted run whose closing character is doubled to stand for itself.
std::size_t QuotedEnd(const std::string& sql, std::size_t open, char close)
{
    std::size_t j = open + 1;
    while (j < sql.size()) {
        if (sql[j] == close) {
            if (j + 1 < sql.size() && sql[j + 1] == close) {
                j += 2;
                continue;
            }
            return j + 1;
        }
        ++j;
    }
    return std::string::npos;
}

}  // namespace

std::string LowerAscii(std::string text)
{
    for (char& c : text) c = LowerChar(c);
    return text;
}

std::vector<TToken> Tokenize(const std::string& sql)
{
    std::vector<TToken> tokens;
    const std::size_t n = sql.size();
    std::size_t i = 0;
    auto at = [&](std::size_t k) -> unsigned char { return k < n ? static_cast<unsigned char>(sql[k]) : 0; };
    while (i < n) {
        const unsigned char c = at(i);
        std::size_t j = i + 1;
        TTokenKind kind = TTokenKind::Symbol;
        std::size_t textStart = i;
        if (IsSpaceByte(c)) {
            while (j < n && IsSpaceByte(at(j))) ++j;
            kind = TTokenKind::Space;
        } else if (c == '-' && at(i + 1) == '-') {
            while (j < n && at(j) != '\n') ++j;
            kind = TTokenKind::Comment;
        } else if (c == '/' && at(i + 1) == '*') {
            const std::size_t end = sql.find("*/", i + 2);
            if (end == std::string::npos) throw EProviderError("Missing end comment mark '*/'.");
            j = end + 2;
            kind = TTokenKind::Comment;
        } else if (c == '\'' || ((c == 'N' || c == 'n') && at(i + 1) == '\'')) {
            textStart = c == '\'' ? i : i + 1;
            j = QuotedEnd(sql, textStart, '\'');
            if (j == std::string::npos) {
                throw EProviderError("Unclosed quotation mark before the character string '" +
                                     Excerpt(sql.substr(textStart + 1)) + "'.");
            }
            kind = TTokenKind::String;
        } else if (c == '[' || c == '"') {
            j = QuotedEnd(sql, i, c == '[' ? ']' : '"');
            if (j == std::string::npos) {
                throw EProviderError("Unclosed quotation mark before the character string '" +
                                     Excerpt(sql.substr(i + 1)) + "'.");
            }
            kind = TTokenKind::QuotedName;
        } else if (IsDigitByte(c) || (c == '.' && IsDigitByte(at(i + 1)))) {
            if (c == '0' && (at(i + 1) == 'x' || at(i + 1) == 'X')) {
                j = i + 2;
                while (j < n && (IsDigitByte(at(j)) || IsLetterByte(at(j)))) ++j;
            } else {
                while (j < n && (IsDigitByte(at(j)) || at(j) == '.')) ++j;
                if ((at(j) == 'e' || at(j) == 'E') &&
                    (IsDigitByte(at(j + 1)) || ((at(j + 1) == '+' || at(j + 1) == '-') && IsDigitByte(at(j + 2))))) {
                    j += 2;
                    while (j < n && IsDigitByte(at(j))) ++j;
                }
            }
            kind = TTokenKind::Number;
        } else if (IsWordStart(c)) {
            while (j < n && IsWordPart(at(j))) ++j;
            kind = TTokenKind::Word;
        } else {
            static const char* const pairs[] = {"<>", "<=", ">=", "!=", "!<", "!>", "||", "==", "<<", ">>"};
            for (const char* pair : pairs) {
                if (c == static_cast<unsigned char>(pair[0]) && at(i + 1) == static_cast<unsigned char>(pair[1])) {
                    j = i + 2;
                    break;
                }
            }
        }
        tokens.push_back(TToken{kind, sql.substr(textStart, j - textStart)});
        i = j;
    }
    return tokens;
}

std::vector<TToken> Significant(const std::vector<TToken>& tokens)
{
    std::vector<TToken> result;
    for (const TToken& token : tokens) {
        if (token.Kind != TTokenKind::Space && token.Kind != TTokenKind::Comment) result.push_back(token);
    }
    return result;
}

bool IsWord(const TToken& token, const char* keyword)
{
    if (token.Kind != TTokenKind::Word) return false;
    std::size_t k = 0;
    for (; keyword[k] != '\0'; ++k) {
        if (k >= token.Text.size() || LowerChar(token.Text[k]) != LowerChar(keyword[k])) return false;
    }
    return k == token.Text.size();
}

bool IsSymbol(const TToken& token, const char* symbol) { return token.Kind == TTokenKind::Symbol && token.Text == symbol; }

std::string StringValue(const TToken& token)
{
    std::string value;
    const std::string& text = token.Text;
    for (std::size_t k = 1; k + 1 < text.size(); ++k) {
        value += text[k];
        if (text[k] == '\'' && text[k + 1] == '\'') ++k;
    }
    return value;
}

std::string NameValue(const TToken& token)
{
    if (token.Kind != TTokenKind::QuotedName) return token.Text;
    const char close = token.Text[0] == '[' ? ']' : '"';
    std::string value;
    for (std::size_t k = 1; k + 1 < token.Text.size(); ++k) {
        value += token.Text[k];
        if (token.Text[k] == close && token.Text[k + 1] == close) ++k;
    }
    return value;
}

// ---------------------------------------------------------------------------
// LIKE patterns

namespace {

std::vector<std::uint32_t> CodePoints(const std::string& text)
{
    // Lenient: a byte that does not start a valid sequence stands for itself.
    std::vector<std::uint32_t> result;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        std::uint32_t value = length == 1 ? c : length == 2 ? (c & 0x1F) : length == 3 ? (c & 0x0F) : (c & 0x07);
        bool valid = length > 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            value = (value << 6) | (next & 0x3F);
        }
        if (!valid) {
            result.push_back(0xDC00u + c);  // a lone surrogate never equals decoded text
            ++i;
            continue;
        }
        result.push_back(value);
        i += length;
    }
    return result;
}

std::uint32_t Fold(std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

struct TPatternItem {
    enum class TKind { Literal, AnyString, AnyChar, Class };
    explicit TPatternItem(TKind kind) : Kind(kind) {}
    TKind Kind;
    std::uint32_t Char = 0;                                      // Literal
    bool Negated = false;                                        // Class
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Ranges;  // Class, folded
    std::string Utf8;                                            // Literal as written
};

std::string EncodeUtf8(std::uint32_t c)
{
    std::string out;
    if (c >= 0xDC80u && c <= 0xDCFFu) {
        out += static_cast<char>(c - 0xDC00u);
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

std::vector<TPatternItem> ParsePattern(const std::string& pattern)
{
    const std::vector<std::uint32_t> cps = CodePoints(pattern);
    std::vector<TPatternItem> items;
    auto literal = [&](std::uint32_t c) {
        TPatternItem item{TPatternItem::TKind::Literal};
        item.Char = c;
        item.Utf8 = EncodeUtf8(c);
        items.push_back(item);
    };
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const std::uint32_t c = cps[i];
        if (c == '%') {
            items.push_back(TPatternItem{TPatternItem::TKind::AnyString});
        } else if (c == '_') {
            items.push_back(TPatternItem{TPatternItem::TKind::AnyChar});
        } else if (c == '[') {
            std::size_t close = i + 1;
            while (close < cps.size() && cps[close] != ']') ++close;
            if (close >= cps.size() || close == i + 1) {
                literal(c);  // no class follows: the bracket stands for itself
                continue;
            }
            const std::size_t length = close - i - 1;
            if (length == 1) {
                literal(cps[i + 1]);  // [%] [_] [[] and any single character
            } else {
                TPatternItem item{TPatternItem::TKind::Class};
                std::size_t k = i + 1;
                if (cps[k] == '^') {
                    item.Negated = true;
                    ++k;
                }
                for (; k < close; ++k) {
                    if (k + 2 < close && cps[k + 1] == '-') {
                        item.Ranges.emplace_back(Fold(cps[k]), Fold(cps[k + 2]));
                        k += 2;
                    } else {
                        item.Ranges.emplace_back(Fold(cps[k]), Fold(cps[k]));
                    }
                }
                items.push_back(item);
            }
            i = close;
        } else {
            literal(c);
        }
    }
    return items;
}

bool ItemMatches(const TPatternItem& item, std::uint32_t c)
{
    switch (item.Kind) {
    case TPatternItem::TKind::Literal:
        return Fold(item.Char) == Fold(c);
    case TPatternItem::TKind::AnyChar:
        return true;
    case TPatternItem::TKind::Class: {
        const std::uint32_t folded = Fold(c);
        bool inside = false;
        for (const auto& range : item.Ranges) {
            if (folded >= range.first && folded <= range.second) inside = true;
        }
        return inside != item.Negated;
    }
    case TPatternItem::TKind::AnyString:
        break;
    }
    return false;
}

std::string QuoteLiteral(const std::string& value)
{
    std::string out = "'";
    for (char c : value) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

}  // namespace

bool TsqlLikeMatches(const std::string& pattern, const std::string& text)
{
    const std::vector<TPatternItem> items = ParsePattern(pattern);
    const std::vector<std::uint32_t> cps = CodePoints(text);
    // Every item but % takes exactly one character, so one back-track point suffices.
    std::size_t p = 0, t = 0;
    std::size_t starItem = std::string::npos, starText = 0;
    while (t < cps.size()) {
        if (p < items.size() && items[p].Kind == TPatternItem::TKind::AnyString) {
            starItem = p++;
            starText = t;
        } else if (p < items.size() && ItemMatches(items[p], cps[t])) {
            ++p;
            ++t;
        } else if (starItem != std::string::npos) {
            p = starItem + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < items.size() && items[p].Kind == TPatternItem::TKind::AnyString) ++p;
    return p == items.size();
}

// ---------------------------------------------------------------------------
// Rewrites

namespace {

class TRewriter {
public:
    explicit TRewriter(std::vector<TToken>& tokens) : FTokens(tokens)
    {
        for (std::size_t k = 0; k < tokens.size(); ++k) {
            if (tokens[k].Kind != TTokenKind::Space && tokens[k].Kind != TTokenKind::Comment) FSig.push_back(k);
        }
    }

    std::vector<std::string> PrefixColumns;
    struct TRange {
        std::size_t FirstToken;
        std::size_t LastToken;
        std::string Column;
        std::string Low;
        std::string High;
    };
    std::vector<TRange> Ranges;

    void Run()
    {
        DropOwnerPrefixes();
        RenameFunctions();
        MapCollations();
        if (Count() >= 2 && Word(0, "CREATE")) {
            if (Word(1, "TABLE")) CreateTable();
            else CreateIndex();
        }
        Likes();
    }

private:
    std::vector<TToken>& FTokens;
    std::vector<std::size_t> FSig;

    std::size_t Count() const { return FSig.size(); }
    TToken& Sig(std::size_t k) { return FTokens[FSig[k]]; }
    bool Word(std::size_t k, const char* keyword) { return k < Count() && IsWord(Sig(k), keyword); }
    bool Symbol(std::size_t k, const char* symbol) { return k < Count() && IsSymbol(Sig(k), symbol); }
    bool IsName(std::size_t k)
    {
        return k < Count() && (Sig(k).Kind == TTokenKind::Word || Sig(k).Kind == TTokenKind::QuotedName);
    }
    void Blank(std::size_t k) { Sig(k).Text.clear(); }

    // Index of the ")" that closes the "(" at k.
    std::size_t Closing(std::size_t open)
    {
        int depth = 0;
        for (std::size_t k = open; k < Count(); ++k) {
            if (Symbol(k, "(")) ++depth;
            if (Symbol(k, ")") && --depth == 0) return k;
        }
        return Count();
    }

    // dbo.Account: SQLite would take the owner for an attached database.
    void DropOwnerPrefixes()
    {
        for (std::size_t k = 0; k + 2 < Count(); ++k) {
            if (IsName(k) && LowerAscii(NameValue(Sig(k))) == "dbo" && Symbol(k + 1, ".") && IsName(k + 2) &&
                !(k > 0 && Symbol(k - 1, "."))) {
                Blank(k);
                Blank(k + 1);
            }
        }
    }

    void RenameFunctions()
    {
        for (std::size_t k = 0; k + 1 < Count(); ++k) {
            // SQLite reads ISNULL as the postfix test "x ISNULL".
            if (Word(k, "ISNULL") && Symbol(k + 1, "(")) Sig(k).Text = "ifnull";
            // The server sums money exactly; SQLite's own sum adds doubles as they come.
            if (Word(k, "SUM") && Symbol(k + 1, "(") && !(k > 0 && Symbol(k - 1, "."))) Sig(k).Text = ExactSumName;
        }
    }

    static std::string SqliteCollation(const std::string& name)
    {
        const std::string lower = LowerAscii(name);
        if (lower == "nocase" || lower == "binary" || lower == "rtrim") return name;
        if (lower.find("_cs") != std::string::npos || lower.find("_bin") != std::string::npos) return "BINARY";
        return "NOCASE";
    }

    void MapCollations()
    {
        for (std::size_t k = 0; k + 1 < Count(); ++k) {
            if (Word(k, "COLLATE") && IsName(k + 1)) Sig(k + 1).Text = SqliteCollation(NameValue(Sig(k + 1)));
        }
    }

    // ") ON [PRIMARY]", "TEXTIMAGE_ON [PRIMARY]", "WITH FILLFACTOR = 90": storage
    // clauses that mean nothing to a single-file database.
    void DropStorageClauses(std::size_t from, std::size_t to)
    {
        for (std::size_t k = from; k < to && k < Count(); ++k) {
            if ((Word(k, "ON") && k > 0 && Symbol(k - 1, ")") && IsName(k + 1) && !Symbol(k + 2, "(") &&
                 !Word(k + 1, "DELETE") && !Word(k + 1, "UPDATE") && !Word(k + 1, "CONFLICT")) ||
                (Word(k, "TEXTIMAGE_ON") && IsName(k + 1))) {
                Blank(k);
                Blank(k + 1);
                ++k;
            } else if (Word(k, "WITH") && Word(k + 1, "FILLFACTOR") && Symbol(k + 2, "=")) {
                for (std::size_t m = k; m < k + 4 && m < Count(); ++m) Blank(m);
                k += 3;
            } else if (Word(k, "CLUSTERED") || Word(k, "NONCLUSTERED")) {
                Blank(k);
            }
        }
    }

    void CreateTable()
    {
        std::size_t open = 2;
        while (open < Count() && !Symbol(open, "(")) ++open;
        if (open >= Count()) return;
        const std::size_t close = Closing(open);
        std::size_t start = open + 1;
        int depth = 0;
        for (std::size_t k = open + 1; k <= close && k < Count(); ++k) {
            if (Symbol(k, "(")) ++depth;
            if (Symbol(k, ")")) --depth;
            if ((depth == 0 && Symbol(k, ",")) || k == close) {
                Definition(start, k);
                start = k + 1;
            }
        }
        DropStorageClauses(close, Count());
    }

    void Definition(std::size_t from, std::size_t to)
    {
        if (from >= to) return;
        static const char* const constraintWords[] = {"CONSTRAINT", "PRIMARY", "UNIQUE", "FOREIGN", "CHECK", "INDEX"};
        for (const char* word : constraintWords) {
            if (Word(from, word)) {
                DropStorageClauses(from, to);
                return;
            }
        }
        if (!IsName(from + 1) || from + 1 >= to) return;
        const std::size_t typeAt = from + 1;
        bool hasCollate = false, primaryKey = false, identity = false;
        for (std::size_t k = typeAt + 1; k < to; ++k) {
            if (Word(k, "COLLATE")) hasCollate = true;
            if (Word(k, "PRIMARY")) primaryKey = true;
            if (Word(k, "IDENTITY")) {
                identity = true;
                Blank(k);
                if (Symbol(k + 1, "(")) {
                    const std::size_t end = Closing(k + 1);
                    for (std::size_t m = k + 1; m <= end && m < to; ++m) Blank(m);
                }
            }
            if (Word(k, "ROWGUIDCOL")) Blank(k);
        }
        DropStorageClauses(typeAt + 1, to);

        // The type's own arguments, e.g. varchar(18).
        std::size_t typeEnd = typeAt;
        if (Symbol(typeAt + 1, "(")) {
            typeEnd = Closing(typeAt + 1);
            if (Word(typeAt + 2, "MAX")) {
                for (std::size_t m = typeAt + 1; m <= typeEnd; ++m) Blank(m);
            }
        }
        const std::string type = LowerAscii(NameValue(Sig(typeAt)));
        if (type == "money") {
            Sig(typeAt).Text = "DECIMAL(19,4)";
        } else if (type == "smallmoney") {
            Sig(typeAt).Text = "DECIMAL(10,4)";
        } else if (type == "bit") {
            Sig(typeAt).Text = "INTEGER";
        } else if (identity && primaryKey) {
            Sig(typeAt).Text = "INTEGER";  // becomes the row id, so it numbers itself
        } else if (type == "uniqueidentifier") {
            Sig(typeAt).Text = "CHAR(36)";
        }
        static const char* const textTypes[] = {"char", "varchar", "nchar", "nvarchar", "text", "ntext", "sysname",
                                                "uniqueidentifier"};
        bool isText = false;
        for (const char* textType : textTypes) isText = isText || type == textType;
        // The server compares text without regard to case; NOCASE also lets an
        // index serve LIKE 'prefix%'.
        if (isText && !hasCollate) Sig(typeEnd).Text += " COLLATE NOCASE";
    }

    void CreateIndex()
    {
        std::size_t k = 1;
        while (k < Count() && (Word(k, "UNIQUE") || Word(k, "CLUSTERED") || Word(k, "NONCLUSTERED"))) ++k;
        if (!Word(k, "INDEX")) return;
        for (std::size_t m = 1; m < k; ++m) {
            if (Word(m, "CLUSTERED") || Word(m, "NONCLUSTERED")) Blank(m);
        }
        std::size_t open = k;
        while (open < Count() && !Symbol(open, "(")) ++open;
        if (open >= Count()) return;
        DropStorageClauses(Closing(open), Count());
    }

    // Start of a plain column reference (name, a.name, [a].[name]) that ends at k.
    std::size_t ColumnReferenceStart(std::size_t end)
    {
        if (!IsName(end)) return Count();
        std::size_t start = end;
        while (start >= 2 && Symbol(start - 1, ".") && IsName(start - 2)) start -= 2;
        return start;
    }

    bool BindsLooserBefore(std::size_t k)
    {
        if (k >= Count()) return true;
        static const char* const words[] = {"WHERE", "AND", "OR", "NOT", "ON", "HAVING", "WHEN"};
        for (const char* word : words) {
            if (Word(k, word)) return true;
        }
        return Symbol(k, "(");
    }

    bool BindsLooserAfter(std::size_t k)
    {
        if (k >= Count()) return true;
        static const char* const words[] = {"AND", "OR", "THEN", "ELSE", "END", "ORDER", "GROUP", "HAVING",
                                            "UNION", "EXCEPT", "INTERSECT", "LIMIT", "WHEN"};
        for (const char* word : words) {
            if (Word(k, word)) return true;
        }
        return Symbol(k, ")") || Symbol(k, ";");
    }

    // LIKE with a literal pattern: the T-SQL pattern in SQLite's terms. A pattern
    // with character classes goes to the stand-in's own matcher (REGEXP is the
    // only infix operator SQLite lets a program supply). A pattern without letters
    // means the same under GLOB, which an index with the binary collation can
    // serve; with both tests present SQLite uses whichever index fits.
    void Likes()
    {
        for (std::size_t k = 0; k + 1 < Count(); ++k) {
            if (!Word(k, "LIKE") || Sig(k + 1).Kind != TTokenKind::String) continue;
            if (Word(k + 2, "ESCAPE")) continue;
            const std::vector<TPatternItem> items = ParsePattern(StringValue(Sig(k + 1)));
            bool hasClass = false, letterless = true;
            std::string like, glob;
            bool needsEscape = false;
            for (const TPatternItem& item : items) {
                switch (item.Kind) {
                case TPatternItem::TKind::AnyString:
                    like += '%';
                    glob += '*';
                    break;
                case TPatternItem::TKind::AnyChar:
                    like += '_';
                    glob += '?';
                    break;
                case TPatternItem::TKind::Class:
                    hasClass = true;
                    break;
                case TPatternItem::TKind::Literal:
                    if (item.Char < 0x80 && IsLetterByte(static_cast<unsigned char>(item.Char))) letterless = false;
                    if (item.Char == '%' || item.Char == '_' || item.Char == '\\') {
                        like += '\\';
                        needsEscape = true;
                    }
                    like += item.Utf8;
                    if (item.Char == '*' || item.Char == '?' || item.Char == '[') glob += "[" + item.Utf8 + "]";
                    else glob += item.Utf8;
                    break;
                }
            }
            if (hasClass) {
                Sig(k).Text = "REGEXP";
                continue;
            }
            Sig(k + 1).Text = QuoteLiteral(like) + (needsEscape ? " ESCAPE '\\'" : "");

            const bool negated = k > 0 && Word(k - 1, "NOT");
            const bool prefixed = !items.empty() && items.front().Kind == TPatternItem::TKind::Literal;
            if (negated || !letterless || !prefixed || k == 0) continue;
            const std::size_t start = ColumnReferenceStart(k - 1);
            if (start >= Count() || (start > 0 && !BindsLooserBefore(start - 1)) || !BindsLooserAfter(k + 2)) continue;
            std::string column;
            for (std::size_t t = FSig[start]; t <= FSig[k - 1]; ++t) column += FTokens[t].Text;
            Sig(start).Text = "(" + column + " GLOB " + QuoteLiteral(glob) + " AND " + Sig(start).Text;
            Sig(k + 1).Text += ")";
            PrefixColumns.push_back(column);

            // Digits and punctuation below '@' followed by one final %: the range
            // [prefix, prefix with its last character raised) holds exactly the
            // texts that start with it, under either collation.
            bool pure = items.size() >= 2 && items.back().Kind == TPatternItem::TKind::AnyString;
            std::string low;
            for (std::size_t m = 0; pure && m + 1 < items.size(); ++m) {
                pure = items[m].Kind == TPatternItem::TKind::Literal && items[m].Char >= 0x21 && items[m].Char <= 0x3F;
                low += static_cast<char>(items[m].Char);
            }
            if (pure) {
                std::string high = low;
                high.back() = static_cast<char>(high.back() + 1);
                Ranges.push_back(TRange{FSig[start], FSig[k + 1], column, low, high});
            }
        }
    }
};

}  // namespace

namespace {

// "a.x = b.y" with both sides qualified, at any depth.
std::vector<std::pair<std::string, std::string>> JoinedColumns(const std::vector<TToken>& sig)
{
    auto isName = [&](std::size_t k) {
        return k < sig.size() && (sig[k].Kind == TTokenKind::Word || sig[k].Kind == TTokenKind::QuotedName);
    };
    auto qualified = [&](std::size_t k) { return isName(k) && k + 2 < sig.size() && IsSymbol(sig[k + 1], ".") && isName(k + 2); };
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::size_t k = 0; k + 6 < sig.size(); ++k) {
        if (qualified(k) && IsSymbol(sig[k + 3], "=") && qualified(k + 4) && !(k > 0 && IsSymbol(sig[k - 1], "."))) {
            pairs.emplace_back(sig[k].Text + "." + sig[k + 2].Text, sig[k + 4].Text + "." + sig[k + 6].Text);
        }
    }
    return pairs;
}

}  // namespace

TTranslation TranslateStatement(const std::string& sql)
{
    const std::vector<TToken> original = Tokenize(sql);
    std::vector<TToken> tokens = original;
    TRewriter rewriter(tokens);
    rewriter.Run();

    TTranslation result;
    result.PrefixColumns = rewriter.PrefixColumns;
    result.Sql.reserve(sql.size() + 32);
    for (const TToken& token : tokens) result.Sql += token.Text;
    for (const TToken& token : original) {
        result.Shape += token.Kind == TTokenKind::String || token.Kind == TTokenKind::Number ? "?" : token.Text;
    }

    const std::vector<TToken> sig = Significant(original);
    // Parameters of its own, or a second statement, would upset the numbering.
    bool parameterFree = true;
    for (std::size_t k = 0; k < sig.size(); ++k) {
        if (IsSymbol(sig[k], "?") || (sig[k].Kind == TTokenKind::Word && sig[k].Text[0] == '@') ||
            (IsSymbol(sig[k], ";") && k + 1 < sig.size())) {
            parameterFree = false;
        }
    }
    if (parameterFree && !rewriter.Ranges.empty()) {
        std::size_t next = 0;
        for (std::size_t t = 0; t < tokens.size(); ++t) {
            if (next < rewriter.Ranges.size() && t == rewriter.Ranges[next].FirstToken) {
                const auto& range = rewriter.Ranges[next++];
                const std::string low = "?" + std::to_string(result.RangeParameters.size() + 1);
                const std::string high = "?" + std::to_string(result.RangeParameters.size() + 2);
                result.RangedSql += "(" + range.Column + " >= " + low + " AND " + range.Column + " < " + high + ")";
                result.RangeParameters.push_back(range.Low);
                result.RangeParameters.push_back(range.High);
                result.RangeColumns.push_back(range.Column);
                t = range.LastToken;
                continue;
            }
            result.RangedSql += tokens[t].Text;
        }
    }
    result.CreatesView = sig.size() >= 2 && IsWord(sig[0], "CREATE") && IsWord(sig[1], "VIEW");
    if (result.CreatesView) result.JoinedColumns = JoinedColumns(sig);

    // The FROM of the first SELECT, in the rewritten text.
    bool inSelect = false;
    int depth = 0;
    for (std::size_t k = 0; k < tokens.size(); ++k) {
        const TToken& token = tokens[k];
        if (token.Kind == TTokenKind::Space || token.Kind == TTokenKind::Comment) continue;
        if (IsSymbol(token, "(")) ++depth;
        if (IsSymbol(token, ")")) --depth;
        if (!inSelect && IsWord(token, "SELECT")) {
            inSelect = true;
        } else if (inSelect && depth == 0 && IsWord(token, "FROM")) {
            for (std::size_t m = k; m < tokens.size(); ++m) result.FromClause += tokens[m].Text;
            break;
        }
    }
    return result;
}

std::string TranslateToSqlite(const std::string& sql) { return TranslateStatement(sql).Sql; }

}  // namespace Velmora::Standin
