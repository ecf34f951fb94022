#include "standin/ServerKnobs.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/Errors.h"
#include "preprocess/TextUtils.h"
#include "standin/ServerFiles.h"
#include "standin/Tokenizer.h"

namespace Velmora::Standin {

namespace {

constexpr int Version2005 = 9;
constexpr int Version2012 = 11;

// The file's lines without their line ends, or nothing when there is no such file.
std::optional<std::vector<std::string>> KnobLines(const std::string& serverDirectory, const char* name)
{
    const std::string path = serverDirectory + "/" + name;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    if (in.bad()) throw EProviderError("模拟服务器无法读取设置文件“" + path + "”");
    return lines;
}

[[noreturn]] void BadKnob(const std::string& serverDirectory, const char* name, const std::string& what)
{
    throw EProviderError("模拟服务器的设置文件“" + serverDirectory + "/" + name + "”有误：" + what);
}

}  // namespace

std::optional<TServerVersion> ParseServerVersion(const std::string& text)
{
    std::vector<int> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, '.')) {
        if (part.empty() || part.size() > 5 || part.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        parts.push_back(std::stoi(part));
    }
    if (parts.size() < 3 || parts.size() > 4 || text.back() == '.') return std::nullopt;
    return TServerVersion{parts[0], parts[1], parts[2]};
}

std::string VersionText(const TServerVersion& version)
{
    char text[32];
    std::snprintf(text, sizeof text, "%d.%02d.%d", version.Major, version.Minor, version.Build);
    return text;
}

bool CanRestoreSetOf(const TServerVersion& server, const TServerVersion& set)
{
    if (set.Major != server.Major) {
        if (set.Major > server.Major) return false;
    } else if (set.Minor > server.Minor) {
        return false;
    }
    // From 2012 on only sets of 2005 and later are read.
    return !(server.Major >= Version2012 && set.Major < Version2005);
}

TServerKnobs ReadServerKnobs(const std::string& serverDirectory)
{
    TServerKnobs knobs;
    if (const auto lines = KnobLines(serverDirectory, "version")) {
        const std::string text = lines->empty() ? std::string() : Trim((*lines)[0]);
        const auto version = ParseServerVersion(text);
        if (!version) BadKnob(serverDirectory, "version", "第一行应是版本号，如 8.00.2039，而不是“" + text + "”");
        knobs.Version = *version;
        knobs.ProductVersion = text;
    }
    if (const auto lines = KnobLines(serverDirectory, "edition")) {
        knobs.Express = !lines->empty() && SameText(Trim((*lines)[0]), "express");
    }
    if (const auto lines = KnobLines(serverDirectory, "account")) {
        for (std::size_t k = 0; k < lines->size(); ++k) {
            const std::string line = Trim((*lines)[k]);
            if (k == 0) {
                knobs.Account = line;
            } else if (line.rfind("deny ", 0) == 0 && !Trim(line.substr(5)).empty()) {
                knobs.Denied.push_back(ResolveServerPath(serverDirectory, Trim(line.substr(5))));
            } else if (!line.empty()) {
                BadKnob(serverDirectory, "account",
                        "第 " + std::to_string(k + 1) + " 行应是“deny 路径”，而不是“" + line + "”");
            }
        }
    }
    return knobs;
}

bool IsDenied(const TServerKnobs& knobs, const std::string& resolvedPath)
{
    for (const std::string& denied : knobs.Denied) {
        if (resolvedPath == denied) return true;
        const std::string folder = !denied.empty() && denied.back() == '/' ? denied : denied + "/";
        if (resolvedPath.rfind(folder, 0) == 0) return true;
    }
    return false;
}

std::int64_t ExpressCapMegabytes(const TServerVersion& version)
{
    if (version.Major < Version2005) return 2048;
    if (version.Major == 10 && version.Minor >= 50) return 10240;
    if (version.Major <= 10) return 4096;
    return 10240;
}

int EngineEdition(const TServerKnobs& knobs)
{
    constexpr int Standard = 2;
    constexpr int Express = 4;
    return knobs.Express ? Express : Standard;
}

}  // namespace Velmora::Standin
