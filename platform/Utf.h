#pragma once
// UTF-8 <-> UTF-16, for OLE strings and wide system APIs.

#include <string>

namespace Velmora {

// What a conversion does with bytes or units that are not valid text: raise
// EVelmoraError, or put U+FFFD in their place (for text that is only shown).
enum class TInvalidText { Raise, Replace };

std::u16string Utf8ToUtf16(const std::string& utf8, TInvalidText invalid = TInvalidText::Raise);
std::string Utf16ToUtf8(const std::u16string& utf16, TInvalidText invalid = TInvalidText::Raise);

}  // namespace Velmora
