#pragma once
// Small text helpers in the manner of the classic string routines.

#include <string>

namespace Velmora {

// Surrounding blanks and control characters removed.
std::string Trim(const std::string& text);
// A decimal integer with optional sign and surrounding blanks; EVelmoraError otherwise.
int StrToInt(const std::string& text);
// Lower-case copy; only ASCII letters change, as names and keywords are ASCII.
std::string LowerAscii(std::string text);
// Equal but for the case of ASCII letters, as the server compares names.
bool SameText(const std::string& a, const std::string& b);
// Single quotes doubled, for a value placed inside a SQL string literal.
std::string QuoteSqlText(const std::string& value);

}  // namespace Velmora
