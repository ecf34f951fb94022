#pragma once
// Files of the stand-in server: its directory, the catalog, and how a database
// file name given in a statement is placed.

#include <string>
#include <vector>

namespace Velmora::Standin {

// What SQLite may keep beside a database file while it is open or after a crash.
inline constexpr const char* CompanionSuffixes[] = {"-wal", "-shm", "-journal"};

// Creates the server directory with its parents; EProviderError when that fails.
void EnsureServerDirectory(const std::string& serverDirectory);
// Raises EProviderError, worded for the user, when the directory is missing,
// not a directory, or cannot be read and written; a connection needs all three.
void CheckServerDirectory(const std::string& serverDirectory);
// One spelling per directory, so connections from different spellings meet.
std::string ServerKey(const std::string& serverDirectory);

std::string CatalogPath(const std::string& serverDirectory);
// The file holding the service state.
std::string ServiceStatePath(const std::string& serverDirectory);
// The files the server keeps for itself (the catalog with its companions, the
// service state), resolved as ResolveServerPath does; no database may take their place.
std::vector<std::string> ServerOwnFiles(const std::string& serverDirectory);
// A file name from a statement: relative names lie in the server directory. The
// result is absolute with "." and ".." removed and symbolic links followed as far
// as the path exists, so one file has one name however a statement spells it.
// A Windows path on another system is returned as written.
std::string ResolveServerPath(const std::string& serverDirectory, const std::string& fileName);
// Whether the folder of the file exists. A Windows path on another system
// (C:\…, \\server\…) names a folder that cannot exist there.
bool FolderOfFileExists(const std::string& resolvedPath);

}  // namespace Velmora::Standin
