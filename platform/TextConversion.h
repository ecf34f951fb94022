#pragma once
// The host speaks the system ANSI code page (GBK on a Chinese system); the program speaks UTF-8.

#include <string>

namespace Velmora {

class ITextConversion {
public:
    virtual ~ITextConversion() = default;
    // Raise EVelmoraError on bytes that are not valid in the source encoding.
    virtual std::string AnsiToUtf8(const std::string& ansi) = 0;
    virtual std::string Utf8ToAnsi(const std::string& utf8) = 0;
};

}  // namespace Velmora
