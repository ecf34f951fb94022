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
    Exec(*Connection, "insert into t values ('B  ')");
    EXPECT_EQ(Matching("b"), (V{"b", "B  "}));
    EXPECT_EQ(Matching("b "), (V{"B  "}));
}

TEST_F(ShimDatabaseTest, RewritesLeaveStringsAloneAndKeepTheServersMeaning)
{
    using R = std::vector<std::vector<std::string>>;
    EXPECT_EQ(Rows(*Connection, "select 'isnull(a,b) ON [PRIMARY] money like ''x%''' as t", {"t"}),
              (R{{"isnull(a,b) ON [PRIMARY] money like 'x%'"}}));
    EXPECT_EQ(Rows(*Connection, "select ISNULL (a,'0') as v from t where a = 'b' union all select isnull(null, 'n')",
                   {"v"}),
              (R{{"b"}, {"n"}}));
    Exec(*Connection,
         "CREATE TABLE Bal (\tfchrAccount varchar(18) NOT NULL,Bal money NOT NULL,FX int NOT NULL,Kmfx bit NOT NULL)  "
         "ON [PRIMARY]");
    Exec(*Connection, "insert into bal values ('1001', 2.5, 1, 1)");
    EXPECT_EQ(Rows(*Connection, "select Bal, FX from BAL where fchraccount = '1001'", {"Bal", "FX"}), (R{{"2.5", "1"}}));
    Exec(*Connection, "create table u (a int primary key) ON \"PRIMARY\" TEXTIMAGE_ON [PRIMARY]");
    Exec(*Connection, "create table w (a int references u(a) on delete cascade)");
    // A _CS collation tells case apart; the default and _CI ones do not.
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from t where a = 'ABC' COLLATE Chinese_PRC_CS_AS", {"n"}),
              (R{{"0"}}));
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from t where a = 'ABC ' COLLATE Chinese_PRC_CI_AS", {"n"}),
              (R{{"1"}}));
}

TEST_F(ShimDatabaseTest, OwnerPrefixAndBracketedNamesAreAccepted)
{
    Exec(*Connection, "insert into [dbo].[t] ([a]) values (N'z')");
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from dbo.T where A = 'Z'", {"n"}).at(0).at(0), "1");
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
        WriteServiceState(ServerDir, "running");
        ASSERT_EQ(Sql("--query 'CREATE DATABASE shim'").ExitCode, 0);
    }
};

TEST_F(VelmoraSqlTest, CharacterColumnsCompareWithoutCaseOrTrailingBlanks)
{
    const TRun run = Script(
        "create table t (k varchar(10), v int);\ncreate table u (k char(5), name nvarchar(10))\nGO\n"
        "insert into t values ('ab', 1); insert into t values ('AB  ', 2); insert into t values ('b', 3);\n"
        "insert into u values ('aB', N'名')\n go \n"
        "select count(*) as n from t where k = 'Ab';\n"
        "select count(*) as n from t where k <> 'ab';\n"
        "select count(*) as n from t join u on t.k = u.k;\n"
        "select count(*) as n from (select distinct k from t) d;\n"
        "select count(*) as n from (select k from t group by k) g;\n"
        "select v from t order by k desc, v;\n"
        "select count(*) as n from t where k like 'ab';\n"
        "select count(*) as n from t where k like 'ab ';\n"
        "update t set v = v where k = 'AB'\n");
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_EQ(run.Out, "(1 row affected)\n(1 row affected)\n(1 row affected)\n(1 row affected)\n"
                       "n\n2\nn\n1\nn\n2\nn\n2\nn\n2\nv\n3\n1\n2\nn\n2\nn\n1\n(2 rows affected)\n");
}

TEST_F(VelmoraSqlTest, ValuesTheColumnCannotHoldFailTheStatementAndChangeNothing)
{
    const TRun made = Script(
        "create table m (c varchar(4), n nvarchar(2), a money, b bit, s smallint, t tinyint, x varchar(max), i int, "
        "g bigint)\nGO\n"
        "insert into m (c, n, a, b, x) values ('中文', N'中文', 1.00005, 7, 'no limit');\n"
        "insert into m (a, b) values (-2.00005, 0);\n"
        "select c, n, a, b from m order by a;\n"
        "update m set a = a + 0.0001 where b = 0; select a from m where b = 0\n");
    EXPECT_EQ(made.ExitCode, 0) << made.Err;
    EXPECT_EQ(made.Out,
              "(1 row affected)\n(1 row affected)\nc\tn\ta\tb\nNULL\tNULL\t-2.0001\t0\n中文\t中文\t1.0001\t1\n"
              "(1 row affected)\na\n-2.0000\n");

    const std::string truncated = "Msg 8152, Level 16, State 1: String or binary data would be truncated.\n";
    const std::string overflow =
        "Msg 8115, Level 16, State 1: Arithmetic overflow error converting expression to data type ";
    const std::pair<const char*, std::string> refused[] = {
        {"insert into m (c) values ('中文字')", truncated},
        {"insert into m (n) values (N'中文字')", truncated},
        {"update m set c = 'abcde'", truncated},
        {"insert into m (a) values (-922337203685478)", overflow + "money.\n"},
        {"insert into m (s) values (32768)", overflow + "smallint.\n"},
        {"insert into m (t) values (-1)", overflow + "tinyint.\n"},
        {"insert into m (a) values (922337203685477.6)", overflow + "money.\n"},
        {"insert into m (g) values (9223372036854775808)", overflow + "bigint.\n"},
        // Code page 936 as Windows has it: the euro sign one byte, a character outside it '?' per UTF-16 unit.
        {"insert into m (c, i) values ('€😀€', 1.9)", ""},
        {"update m set a = 900000000000000.5", ""},
        {"select sum(a) as total from m", overflow + "money.\n"},
        {"create view v as select c, n as C from m",
         "Msg 4506, Level 16, State 1: Column names in each view or function must be unique. Column name 'C' in "
         "view or function 'v' is specified more than once.\n"},
    };
    for (const auto& [statement, message] : refused) {
        const TRun run = Sql("--database shim --query \"" + std::string(statement) + "\"");
        EXPECT_EQ(run.ExitCode, message.empty() ? 0 : 1) << statement;
        EXPECT_EQ(run.Err, message) << statement;
    }
    const TRun after =
        Sql("--database shim --query 'select count(*) as n, max(c) as c, max(i) as i from m; select * from v'");
    EXPECT_EQ(after.Out, "n\tc\ti\n3\t中文\t1\n");
    EXPECT_EQ(after.ExitCode, 1);
    EXPECT_EQ(Sql("--query").ExitCode, 2);
    EXPECT_EQ(Sql("--query x --input y").ExitCode, 2);
}

}  // namespace
}  // namespace Velmora::StandinTests
