#pragma once
// What the stand-in plays beyond its SQL: which release of SQL Server, which
// edition, and under which account it reads and writes files. Each is a small
// text file in the server directory; without it the server is what it has
// always been, SQL Server 2000 (8.00.2039) of a standard edition with access
// to every file its own process may touch.
//   version   first line "8.00.2039", "10.50.1600", "11.0.7462.6", …
//   edition   first line "express" (anything else: a standard edition)
//   account   first line the account's name, then "deny PATH" lines: the
//             account can neither read nor write PATH or anything under it

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Velmora::Standin {

struct TServerVersion {
    int Major = 8;
    int Minor = 0;
    int Build = 2039;
};

// "MAJOR.MINOR.BUILD" with an optional fourth part; nothing when the text is not one.
std::optional<TServerVersion> ParseServerVersion(const std::string& text);
// As the server's messages show it: "8.00.2039", "10.50.1600".
std::string VersionText(const TServerVersion& version);
// Whether a server of version server can restore a set written by version set.
bool CanRestoreSetOf(const TServerVersion& server, const TServerVersion& set);

struct TServerKnobs {
    TServerVersion Version;
    // SERVERPROPERTY('ProductVersion'): the version file's text as written.
    std::string ProductVersion = "8.00.2039";
    bool Express = false;
    std::string Account;
    // Resolved as ResolveServerPath does.
    std::vector<std::string> Denied;
};

// Raises EProviderError naming the file when one of them cannot be read or makes no sense.
TServerKnobs ReadServerKnobs(const std::string& serverDirectory);
// Whether the account may not touch the file resolvedPath (resolved as ResolveServerPath does).
bool IsDenied(const TServerKnobs& knobs, const std::string& resolvedPath);
// The most data an express edition of this version keeps per database, in MB.
std::int64_t ExpressCapMegabytes(const TServerVersion& version);
// SERVERPROPERTY('EngineEdition'): 4 for express, 2 (standard) otherwise.
int EngineEdition(const TServerKnobs& knobs);

}  // namespace Velmora::Standin
