#pragma once
// Small text helpers in the manner of the classic string routines.

#include <string>

namespace Velmora {

// Surrounding blanks and control characters removed.
std::string Trim(const std::string& text);
// A decimal integer with optional sign and surrounding blanks; EVelmoraError otherwise.
int StrToInt(const std::string& text);
// Single quotes doubled, for a value placed inside a SQL string literal.
std::string QuoteSqlText(const std::string& value);

}  // namespace Velmora
