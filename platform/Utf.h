#pragma once
// UTF-8 <-> UTF-16, for OLE strings and wide system APIs. Invalid input raises EVelmoraError.

#include <string>

namespace Velmora {

std::u16string Utf8ToUtf16(const std::string& utf8);
std::string Utf16ToUtf8(const std::u16string& utf16);

}  // namespace Velmora
