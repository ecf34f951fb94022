#pragma once
// The host's texts in the system ANSI code page (CP_ACP: GBK on a Chinese system).

#include "platform/TextConversion.h"

namespace Velmora {

class TWin32TextConversion : public ITextConversion {
public:
    std::string AnsiToUtf8(const std::string& ansi) override;
    std::string Utf8ToAnsi(const std::string& utf8) override;
};

}  // namespace Velmora
