#include <gtest/gtest.h>

#include "platform/Errors.h"
#include "platform/posix/IconvTextConversion.h"

namespace Velmora {
namespace {

TEST(IconvTextConversion, GbkRoundTripsTheTextsTheRunShows)
{
    TIconvTextConversion gbk("GBK");
    const std::string balance = "期初余额";
    const std::string gbkBalance = gbk.Utf8ToAnsi(balance);
    EXPECT_EQ(gbkBalance, "\xC6\xDA\xB3\xF5\xD3\xE0\xB6\xEE");
    EXPECT_EQ(gbk.AnsiToUtf8(gbkBalance), balance);

    const std::string notInstalled = "此模板需要MsSqlServer2K";
    const std::string gbkNotInstalled = gbk.Utf8ToAnsi(notInstalled);
    EXPECT_EQ(gbkNotInstalled.size(), 5 * 2 + 13u);
    EXPECT_NE(gbkNotInstalled.find("MsSqlServer2K"), std::string::npos);
    EXPECT_EQ(gbk.AnsiToUtf8(gbkNotInstalled), notInstalled);

    EXPECT_EQ(gbk.AnsiToUtf8(""), "");
    EXPECT_EQ(gbk.Utf8ToAnsi("C:\\UFDATA\\backup.bak"), "C:\\UFDATA\\backup.bak");
}

TEST(IconvTextConversion, BytesThatAreNotTextAreRefused)
{
    TIconvTextConversion gbk("GBK");
    EXPECT_THROW(gbk.AnsiToUtf8("\xC6"), EVelmoraError);          // a lead byte cut off
    EXPECT_THROW(gbk.AnsiToUtf8("ab\xFF\xFF"), EVelmoraError);     // no such GBK character
    EXPECT_THROW(gbk.Utf8ToAnsi("\xE6\x9C"), EVelmoraError);       // broken UTF-8
    EXPECT_THROW(gbk.Utf8ToAnsi("\xF0\x9F\x98\x80"), EVelmoraError);  // not in GBK
    // A failed conversion leaves nothing behind for the next one.
    EXPECT_EQ(gbk.AnsiToUtf8("\xC6\xDA\xB3\xF5"), "期初");
}

TEST(IconvTextConversion, AnUnknownCodesetIsAClearError)
{
    try {
        TIconvTextConversion unknown("NO-SUCH-CODESET");
        FAIL() << "an unknown codeset was accepted";
    } catch (const EVelmoraError& error) {
        EXPECT_NE(std::string(error.what()).find("NO-SUCH-CODESET"), std::string::npos);
    }
}

TEST(IconvTextConversion, TheCLocaleReadsUtf8)
{
    // The tests run without setlocale, so the locale is "C".
    TIconvTextConversion locale;
    EXPECT_EQ(locale.AnsiCodeset(), "UTF-8");
    EXPECT_EQ(locale.AnsiToUtf8("/home/会计/备份.bak"), "/home/会计/备份.bak");
    EXPECT_THROW(locale.AnsiToUtf8("\xC6\xDA"), EVelmoraError);
}

TEST(IconvTextConversion, OutputLongerThanTheFirstGuessGrows)
{
    // Each CP437 box-drawing byte becomes three bytes of UTF-8.
    TIconvTextConversion cp437("CP437");
    const std::string ansi(3000, '\xC4');
    std::string expected;
    for (int i = 0; i < 3000; ++i) expected += "\u2500";
    EXPECT_EQ(cp437.AnsiToUtf8(ansi), expected);
}

}  // namespace
}  // namespace Velmora
