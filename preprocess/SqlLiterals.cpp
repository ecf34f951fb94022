#include "preprocess/SqlLiterals.h"

namespace Velmora {

std::string QuoteSqlLikeText(const std::string& value)
{
    std::string out;
    out.reserve(value.size());
    // Byte by byte is safe: the text is UTF-8, whose multi-byte sequences never
    // contain an ASCII byte.
    for (char c : value) {
        switch (c) {
        case '\'':
            out += "''";
            break;
        case '%':
        case '_':
        case '[':
            out += '[';
            out += c;
            out += ']';
            break;
        default:
            out += c;
        }
    }
    return out;
}

}  // namespace Velmora
