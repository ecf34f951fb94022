#include "platform/Utf.h"

#include <cstdint>

#include "platform/Errors.h"

namespace Velmora {

namespace {

constexpr std::uint32_t Replacement = 0xFFFD;

void Invalid(TInvalidText invalid, const char* what)
{
    if (invalid == TInvalidText::Raise) throw EVelmoraError(what);
}

void AppendUtf16(std::u16string& out, std::uint32_t cp)
{
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(cp));
    }
}

}  // namespace

TUtf8Char DecodeUtf8(const std::string& text, std::size_t at)
{
    TUtf8Char result;
    const unsigned c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) return TUtf8Char{c, 1, true};
    std::size_t extra = 0;
    std::uint32_t cp = 0;
    // The range of the first continuation byte rules out overlong forms, surrogates
    // and values beyond U+10FFFF before they are decoded.
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        cp = c & 0x0F;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        cp = c & 0x07;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        result.Length = 1;
        return result;
    }
    std::size_t taken = 1;
    for (; taken <= extra && at + taken < text.size(); ++taken) {
        const unsigned next = static_cast<unsigned char>(text[at + taken]);
        if (next < low || next > high) break;
        low = 0x80;
        high = 0xBF;
        cp = (cp << 6) | (next & 0x3F);
    }
    result.Length = taken;
    if (taken <= extra) return result;
    result.CodePoint = cp;
    result.Valid = true;
    return result;
}

void AppendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::u16string Utf8ToUtf16(const std::string& utf8, TInvalidText invalid)
{
    const char* const message = "文本不是有效的UTF-8编码";
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const TUtf8Char next = DecodeUtf8(utf8, i);
        if (next.Valid) {
            AppendUtf16(out, next.CodePoint);
        } else {
            // One replacement for the broken sequence; the byte that broke it starts afresh.
            Invalid(invalid, message);
            out.push_back(static_cast<char16_t>(Replacement));
        }
        i += next.Length;
    }
    return out;
}

std::string Utf16ToUtf8(const std::u16string& utf16, TInvalidText invalid)
{
    std::string out;
    out.reserve(utf16.size() * 3);
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        std::uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            Invalid(invalid, "文本不是有效的UTF-16编码");
            cp = Replacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

}  // namespace Velmora
