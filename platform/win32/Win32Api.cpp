#include "platform/win32/Win32Api.h"

#include <cstdint>
#include <cstdio>

#include "platform/Utf.h"

namespace Velmora {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide Win32 text is UTF-16");

std::wstring ToWide(const std::string& utf8)
{
    const std::u16string wide = Utf8ToUtf16(utf8);
    return std::wstring(wide.begin(), wide.end());
}

std::string FromWide(const wchar_t* text, std::size_t length)
{
    if (text == nullptr || length == 0) return std::string();
    return Utf16ToUtf8(std::u16string(text, text + length));
}

std::string FromWide(const std::wstring& text) { return FromWide(text.data(), text.size()); }

namespace {

constexpr wchar_t Replacement = 0xFFFD;

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

}  // namespace

std::wstring ToWideForDisplay(const std::string& utf8)
{
    std::wstring out;
    out.reserve(utf8.size());
    const std::size_t n = utf8.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out.push_back(static_cast<wchar_t>(c));
            ++i;
            continue;
        }
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
            out.push_back(Replacement);
            ++i;
            continue;
        }
        std::size_t taken = 1;
        for (; taken <= extra && i + taken < n; ++taken) {
            const unsigned next = static_cast<unsigned char>(utf8[i + taken]);
            if (next < low || next > high) break;
            low = 0x80;
            high = 0xBF;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (taken <= extra) {
            // One replacement for the broken sequence; the byte that broke it starts afresh.
            out.push_back(Replacement);
            i += taken;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
        i += extra + 1;
    }
    return out;
}

std::string FromWideForDisplay(const wchar_t* text, std::size_t length)
{
    std::string out;
    if (text == nullptr) return out;
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t cp = static_cast<std::uint16_t>(text[i]);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && static_cast<std::uint16_t>(text[i + 1]) >= 0xDC00 &&
            static_cast<std::uint16_t>(text[i + 1]) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint16_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = Replacement;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::string SystemErrorText(unsigned long code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length != 0 && buffer != nullptr) {
        std::wstring wide(buffer, length);
        while (!wide.empty() && (wide.back() == L'\r' || wide.back() == L'\n' || wide.back() == L' ')) {
            wide.pop_back();
        }
        try {
            text = FromWideForDisplay(wide.data(), wide.size());
        } catch (...) {
            text.clear();
        }
    }
    if (buffer != nullptr) LocalFree(buffer);
    if (text.empty()) {
        char hex[32];
        std::snprintf(hex, sizeof hex, "0x%08lX", code);
        text = std::string("错误代码 ") + hex;
    }
    return text;
}

}  // namespace Velmora
