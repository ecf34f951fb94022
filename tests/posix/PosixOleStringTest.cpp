#include <gtest/gtest.h>

#include <cstring>

#include "platform/Errors.h"
#include "platform/posix/PosixOleString.h"

namespace Velmora {
namespace {

std::uint32_t PrefixOf(const char16_t* text)
{
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const char*>(text) - 4, 4);
    return bytes;
}

TEST(PosixOleString, LayoutIsByteCountCharactersNul)
{
    char16_t* text = OleAllocStringLen(u"0", 1);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(PrefixOf(text), 2u);
    EXPECT_EQ(text[0], u'0');
    EXPECT_EQ(text[1], u'\0');
    EXPECT_EQ(OleStringLen(text), 1u);
    OleFreeString(text);

    // The count, not the NUL, says how long the string is.
    char16_t* embedded = OleAllocStringLen(u"a\0b", 3);
    EXPECT_EQ(OleStringLen(embedded), 3u);
    EXPECT_EQ(PrefixOf(embedded), 6u);
    EXPECT_EQ(embedded[2], u'b');
    EXPECT_EQ(embedded[3], u'\0');
    OleFreeString(embedded);

    char16_t* blank = OleAllocStringLen(nullptr, 4);
    EXPECT_EQ(std::u16string(blank, 4), std::u16string(4, u'\0'));
    OleFreeString(blank);

    char16_t* empty = OleAllocStringLen(u"", 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(OleStringLen(empty), 0u);
    EXPECT_EQ(empty[0], u'\0');
    OleFreeString(empty);
}

TEST(PosixOleString, NullIsTheEmptyStringEverywhere)
{
    EXPECT_EQ(OleStringLen(nullptr), 0u);
    OleFreeString(nullptr);
    EXPECT_EQ(OleAllocStringLen(u"x", 0x80000000u), nullptr);  // more than the prefix can count
}

TEST(PosixOleString, AssignReplacesTheCallersString)
{
    char16_t* variable = OleAllocStringLen(u"previous", 8);
    TPosixOleStringVariable result(&variable);
    result.Assign("0");
    EXPECT_EQ(std::u16string(variable, OleStringLen(variable)), u"0");
    result.Assign("期初𠀀");
    EXPECT_EQ(OleStringLen(variable), 4u);  // the last one is a surrogate pair
    EXPECT_EQ(std::u16string(variable, 4), u"期初𠀀");
    OleFreeString(variable);

    char16_t* unset = nullptr;
    TPosixOleStringVariable fromNull(&unset);
    fromNull.Assign("Provider=SQLOLEDB.1");
    EXPECT_EQ(std::u16string(unset), u"Provider=SQLOLEDB.1");
    OleFreeString(unset);
}

TEST(PosixOleString, AFailedAssignKeepsThePreviousString)
{
    char16_t* variable = OleAllocStringLen(u"0", 1);
    TPosixOleStringVariable result(&variable);
    EXPECT_THROW(result.Assign("\xFF"), EVelmoraError);
    EXPECT_EQ(std::u16string(variable, OleStringLen(variable)), u"0");
    OleFreeString(variable);

    TPosixOleStringVariable noVariable(nullptr);
    EXPECT_THROW(noVariable.Assign("0"), EVelmoraError);
}

}  // namespace
}  // namespace Velmora
