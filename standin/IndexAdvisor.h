#pragma once
// Indexes the stand-in adds to a user database on its own. The real server
// answers the ledger's per-account queries from the package's keys and with hash
// joins; SQLite only has nested loops, so without an index on the columns a view
// joins on, and on the column a LIKE 'prefix%' searches, every such query reads
// every voucher line. The advisor finds those base columns through SQLite's
// column-origin metadata (so it sees through views) and indexes them once;
// an existing index that starts with the column is enough. Failures are ignored:
// advice never makes a statement fail.

#include <sqlite3.h>

#include "standin/SqlShim.h"

namespace Velmora::Standin {

// After a CREATE VIEW succeeded: index the base columns of its a.x = b.y terms.
void IndexViewJoins(sqlite3* db, const TTranslation& view);

// Before a query with LIKE 'prefix%' first runs: index the base columns searched.
void IndexPrefixSearches(sqlite3* db, const TTranslation& query);

// Whether every range column of the query stands for a base column with text
// affinity, so that its ranged form selects exactly what its LIKEs select.
bool RangesAreExact(sqlite3* db, const TTranslation& query);

}  // namespace Velmora::Standin
