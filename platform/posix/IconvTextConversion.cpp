#include "platform/posix/IconvTextConversion.h"

#include <langinfo.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Errors.h"

namespace Velmora {

namespace {

const iconv_t NoDescriptor = reinterpret_cast<iconv_t>(-1);

std::string LocaleCodeset()
{
    const char* codeset = ::nl_langinfo(CODESET);
    std::string name = codeset && *codeset ? codeset : "UTF-8";
    // The C locale calls itself ASCII, yet the names and paths such a system hands
    // over are UTF-8 in practice; refusing every non-ASCII path there helps no one.
    if (name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII") name = "UTF-8";
    return name;
}

iconv_t Open(const std::string& to, const std::string& from)
{
    const iconv_t descriptor = ::iconv_open(to.c_str(), from.c_str());
    if (descriptor == NoDescriptor) {
        throw EVelmoraError("系统不支持字符集“" + from + "”到“" + to + "”的转换：" + std::strerror(errno));
    }
    return descriptor;
}

}  // namespace

TIconvTextConversion::TIconvTextConversion(const std::string& ansiCodeset)
    : FCodeset(ansiCodeset.empty() ? LocaleCodeset() : ansiCodeset), FToUtf8(NoDescriptor), FFromUtf8(NoDescriptor)
{
    FToUtf8 = Open("UTF-8", FCodeset);
    try {
        FFromUtf8 = Open(FCodeset, "UTF-8");
    } catch (...) {
        ::iconv_close(FToUtf8);
        throw;
    }
}

TIconvTextConversion::~TIconvTextConversion()
{
    ::iconv_close(FToUtf8);
    ::iconv_close(FFromUtf8);
}

std::string TIconvTextConversion::AnsiToUtf8(const std::string& ansi)
{
    return Convert(FToUtf8, ansi, FCodeset.c_str(), "UTF-8");
}

std::string TIconvTextConversion::Utf8ToAnsi(const std::string& utf8)
{
    return Convert(FFromUtf8, utf8, "UTF-8", FCodeset.c_str());
}

std::string TIconvTextConversion::Convert(iconv_t descriptor, const std::string& text, const char* from,
                                          const char* to)
{
    // Back to the initial shift state: a failed call may have left the descriptor mid-way.
    ::iconv(descriptor, nullptr, nullptr, nullptr, nullptr);
    std::vector<char> out(text.size() * 2 + 16);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    std::size_t used = 0;
    bool flushing = false;
    for (;;) {
        char* outPtr = out.data() + used;
        std::size_t outLeft = out.size() - used;
        const std::size_t result = flushing ? ::iconv(descriptor, nullptr, nullptr, &outPtr, &outLeft)
                                            : ::iconv(descriptor, &in, &inLeft, &outPtr, &outLeft);
        used = static_cast<std::size_t>(outPtr - out.data());
        if (result != static_cast<std::size_t>(-1)) {
            if (flushing) break;
            flushing = true;
            continue;
        }
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        const std::size_t offset = text.size() - inLeft;
        if (errno == EILSEQ || errno == EINVAL) {
            throw EVelmoraError("文本自第 " + std::to_string(offset + 1) + " 个字节起无法从" + from + "转换为" + to +
                                "：字节无效，或目标字符集中没有这个字符");
        }
        throw EVelmoraError(std::string("文本无法从") + from + "转换为" + to + "：" + std::strerror(errno));
    }
    return std::string(out.data(), used);
}

}  // namespace Velmora
