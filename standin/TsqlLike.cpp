#include "standin/TsqlLike.h"

#include "platform/Utf.h"

namespace Velmora::Standin {

namespace {

std::vector<std::uint32_t> CodePoints(const std::string& text)
{
    // A byte that is no valid UTF-8 stands for itself, as a lone surrogate that
    // never equals decoded text.
    std::vector<std::uint32_t> result;
    for (std::size_t i = 0; i < text.size();) {
        const TUtf8Char next = DecodeUtf8(text, i);
        if (next.Valid) {
            result.push_back(next.CodePoint);
            i += next.Length;
        } else {
            result.push_back(0xDC00u + static_cast<unsigned char>(text[i]));
            ++i;
        }
    }
    return result;
}

std::uint32_t Fold(std::uint32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

std::string EncodeUtf8(std::uint32_t c)
{
    std::string out;
    if (c >= 0xDC80u && c <= 0xDCFFu) {
        out += static_cast<char>(c - 0xDC00u);
    } else {
        AppendUtf8(out, c);
    }
    return out;
}

}  // namespace

std::vector<TPatternItem> ParsePattern(const std::string& pattern)
{
    const std::vector<std::uint32_t> cps = CodePoints(pattern);
    std::vector<TPatternItem> items;
    auto literal = [&](std::uint32_t c) {
        TPatternItem item{TPatternItem::TKind::Literal};
        item.Char = c;
        item.Utf8 = EncodeUtf8(c);
        items.push_back(item);
    };
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const std::uint32_t c = cps[i];
        if (c == '%') {
            items.push_back(TPatternItem{TPatternItem::TKind::AnyString});
        } else if (c == '_') {
            items.push_back(TPatternItem{TPatternItem::TKind::AnyChar});
        } else if (c == '[') {
            std::size_t close = i + 1;
            while (close < cps.size() && cps[close] != ']') ++close;
            if (close >= cps.size() || close == i + 1) {
                literal(c);  // no class follows: the bracket stands for itself
                continue;
            }
            const std::size_t length = close - i - 1;
            if (length == 1) {
                literal(cps[i + 1]);  // [%] [_] [[] and any single character
            } else {
                TPatternItem item{TPatternItem::TKind::Class};
                std::size_t k = i + 1;
                if (cps[k] == '^') {
                    item.Negated = true;
                    ++k;
                }
                for (; k < close; ++k) {
                    if (k + 2 < close && cps[k + 1] == '-') {
                        item.Ranges.emplace_back(Fold(cps[k]), Fold(cps[k + 2]));
                        k += 2;
                    } else {
                        item.Ranges.emplace_back(Fold(cps[k]), Fold(cps[k]));
                    }
                }
                items.push_back(item);
            }
            i = close;
        } else {
            literal(c);
        }
    }
    return items;
}

namespace {

bool ItemMatches(const TPatternItem& item, std::uint32_t c)
{
    switch (item.Kind) {
    case TPatternItem::TKind::Literal:
        return Fold(item.Char) == Fold(c);
    case TPatternItem::TKind::AnyChar:
        return true;
    case TPatternItem::TKind::Class: {
        const std::uint32_t folded = Fold(c);
        bool inside = false;
        for (const auto& range : item.Ranges) {
            if (folded >= range.first && folded <= range.second) inside = true;
        }
        return inside != item.Negated;
    }
    case TPatternItem::TKind::AnyString:
        break;
    }
    return false;
}

}  // namespace

namespace {

bool Matches(const std::vector<TPatternItem>& items, const std::vector<std::uint32_t>& cps)
{
    // Every item but % takes exactly one character, so one back-track point suffices.
    std::size_t p = 0, t = 0;
    std::size_t starItem = std::string::npos, starText = 0;
    while (t < cps.size()) {
        if (p < items.size() && items[p].Kind == TPatternItem::TKind::AnyString) {
            starItem = p++;
            starText = t;
        } else if (p < items.size() && ItemMatches(items[p], cps[t])) {
            ++p;
            ++t;
        } else if (starItem != std::string::npos) {
            p = starItem + 1;
            t = ++starText;
        } else {
            return false;
        }
    }
    while (p < items.size() && items[p].Kind == TPatternItem::TKind::AnyString) ++p;
    return p == items.size();
}

}  // namespace

bool TsqlLikeMatches(const std::string& pattern, const std::string& text)
{
    const std::vector<TPatternItem> items = ParsePattern(pattern);
    std::vector<std::uint32_t> cps = CodePoints(text);
    if (Matches(items, cps)) return true;
    // The server ignores blanks that end the text, though not those that end the pattern.
    while (!cps.empty() && cps.back() == ' ') {
        cps.pop_back();
        if (Matches(items, cps)) return true;
    }
    return false;
}

}  // namespace Velmora::Standin
