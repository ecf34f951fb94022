// LIKE 'prefix%' over the columns only SQLite's own scripts make (binary
// collation, computed text), beside sql/prefix.test's server-made tables: whichever
// way the stand-in runs it (a reused ranged statement where the column holds text,
// the LIKE itself elsewhere), it selects exactly what the server's LIKE selects.

#include <gmock/gmock.h>

#include "StandinTestSupport.h"
#include "standin/SqlShim.h"

namespace Velmora::StandinTests {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

const char* const Codes[] = {"1", "10", "100", "1001", "100101", "100199", "1002", "1009", "1099", "10:1",
                             "10/", "10/5", "2001", "ABC", "abd", "a"};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

class PrefixSearchTest : public TStandinTest {
protected:
    void SetUp() override
    {
        TStandinTest::SetUp();
        Exec(*Connect(MasterConnection), "CREATE DATABASE books");
        Books = Connect(ConnectionTo("books"));
        Exec(*Books, "create table Nocase (code varchar(18))");        // NOCASE by the shim
        Exec(*Books, "create table Binary (code text collate binary)");  // as an SQLite script makes it
        for (const char* code : Codes) {
            Exec(*Books, std::string("insert into Nocase values ('") + code + "')");
            Exec(*Books, std::string("insert into Binary values ('") + code + "')");
        }
        Exec(*Books, "create view Joined as select n.code as code from Nocase n inner join Binary b on n.code = b.code");
        Exec(*Books, "create view Computed as select code || '' as code from Binary");
    }

    int Count(const std::string& table, const std::string& prefix)
    {
        return std::stoi(
            Rows(*Books, "select count(*) as n from " + table + "  where code like'" + prefix + "%'", {"n"}).at(0).at(0));
    }

    std::unique_ptr<IConnection> Books;
};

TEST_F(PrefixSearchTest, EveryPrefixSelectsExactlyTheCodesThatStartWithIt)
{
    for (const char* table : {"Binary", "Joined", "Computed"}) {
        for (const char* prefix : {"1", "10", "100", "1001", "10010", "109", "10/", "10:", "2", "3", "10[_]"}) {
            int expected = 0;
            for (const char* code : Codes) expected += StartsWith(code, prefix) ? 1 : 0;
            if (std::string(prefix) == "10[_]") expected = 0;
            EXPECT_EQ(Count(table, prefix), expected) << table << " like '" << prefix << "%'";
        }
    }
}

TEST_F(PrefixSearchTest, LettersStillMatchWithoutRegardToCase)
{
    for (const char* table : {"Binary", "Joined"}) {
        EXPECT_EQ(Count(table, "ab"), 2) << table;
        EXPECT_EQ(Count(table, "A"), 3) << table;
    }
}

TEST(PrefixSearchTranslation, OnlyPurePrefixesOfDigitsAndPunctuationBecomeRanges)
{
    using Standin::TranslateStatement;
    const auto ranged = TranslateStatement("select * from v where fchraccount like'1001%' and fintyear<2024");
    EXPECT_EQ(ranged.RangedSql, "select * from v where (fchraccount >= ?1 AND fchraccount < ?2) and fintyear<2024");
    EXPECT_EQ(ranged.RangeParameters, (std::vector<std::string>{"1001", "1002"}));
    EXPECT_THAT(TranslateStatement("select * from v where a like 'ab%'").RangedSql, IsEmpty());
    EXPECT_THAT(TranslateStatement("select * from v where a like '10_1%'").RangedSql, IsEmpty());
    EXPECT_THAT(TranslateStatement("select * from v where a like '10%1'").RangedSql, IsEmpty());
    EXPECT_THAT(TranslateStatement("select * from v where a like '1%' and b = ?").RangedSql, IsEmpty());
    // Statements that differ only in their prefix share one shape and one ranged text.
    const auto other = TranslateStatement("select * from v where fchraccount like'2001%' and fintyear<2024");
    EXPECT_EQ(other.Shape, ranged.Shape);
    EXPECT_EQ(other.RangedSql, ranged.RangedSql);
}

TEST_F(PrefixSearchTest, AdvisorIndexesTheSearchedAndJoinedBaseColumnsOnce)
{
    Exec(*Books, "create table Detail (id int, nocaseCode varchar(18), amount money)");
    Exec(*Books, "create index Existing on Detail (nocaseCode)");
    Exec(*Books, "create view Lines as select d.amount, n.code from Detail d inner join Nocase n on d.nocaseCode = n.code");
    Count("Binary", "10");
    Rows(*Books, "select sum(amount) as s from Lines where code like'10%'", {"s"});
    const auto indexes =
        Rows(*Books, "select tbl_name, name from sqlite_master where type = 'index' order by tbl_name, name",
             {"tbl_name", "name"});
    EXPECT_EQ(indexes, (std::vector<std::vector<std::string>>{{"Binary", "velmora_Binary_code"},
                                                              {"Detail", "Existing"},
                                                              {"Nocase", "velmora_Nocase_code"}}));
}

}  // namespace
}  // namespace Velmora::StandinTests
