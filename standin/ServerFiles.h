#pragma once
// Files of the stand-in server: its directory, the catalog, and how a database
// file name given in a statement is placed.

#include <string>

namespace Velmora::Standin {

// Creates the server directory with its parents; EProviderError when that fails.
void EnsureServerDirectory(const std::string& serverDirectory);
// One spelling per directory, so connections from different spellings meet.
std::string ServerKey(const std::string& serverDirectory);

std::string CatalogPath(const std::string& serverDirectory);
// A file name from a statement: relative names lie in the server directory.
std::string ResolveServerPath(const std::string& serverDirectory, const std::string& fileName);
// Whether the folder of the file exists. A Windows path on another system
// (C:\…, \\server\…) names a folder that cannot exist there.
bool FolderOfFileExists(const std::string& resolvedPath);

}  // namespace Velmora::Standin
