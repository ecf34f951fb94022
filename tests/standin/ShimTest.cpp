// The T-SQL shim: tokens, rewrites and the server's LIKE.

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/SqlShim.h"

namespace Velmora::StandinTests {
namespace {

using namespace Velmora::Standin;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(ShimTokens, StringsKeepDoubledQuotesAndHideEverythingInside)
{
    const auto tokens = Significant(Tokenize("select 'it''s -- not /* a */ comment', N'中文' from [my table] -- tail"));
    ASSERT_EQ(tokens.size(), 6u);
    EXPECT_EQ(StringValue(tokens[1]), "it's -- not /* a */ comment");
    EXPECT_EQ(tokens[3].Kind, TTokenKind::String);
    EXPECT_EQ(StringValue(tokens[3]), "中文");
    EXPECT_EQ(NameValue(tokens[5]), "my table");
    EXPECT_THROW(Tokenize("select 'open"), EProviderError);
    EXPECT_THROW(Tokenize("select [open"), EProviderError);
}

TEST(ShimTokens, LikeDirectlyFollowedByAStringIsTwoTokens)
{
    const auto tokens = Significant(Tokenize("where fchraccount like'1001%' and fintyear<2024"));
    ASSERT_EQ(tokens.size(), 8u);
    EXPECT_TRUE(IsWord(tokens[2], "LIKE"));
    EXPECT_EQ(StringValue(tokens[3]), "1001%");
    EXPECT_TRUE(IsSymbol(tokens[6], "<"));
}

TEST(ShimRewrite, NothingInsideStringsIsRewritten)
{
    const std::string sql = "select 'isnull(a,b) ON [PRIMARY] money like ''x%''' as t";
    EXPECT_EQ(TranslateToSqlite(sql), sql);
}

TEST(ShimRewrite, IsnullBecomesIfnullOnlyAsAFunction)
{
    EXPECT_EQ(TranslateToSqlite("select ISNULL (a,'0'), x isnull from t"), "select ifnull (a,'0'), x isnull from t");
}

TEST(ShimRewrite, TableStorageClausesGoAndTypesMap)
{
    const std::string sql = TranslateToSqlite(
        "CREATE TABLE Bal (\tfchrAccount varchar(18) NOT NULL,Bal money NOT NULL,FX int NOT NULL,Kmfx bit NOT NULL)  ON "
        "[PRIMARY]");
    EXPECT_THAT(sql, Not(HasSubstr("PRIMARY")));
    EXPECT_THAT(sql, HasSubstr("varchar(18) COLLATE NOCASE NOT NULL"));
    EXPECT_THAT(sql, HasSubstr("Bal DECIMAL(19,4) NOT NULL"));
    EXPECT_THAT(sql, HasSubstr("Kmfx INTEGER NOT NULL"));
    // A foreign key's ON DELETE is not a filegroup.
    EXPECT_THAT(TranslateToSqlite("create table t (a int references u(b) on delete cascade)"), HasSubstr("on delete"));
    EXPECT_THAT(TranslateToSqlite("create table t (a int) ON \"PRIMARY\" TEXTIMAGE_ON [PRIMARY]"),
                Not(HasSubstr("PRIMARY")));
}

TEST(ShimRewrite, CollationNamesMapToSqlitesOwn)
{
    EXPECT_EQ(TranslateToSqlite("select a from t order by a COLLATE Chinese_PRC_CI_AS"),
              "select a from t order by a COLLATE NOCASE");
    EXPECT_EQ(TranslateToSqlite("select a from t where a = b COLLATE Chinese_PRC_CS_AS"),
              "select a from t where a = b COLLATE BINARY");
}

TEST(ShimRewrite, LetterlessLikePrefixAlsoGetsAGlobForTheIndex)
{
    EXPECT_EQ(TranslateToSqlite("select * from v where fchraccount like'1001%'"),
              "select * from v where (fchraccount GLOB '1001*' AND fchraccount like'1001%')");
    EXPECT_EQ(TranslateToSqlite("select * from v where v.a like '10[_]1%' and b = 1"),
              "select * from v where (v.a GLOB '10_1*' AND v.a like '10\\_1%' ESCAPE '\\') and b = 1");
    // Letters would make GLOB case-sensitive; a leading wildcard gives no prefix; NOT LIKE is left alone.
    EXPECT_EQ(TranslateToSqlite("select * from v where a like 'ab%'"), "select * from v where a like 'ab%'");
    EXPECT_EQ(TranslateToSqlite("select * from v where a like '%1'"), "select * from v where a like '%1'");
    EXPECT_EQ(TranslateToSqlite("select * from v where a not like '1%'"), "select * from v where a not like '1%'");
    // An expression on the left is not repeated.
    EXPECT_EQ(TranslateToSqlite("select * from v where x || a like '1%'"), "select * from v where x || a like '1%'");
}

TEST(ShimRewrite, CharacterClassesGoToTheServersMatcher)
{
    EXPECT_EQ(TranslateToSqlite("select * from t where a like '[a-c]%'"), "select * from t where a REGEXP '[a-c]%'");
}

TEST(TsqlLike, WildcardsClassesAndEscapes)
{
    EXPECT_TRUE(TsqlLikeMatches("1001%", "100101"));
    EXPECT_FALSE(TsqlLikeMatches("1001%", "2001"));
    EXPECT_TRUE(TsqlLikeMatches("10_1", "1001"));
    EXPECT_FALSE(TsqlLikeMatches("10[_]1", "1001"));
    EXPECT_TRUE(TsqlLikeMatches("10[_]1", "10_1"));
    EXPECT_TRUE(TsqlLikeMatches("5[%]", "5%"));
    EXPECT_FALSE(TsqlLikeMatches("5[%]", "50"));
    EXPECT_TRUE(TsqlLikeMatches("[[]x]", "[x]"));
    EXPECT_TRUE(TsqlLikeMatches("[a-c]x", "Bx"));
    EXPECT_FALSE(TsqlLikeMatches("[^a-c]x", "bx"));
    EXPECT_TRUE(TsqlLikeMatches("[^a-c]x", "dx"));
    EXPECT_TRUE(TsqlLikeMatches("ABC%", "abcdef"));
    EXPECT_TRUE(TsqlLikeMatches("%余额", "期初余额"));
    EXPECT_TRUE(TsqlLikeMatches("期_余额", "期初余额"));
    EXPECT_TRUE(TsqlLikeMatches("%a%b%", "xxaxxbxx"));
    EXPECT_FALSE(TsqlLikeMatches("%a%b", "xxaxxbxx"));
    EXPECT_TRUE(TsqlLikeMatches("", ""));
    EXPECT_FALSE(TsqlLikeMatches("_", ""));
}

class ShimDatabaseTest : public TStandinTest {
protected:
    void SetUp() override
    {
        TStandinTest::SetUp();
        Exec(*Connect(MasterConnection), "CREATE DATABASE shim");
        Connection = Connect(ConnectionTo("shim"));
        Exec(*Connection, "create table t (a varchar(20))");
        for (const char* value : {"10%1", "1001", "10_1", "[x]", "Abc", "abd", "b"}) {
            Exec(*Connection, std::string("insert into t values ('") + value + "')");
        }
    }

    std::vector<std::string> Matching(const std::string& pattern)
    {
        std::vector<std::string> values;
        for (const auto& row : Rows(*Connection, "select a from t where a like '" + pattern + "' order by a", {"a"})) {
            values.push_back(row[0]);
        }
        return values;
    }

    std::unique_ptr<IConnection> Connection;
};

TEST_F(ShimDatabaseTest, LikeBehavesAsTheServersDefaultCollation)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(Matching("10[%]%"), (V{"10%1"}));
    EXPECT_EQ(Matching("10[_]%"), (V{"10_1"}));
    EXPECT_EQ(Matching("10_1"), (V{"10%1", "1001", "10_1"}));
    EXPECT_EQ(Matching("[[]%"), (V{"[x]"}));
    EXPECT_EQ(Matching("AB%"), (V{"Abc", "abd"}));
    EXPECT_EQ(Matching("[a-b]%"), (V{"Abc", "abd", "b"}));
    EXPECT_EQ(Matching("[^a]%"), (V{"10%1", "1001", "10_1", "[x]", "b"}));
}

TEST_F(ShimDatabaseTest, OwnerPrefixAndBracketedNamesAreAccepted)
{
    Exec(*Connection, "insert into [dbo].[t] ([a]) values (N'z')");
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from dbo.T where A = 'Z'", {"n"}).at(0).at(0), "1");
}

}  // namespace
}  // namespace Velmora::StandinTests
