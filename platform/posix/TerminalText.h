#pragma once
// Measuring UTF-8 text in terminal columns: Chinese characters take two columns,
// and a line that wraps breaks a display that is redrawn in place.

#include <cstddef>
#include <string>

namespace Velmora::TerminalText {

// Columns the text takes; East Asian wide characters count two, control characters none.
std::size_t DisplayWidth(const std::string& utf8);
// The longest prefix of whole characters that fits into width columns.
std::string TruncateToWidth(const std::string& utf8, std::size_t width);
// The text followed by blanks up to width columns (never cut).
std::string PadToWidth(const std::string& utf8, std::size_t width);
// Bytes that are not valid UTF-8 and control characters other than newline and tab
// become '?', so that no text (a file name, say) can drive the terminal.
std::string Sanitize(const std::string& text);

}  // namespace Velmora::TerminalText
