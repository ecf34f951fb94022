#include "standin/Tokenizer.h"

#include "platform/Errors.h"

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

std::string QuoteLiteral(const std::string& value) { return "'" + QuoteSqlText(value) + "'"; }

std::string QuoteName(const std::string& name)
{
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"') out += '"';
    }
    return out + "\"";
}

}  // namespace Velmora::Standin
