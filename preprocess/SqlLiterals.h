#pragma once
// Values placed inside SQL string literals. Statements are built by concatenation,
// so every value that comes from the data (an account code) goes through here.

#include <string>

namespace Velmora {

// For a LIKE pattern between single quotes: quotes doubled, and the wildcard
// characters %, _ and [ each wrapped in brackets so that they match themselves.
// A code without such characters comes back unchanged.
std::string QuoteSqlLikeText(const std::string& value);

}  // namespace Velmora
