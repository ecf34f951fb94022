// velmora-host's command line and the text conversions around the call: arguments
// split at NUL bytes, read as the host reads them, checked in the locale's codeset
// (GBK, as a Chinese Windows host's ANSI text) and turned to and from UTF-16 as the
// result string is. Text that decodes comes back unchanged.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "platform/Utf.h"
#include "platform/posix/IconvTextConversion.h"
#include "tools/velmora-host/HostArguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace Velmora;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> arguments{"velmora-host"};
    std::size_t start = 0;
    for (std::size_t end; (end = bytes.find('\0', start)) != std::string::npos; start = end + 1) {
        arguments.push_back(bytes.substr(start, end - start));
    }
    arguments.push_back(bytes.substr(start));
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());

    Host::TOptions options;
    const std::string problem = Host::ParseOptions(static_cast<int>(argv.size()), argv.data(), options);
    static TIconvTextConversion gbk("GBK");
    if (problem.empty()) Host::UndecodableArgument(options, gbk);
    const std::string escaped = Host::EscapedBytes(bytes);
    for (const char c : escaped) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) __builtin_trap();
    }

    try {
        const std::string utf8 = gbk.AnsiToUtf8(bytes);
        gbk.Utf8ToAnsi(utf8);
    } catch (const std::exception&) {
    }
    try {
        const std::u16string wide = Utf8ToUtf16(bytes);
        if (Utf16ToUtf8(wide) != bytes) __builtin_trap();
    } catch (const std::exception&) {
    }
    if (size % 2 == 0) {
        const std::u16string units(reinterpret_cast<const char16_t*>(bytes.data()), size / 2);
        Utf16ToUtf8(units, TInvalidText::Replace);
    }
    return 0;
}
