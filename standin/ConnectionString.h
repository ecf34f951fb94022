#pragma once
// The part of an OLE DB connection string the stand-in reads: which provider,
// which server and which database.

#include <string>

namespace Velmora::Standin {

struct TConnectionTarget {
    std::string Catalog;  // empty: the login's default, master
};

// Raises EProviderError, worded as the provider does, for what the server refuses.
TConnectionTarget ParseConnectionString(const std::string& text);

}  // namespace Velmora::Standin
