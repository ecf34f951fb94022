// The T-SQL shim: tokens, rewrites and the server's LIKE.

#include <sys/wait.h>

#include <cstdlib>
#include <utility>

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/SqlShim.h"

namespace Velmora::StandinTests {
namespace {

using namespace Velmora::Standin;

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
    // Blanks that end the text are ignored; those that end the pattern count.
    EXPECT_TRUE(TsqlLikeMatches("ab", "AB  "));
    EXPECT_TRUE(TsqlLikeMatches("ab ", "ab "));
    EXPECT_FALSE(TsqlLikeMatches("ab ", "ab"));
}

// velmora-sql as a user runs it, on a server directory of its own.
class VelmoraSqlTest : public TStandinTest {
protected:
    struct TRun {
        int ExitCode = -1;
        std::string Out, Err;
    };

    TRun Sql(const std::string& arguments)
    {
        const std::filesystem::path out = Root / "out.txt", err = Root / "err.txt";
        const std::string command = std::string("'") + VELMORA_SQL_TOOL + "' --server-dir '" + ServerDir + "' " +
                                    arguments + " >'" + out.string() + "' 2>'" + err.string() + "'";
        const int status = std::system(command.c_str());
        return TRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadBytes(out), ReadBytes(err)};
    }

    TRun Script(const std::string& text)
    {
        WriteText(Root / "script.sql", text);
        return Sql("--database shim --input '" + (Root / "script.sql").string() + "'");
    }

    void SetUp() override
    {
        TStandinTest::SetUp();
        // The client never starts the service: a stopped server refuses it, as a real one would.
        ASSERT_EQ(Sql("--query 'CREATE DATABASE shim'").ExitCode, 1);
        Standin::WriteServiceState(ServerDir, "running");
        ASSERT_EQ(Sql("--query 'CREATE DATABASE shim'").ExitCode, 0);
    }
};

// The database's answers are checked by the scripts under sql/; here, how the tool shows them.
TEST_F(VelmoraSqlTest, ShowsRowsAndChangesAsTheServersClientDoes)
{
    const TRun made = Script("create table t (k varchar(4), v int)\nGO\n"
                             "insert into t values ('ab', 1); insert into t values (N'中文', 2)\n go \n"
                             "select k, v from t order by v;\nupdate t set v = v\n");
    EXPECT_EQ(made.ExitCode, 0) << made.Err;
    EXPECT_EQ(made.Out, "(1 row affected)\n(1 row affected)\nk\tv\nab\t1\n中文\t2\n(2 rows affected)\n");
}

TEST_F(VelmoraSqlTest, AFolderToReadOrAnOutputThatTakesNothingFailsTheRun)
{
    const TRun folder = Sql("--input '" + Root.string() + "'");
    EXPECT_EQ(folder.ExitCode, 1);
    EXPECT_EQ(folder.Err, "velmora-sql: cannot read '" + Root.string() + "': it is a folder, not a file\n");
    const std::string full = std::string("'") + VELMORA_SQL_TOOL + "' --server-dir '" + ServerDir +
                             "' --query 'select 1 as a' >/dev/full 2>/dev/null";
    const int status = std::system(full.c_str());
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
}

TEST_F(VelmoraSqlTest, ValuesTheColumnCannotHoldFailTheStatementAndChangeNothing)
{
    Script("create table t (k varchar(4))\nGO\ninsert into t values ('ab')\n");
    const TRun refused = Sql("--database shim --query \"insert into t (k) values ('abcde'); select count(*) as n from t\"");
    EXPECT_EQ(refused.Err, "Msg 8152, Level 16, State 1: String or binary data would be truncated.\n");
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_EQ(Sql("--database shim --query 'select count(*) as n from t'").Out, "n\n1\n");
    EXPECT_EQ(Sql("--query").ExitCode, 2);
    EXPECT_EQ(Sql("--query x --input y").ExitCode, 2);
}

}  // namespace
}  // namespace Velmora::StandinTests
