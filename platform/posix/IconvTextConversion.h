#pragma once
// The host's "ANSI" text on a POSIX system is text in the locale's codeset (GBK
// under zh_CN.GBK, UTF-8 under most modern locales); iconv turns it into UTF-8.

#include <iconv.h>

#include <string>

#include "platform/TextConversion.h"

namespace Velmora {

class TIconvTextConversion : public ITextConversion {
public:
    // An empty codeset means the current locale's (nl_langinfo(CODESET)), so call
    // setlocale first. Raises EVelmoraError when iconv does not know the codeset.
    explicit TIconvTextConversion(const std::string& ansiCodeset = std::string());
    ~TIconvTextConversion() override;
    TIconvTextConversion(const TIconvTextConversion&) = delete;
    TIconvTextConversion& operator=(const TIconvTextConversion&) = delete;

    std::string AnsiToUtf8(const std::string& ansi) override;
    std::string Utf8ToAnsi(const std::string& utf8) override;

    const std::string& AnsiCodeset() const { return FCodeset; }

private:
    std::string Convert(iconv_t descriptor, const std::string& text, const char* from, const char* to);

    std::string FCodeset;
    iconv_t FToUtf8;
    iconv_t FFromUtf8;
};

}  // namespace Velmora
