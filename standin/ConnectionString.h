#pragma once
// The part of an OLE DB connection string the stand-in reads: which provider,
// which server and which database.

#include <string>

namespace Velmora::Standin {

// The provider's answer when it finds no server to talk to.
inline constexpr const char* ServerNotFound =
    "[DBNETLIB][ConnectionOpen (Connect()).]SQL Server does not exist or access denied.";

struct TConnectionTarget {
    std::string Catalog;  // empty: the login's default, master
};

// Raises EProviderError, worded as the provider does, for what the server refuses.
TConnectionTarget ParseConnectionString(const std::string& text);

}  // namespace Velmora::Standin
