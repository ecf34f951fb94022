#include "platform/posix/TerminalText.h"

#include <cstdint>

#include "platform/Utf.h"

namespace Velmora::TerminalText {

namespace {

// The length of the character at text[i] with its code point; 0 when the bytes are not UTF-8.
std::size_t Decode(const std::string& text, std::size_t i, std::uint32_t& cp)
{
    const TUtf8Char next = DecodeUtf8(text, i);
    cp = next.CodePoint;
    return next.Valid ? next.Length : 0;
}

unsigned Width(std::uint32_t cp)
{
    if (cp == 0 || cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
    // Combining marks and zero-width characters that turn up in names.
    if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) || cp == 0xFEFF) return 0;
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
                      (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
                      (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
                      (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
    return wide ? 2 : 1;
}

}  // namespace

std::size_t DisplayWidth(const std::string& utf8)
{
    std::size_t width = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        std::uint32_t cp = 0;
        const std::size_t length = Decode(utf8, i, cp);
        if (length == 0) {
            ++width;  // shown as '?'
            ++i;
            continue;
        }
        width += Width(cp);
        i += length;
    }
    return width;
}

std::string TruncateToWidth(const std::string& utf8, std::size_t width)
{
    std::size_t used = 0;
    std::size_t i = 0;
    while (i < utf8.size()) {
        std::uint32_t cp = 0;
        std::size_t length = Decode(utf8, i, cp);
        const unsigned w = length == 0 ? 1 : Width(cp);
        if (length == 0) length = 1;
        if (used + w > width) break;
        used += w;
        i += length;
    }
    return utf8.substr(0, i);
}

std::string PadToWidth(const std::string& utf8, std::size_t width)
{
    const std::size_t used = DisplayWidth(utf8);
    return used >= width ? utf8 : utf8 + std::string(width - used, ' ');
}

std::string Sanitize(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t length = Decode(text, i, cp);
        if (length == 0) {
            out += '?';
            ++i;
        } else if ((cp < 0x20 && cp != '\n' && cp != '\t') || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) {
            // Control characters in a file name could drive the terminal.
            out += '?';
            i += length;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

}  // namespace Velmora::TerminalText
