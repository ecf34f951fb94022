#include <gtest/gtest.h>

#include "platform/Errors.h"
#include "platform/Utf.h"

namespace Velmora {
namespace {

TEST(Utf, ValidTextRoundTrips)
{
    const std::string text = "数据源预处理 ASCII é 𝄞";  // one, two, three and four bytes
    const std::u16string wide = Utf8ToUtf16(text);
    EXPECT_EQ(wide.size(), 17u);  // 𝄞 is a surrogate pair
    EXPECT_EQ(Utf16ToUtf8(wide), text);
    EXPECT_EQ(Utf8ToUtf16(""), u"");
}

TEST(Utf, InvalidBytesAreRefusedOrReplaced)
{
    const std::vector<std::pair<std::string, std::u16string>> cases = {
        {"a\xC0\x80z", u"a\uFFFD\uFFFDz"},          // overlong form: each byte on its own
        {"a\xED\xA0\x80z", u"a\uFFFD\uFFFD\uFFFDz"},  // an encoded surrogate
        {"a\xE4\xB8z", u"a\uFFFDz"},                 // a sequence cut short: one replacement
        {"\xF5\x80", u"\uFFFD\uFFFD"},               // beyond U+10FFFF
        {"\xE4\xB8", u"\uFFFD"},                     // cut short at the end
        {"\xFF", u"\uFFFD"},
    };
    for (const auto& [bytes, shown] : cases) {
        EXPECT_THROW(Utf8ToUtf16(bytes), EVelmoraError);
        EXPECT_EQ(Utf8ToUtf16(bytes, TInvalidText::Replace), shown);
    }
}

TEST(Utf, LoneSurrogatesAreRefusedOrReplaced)
{
    const std::u16string lone = {u'a', static_cast<char16_t>(0xD800), u'b', static_cast<char16_t>(0xDC00)};
    EXPECT_THROW(Utf16ToUtf8(lone), EVelmoraError);
    EXPECT_EQ(Utf16ToUtf8(lone, TInvalidText::Replace), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
}

}  // namespace
}  // namespace Velmora
