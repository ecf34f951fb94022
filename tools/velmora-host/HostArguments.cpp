#include "tools/velmora-host/HostArguments.h"

#include <exception>

namespace Velmora::Host {

std::string ParseOptions(int argc, const char* const* argv, TOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        if (name == "--help" || name == "-h") {
            options.Help = true;
            continue;
        }
        std::string* target = nullptr;
        bool* seen = nullptr;
        if (name == "--folder") {
            target = &options.Folder;
            seen = &options.HasFolder;
        } else if (name == "--backup") {
            target = &options.Backup;
            seen = &options.HasBackup;
        } else if (name == "--year") {
            target = &options.Year;
            seen = &options.HasYear;
        } else if (name == "--plugin") {
            target = &options.Plugin;
        } else if (name == "--service") {
            target = &options.Service;
            seen = &options.HasService;
        } else {
            return "未知的选项 " + EscapedBytes(name);
        }
        if (!hasValue) {
            if (i + 1 >= argc) return "选项 " + name + " 缺少值";
            value = argv[++i];
        }
        *target = value;
        if (seen) *seen = true;
    }
    if (options.Help) return std::string();
    if (!options.HasFolder) return "缺少 --folder";
    if (!options.HasBackup) return "缺少 --backup";
    if (!options.HasYear) return "缺少 --year";
    return std::string();
}

std::string UndecodableArgument(const TOptions& options, ITextConversion& text)
{
    const struct {
        const char* Name;
        const std::string& Value;
    } handedOn[] = {{"--folder", options.Folder}, {"--backup", options.Backup}, {"--year", options.Year}};
    for (const auto& argument : handedOn) {
        try {
            text.AnsiToUtf8(argument.Value);
        } catch (const std::exception&) {
            return std::string(argument.Name) + " 的值不是本机字符集中的文本：\"" + EscapedBytes(argument.Value) + "\"";
        }
    }
    return std::string();
}

std::string EscapedBytes(const std::string& bytes)
{
    static const char* const digits = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 0xF];
        }
    }
    return out;
}

}  // namespace Velmora::Host
