// SUM in user databases: exact over money, as the server's, with SQL's NULLs and
// SQLite's integer results otherwise.

#include <gmock/gmock.h>

#include <cstdint>

#include "StandinTestSupport.h"

namespace Velmora::StandinTests {
namespace {

using ::testing::HasSubstr;

class ExactSumTest : public TStandinTest {
protected:
    void SetUp() override
    {
        TStandinTest::SetUp();
        auto master = Connect(MasterConnection);
        Exec(*master, "CREATE DATABASE UFDATA");
        Books = Connect(UfdataConnection);
    }

    TFieldValue Value(const std::string& statement)
    {
        auto query = Books->CreateQuery();
        query->AddSql(statement);
        query->Open();
        return query->FieldByName("v");
    }

    std::unique_ptr<IConnection> Books;
};

// Amounts of up to 999,999.99 spread over the whole range, as a year's voucher lines are.
std::int64_t Cents(std::int64_t n) { return (n * 2654435761) % 100000000; }

TEST_F(ExactSumTest, MoneyAddsUpToTheCentOverAYearsVoucherLines)
{
    Exec(*Books, "create table Lines (fbitDirection bit, flotBalance money)");
    Exec(*Books,
         "with recursive s(n) as (select 1 union all select n+1 from s where n < 200000) "
         "insert into Lines select n % 2, ((n * 2654435761) % 100000000) / 100.0 from s");
    std::int64_t all = 0, debit = 0;
    for (std::int64_t n = 1; n <= 200000; ++n) {
        all += Cents(n);
        if (n % 2 == 1) debit += Cents(n);
    }
    // SQLite's own sum gives 100000760999.99995 for these.
    EXPECT_EQ(Value("select sum(flotBalance) as v from Lines").AsFloat(), static_cast<double>(all) / 100);
    // The balance step's own form of the query.
    EXPECT_EQ(Value("select isnull(sum(case when fbitDirection =1 then flotBalance else 0  end),0) as v from Lines")
                  .AsFloat(),
              static_cast<double>(debit) / 100);
    EXPECT_EQ(Value("select SUM (-flotBalance) as v from Lines").AsFloat(), -static_cast<double>(all) / 100);

    // Totals past 2^53 ten-thousandths are still rounded once, to the nearest double.
    Exec(*Books, "create table Big (m money)");
    Exec(*Books, "insert into Big values (500000000000.01)");
    Exec(*Books, "insert into Big values (500000000000.02)");
    Exec(*Books, "insert into Big values (-0.0001)");
    EXPECT_EQ(Value("select sum(m) as v from Big").AsFloat(), 1000000000000.0299);
}

TEST_F(ExactSumTest, NullsIntegersAndOtherNumbersBehaveAsSqlSays)
{
    Exec(*Books, "create table T (k int, i bigint, m money, f float)");
    EXPECT_TRUE(Value("select sum(m) as v from T").IsNull());
    EXPECT_EQ(Value("select isnull(sum(m),0) as v from T").AsString(), "0");
    Exec(*Books, "insert into T values (1, null, null, null)");
    EXPECT_TRUE(Value("select sum(m) as v from T").IsNull());

    Exec(*Books, "insert into T values (2, 2, 0.1, 1.0/3)");
    Exec(*Books, "insert into T values (3, 3, 0.2, 1.0/3)");
    Exec(*Books, "insert into T values (4, 4, 0.3, 1.0/3)");
    const TFieldValue integers = Value("select sum(i) as v from T");
    EXPECT_EQ(integers.Kind(), TFieldValue::TKind::Integer);
    EXPECT_EQ(integers.AsInteger(), 9);
    EXPECT_EQ(Value("select sum(m) as v from T").AsFloat(), 0.6);
    EXPECT_EQ(Value("select sum(f) as v from T").AsFloat(), 1.0);
    EXPECT_EQ(Value("select sum(distinct k % 2) as v from T").AsInteger(), 1);
    EXPECT_EQ(Value("select sum(m) filter (where k > 2) as v from T").AsFloat(), 0.5);

    // As a window function too, where rows leave the frame again.
    auto query = Books->CreateQuery();
    query->AddSql("select sum(m) over (order by k rows between 1 preceding and current row) as v from T order by k");
    query->Open();
    std::vector<std::string> running;
    for (query->First(); !query->Eof(); query->Next()) running.push_back(query->FieldByName("v").AsString());
    EXPECT_EQ(running, (std::vector<std::string>{"", "0.1", "0.3", "0.5"}));

    // Integers that overflow are an error, as on the server, not a wrong number.
    Exec(*Books, "insert into T values (5, 9223372036854775807, null, null)");
    EXPECT_THAT(ProviderError([&] { Value("select sum(i) as v from T"); }),
                HasSubstr("Arithmetic overflow error converting expression to data type bigint."));
    // Money beyond its range is refused when stored.
    EXPECT_THAT(ProviderError([&] { Exec(*Books, "update T set m = 9.0e15 where k = 5"); }),
                HasSubstr("Arithmetic overflow error converting expression to data type money."));
    EXPECT_EQ(Value("select sum(m) as v from T").AsFloat(), 0.6);
}

}  // namespace
}  // namespace Velmora::StandinTests
