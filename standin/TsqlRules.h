#pragma once
// What the server's default collation and column types do to values, as SQLite
// collations and functions: text compares without regard to case or trailing
// blanks; a value that does not fit its column fails the statement with the
// server's own error, and money and bit are stored as the server stores them.

#include <sqlite3.h>

#include <string>

namespace Velmora::Standin {

// The collations every character column gets: the server's case-insensitive
// default, and its case-sensitive variant (_CS and _BIN collations).
inline constexpr const char* CaseInsensitiveCollation = "TSQL_CI";
inline constexpr const char* CaseSensitiveCollation = "TSQL_CS";

// The server's message numbers the stand-in reproduces.
enum TServerError : int {
    ErrorSyntax = 102,
    ErrorInvalidColumn = 207,
    ErrorInvalidObject = 208,
    ErrorUnknownFunction = 195,
    ErrorConversion = 245,
    ErrorAdHocCatalogUpdate = 259,
    ErrorViewColumnsRepeat = 4506,
    ErrorArithmeticOverflow = 8115,
    ErrorTruncation = 8152,
};

std::string TruncationMessage();
std::string OverflowMessage(const std::string& typeName);
std::string AdHocCatalogUpdateMessage();

// The server's number for a message it words this way; 0 for one it has no number for.
int ServerErrorNumber(const std::string& message);

// Registers the collations and the functions the rewritten column definitions
// call, then gives tables created without them (by a backup script, say) the same
// rules. Raises EProviderError when SQLite refuses.
void RegisterTsqlRules(sqlite3* db);

}  // namespace Velmora::Standin
