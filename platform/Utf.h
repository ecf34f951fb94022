#pragma once
// UTF-8 <-> UTF-16, for OLE strings and wide system APIs.

#include <cstddef>
#include <cstdint>
#include <string>

namespace Velmora {

// What a conversion does with bytes or units that are not valid text: raise
// EVelmoraError, or put U+FFFD in their place (for text that is only shown).
enum class TInvalidText { Raise, Replace };

// One character of UTF-8 text. When the bytes at the position are no valid UTF-8
// (a stray continuation byte, an overlong form, a surrogate, a sequence cut short),
// Valid is false and Length covers the broken sequence's longest valid start, which
// one replacement character stands for.
struct TUtf8Char {
    std::uint32_t CodePoint = 0;
    std::size_t Length = 0;
    bool Valid = false;
};
TUtf8Char DecodeUtf8(const std::string& text, std::size_t at);
void AppendUtf8(std::string& out, std::uint32_t codePoint);

std::u16string Utf8ToUtf16(const std::string& utf8, TInvalidText invalid = TInvalidText::Raise);
std::string Utf16ToUtf8(const std::u16string& utf16, TInvalidText invalid = TInvalidText::Raise);

}  // namespace Velmora
