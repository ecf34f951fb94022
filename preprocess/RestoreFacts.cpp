#include "preprocess/RestoreFacts.h"

#include <cstdio>

#include "platform/Errors.h"

namespace Velmora {

TFieldValue ColumnOrNull(const IQuery& query, const char* name)
{
    try {
        return query.FieldByName(name);
    } catch (const EVelmoraError&) {
        return TFieldValue::Null();
    }
}

TServerVersion TServerVersion::Parse(const std::string& text)
{
    TServerVersion version;
    int parts[3] = {0, 0, 0};
    std::size_t at = 0;
    for (int& part : parts) {
        std::size_t end = at;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9' && end - at < 6) ++end;
        if (end == at) break;
        part = std::stoi(text.substr(at, end - at));
        if (end >= text.size() || text[end] != '.') break;
        at = end + 1;
    }
    version.Major = parts[0];
    version.Minor = parts[1];
    version.Build = parts[2];
    return version;
}

std::string TServerVersion::Text() const
{
    char text[40];
    std::snprintf(text, sizeof text, "%d.%02d.%d", Major, Minor, Build);
    return text;
}

bool RestoresSetFrom(const TServerVersion& server, const TServerVersion& set)
{
    // What cannot be told is left to the server.
    if (!server.Known() || !set.Known()) return true;
    if (set.Major != server.Major) {
        if (set.Major > server.Major) return false;
    } else if (set.Minor > server.Minor) {
        return false;
    }
    // The oldest set each server upgrades on restore: 2005 takes 7.0, 2008 and 2008 R2
    // take 2000, 2012 takes 2005, and from 2014 on nothing before 2008 restores.
    int oldest = 7;
    if (server.Major == 10) oldest = 8;
    if (server.Major == 11) oldest = 9;
    if (server.Major >= 12) oldest = 10;
    return set.Major >= oldest;
}

std::int64_t ExpressSizeCap(const TServerVersion& server)
{
    constexpr std::int64_t GiB = 1024LL * 1024 * 1024;
    if (server.Major < 9) return 2 * GiB;
    if (server.Major == 9 || (server.Major == 10 && server.Minor < 50)) return 4 * GiB;
    return 10 * GiB;
}

}  // namespace Velmora
