#include "preprocess/TextUtils.h"

#include <climits>

#include "platform/Errors.h"

namespace Velmora {

std::string Trim(const std::string& text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= ' ') ++begin;
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
    return text.substr(begin, end - begin);
}

std::string LowerAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool SameText(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        char x = a[k], y = b[k];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

int StrToInt(const std::string& text)
{
    const std::string trimmed = Trim(text);
    const std::string message = "“" + text + "”不是有效的整数";
    if (trimmed.empty()) throw EVelmoraError(message);
    std::size_t i = 0;
    bool negative = false;
    if (trimmed[0] == '+' || trimmed[0] == '-') {
        negative = trimmed[0] == '-';
        i = 1;
    }
    if (i == trimmed.size()) throw EVelmoraError(message);
    long long value = 0;
    for (; i < trimmed.size(); ++i) {
        const char c = trimmed[i];
        if (c < '0' || c > '9') throw EVelmoraError(message);
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) throw EVelmoraError(message);
    }
    if (negative) value = -value;
    if (value > INT_MAX || value < INT_MIN) throw EVelmoraError(message);
    return static_cast<int>(value);
}

std::string QuoteSqlText(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out;
}

}  // namespace Velmora
