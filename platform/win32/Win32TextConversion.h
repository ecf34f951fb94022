#pragma once
// The host's texts in the system ANSI code page (CP_ACP: GBK on a Chinese system).

#include "platform/TextConversion.h"

namespace Velmora {

class TWin32TextConversion : public ITextConversion {
public:
    // The system's ANSI code page as it is now.
    TWin32TextConversion();
    // A given code page, for the code pages a system may have that this one has not.
    explicit TWin32TextConversion(unsigned codePage) : FCodePage(codePage) {}

    std::string AnsiToUtf8(const std::string& ansi) override;
    std::string Utf8ToAnsi(const std::string& utf8) override;

    unsigned CodePage() const { return FCodePage; }

private:
    unsigned FCodePage;
};

}  // namespace Velmora
