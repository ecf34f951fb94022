// The ledger statements exactly as the plug-in sends them (mixed case, doubled
// blanks, a tab, like'…%' without a blank) on a small copy of the package's schema.

#include <gmock/gmock.h>

#include "StandinTestSupport.h"

namespace Velmora::StandinTests {
namespace {

// The package's tables, in the server's own dialect.
const char* const PackageSchema[] = {
    "CREATE TABLE [dbo].[Account] ([fchrAccountID] uniqueidentifier NOT NULL, [fchrAccount] varchar(18) NOT NULL,"
    " fchrAccountName nvarchar(60) NULL, fbitDirection bit NOT NULL, fbitNoUsed bit NOT NULL,"
    " CONSTRAINT PK_Account PRIMARY KEY CLUSTERED (fchrAccountID) ON [PRIMARY]) ON [PRIMARY]",
    "CREATE TABLE Sys_Role (fchrRoleID varchar(36) NOT NULL, fchrRoleName nvarchar(40) NULL)",
    "CREATE TABLE OperatorRole (fchrOperatorID varchar(36) NOT NULL, fchrRoleID varchar(36) NOT NULL)",
    "CREATE TABLE Voucher (fchrVoucherID varchar(36) NOT NULL PRIMARY KEY, fchrOperatorID varchar(36),"
    " fchrCheckerID varchar(36), fchrRegisterID varchar(36), fchrVoucherTypeID varchar(36), fintYear int,"
    " ftinPeriod tinyint, fdtmDate datetime, fintNumber int, fintVoucherNO int, fbitStyle bit, fbitNoUsed bit)"
    " ON [PRIMARY]",
    "CREATE TABLE Code (fchrCodeID varchar(36) NOT NULL, fchrCodeName nvarchar(20) NULL)",
    "CREATE TABLE VoucherDetail (fchrVoucherDetailID varchar(36) NOT NULL, fchrVoucherID varchar(36) NOT NULL,"
    " fchrAccountID varchar(36) NOT NULL, ftinCode tinyint, fchrRemark nvarchar(100), fbitDirection bit,"
    " flotAmount money, fchrForeignCode varchar(10), flotForeignAmount money, flotRate float,"
    " fdtmPaymentDate datetime, flotBalance money, fchrOptNo varchar(20), fintOrder int) ON [PRIMARY]",
    "CREATE NONCLUSTERED INDEX IX_Detail_Account ON VoucherDetail (fchrAccountID) ON [PRIMARY]",
};

const char* const PackageRows[] = {
    "insert into Account values ('A1', '1001', N'现金', 1, 0)",
    "insert into Account values ('A2', '100101', N'人民币', 1, 0)",
    "insert into Account values ('A3', '2001', N'短期借款', 0, 0)",
    "insert into Account values ('A4', '9999', N'停用', 1, 1)",
    "insert into Account values ('A5', '10_1', N'带下划线', 1, 0)",
    "insert into Sys_Role values ('R1', N'会计')",
    "insert into Sys_Role values ('R2', N'主管')",
    "insert into OperatorRole values ('op1', 'R1')",
    "insert into OperatorRole values ('op2', 'R2')",
    "insert into Code values ('T1', N'记')",
    "insert into Code values ('T0', '0')",
    // Opening balances, a voucher of an earlier year, one of the year itself,
    // one without type and one whose type name is 0.
    "insert into Voucher values ('V0', 'op1', 'op2', 'op1', 'T1', 2020, 1, '2020-01-01', 1, 1, 0, 0)",
    "insert into Voucher values ('V1', 'op1', 'op2', 'op3', 'T1', 2023, 5, '2023-05-01', 2, 2, 0, 0)",
    "insert into Voucher values ('V2', 'op1', 'op2', 'op1', 'T1', 2024, 1, '2024-01-05', 3, 3, 0, 0)",
    "insert into Voucher values ('V3', 'op3', null, null, 'TX', 2023, 6, '2023-06-01', 4, 4, 0, 0)",
    "insert into Voucher values ('V4', 'op1', null, null, 'T0', 2023, 7, '2023-07-01', 5, 5, 0, 0)",
    "insert into VoucherDetail values ('D1', 'V0', 'A1', 1, N'期初余额', 1, 0, null, 0, 1, null, 100.00, null, 1)",
    "insert into VoucherDetail values ('D2', 'V0', 'A1', 1, N'期初余额', 0, 0, null, 0, 1, null, 30.00, null, 2)",
    "insert into VoucherDetail values ('D3', 'V1', 'A2', 1, N'提现', 1, 50.00, null, 0, 1, null, 0, null, 1)",
    "insert into VoucherDetail values ('D4', 'V1', 'A1', 1, N'提现', 0, 20.00, null, 0, 1, null, 0, null, 2)",
    "insert into VoucherDetail values ('D5', 'V1', 'A4', 1, N'停用科目', 1, 11.00, null, 0, 1, null, 0, null, 3)",
    "insert into VoucherDetail values ('D6', 'V2', 'A1', 1, N'本年', 1, 999.00, null, 0, 1, null, 0, null, 1)",
    "insert into VoucherDetail values ('D7', 'V3', 'A1', 1, N'无类型', 1, 777.00, null, 0, 1, null, 0, null, 1)",
    "insert into VoucherDetail values ('D8', 'V4', 'A1', 1, N'类型为0', 1, 555.00, null, 0, 1, null, 0, null, 1)",
    "insert into VoucherDetail values ('D9', 'V1', 'A5', 1, N'下划线', 1, 7.00, null, 0, 1, null, 0, null, 4)",
};

// Byte for byte as the ledger step sends them.
const char* const LedgerStatements[] = {
    "Create view km as SELECT fchrAccount, fchrAccountID, fchrAccountName,fbitDirection, fbitNoUsed from Account "
    "where fbitnoused=0",
    "CREATE TABLE Bal (\tfchrAccount varchar(18) NOT NULL,Bal money NOT NULL,FX int NOT NULL,Kmfx bit NOT NULL)  ON "
    "[PRIMARY]",
    "insert into bal SELECT fchrAccount,0.00 as Bal,0 as FX,fbitDirection as kmfx  from km",
    "Create View role as SELECT Sys_Role.fchrRoleName, OperatorRole.fchrOperatorID FROM OperatorRole INNER JOIN  "
    "Sys_Role ON OperatorRole.fchrRoleID = Sys_Role.fchrRoleID",
    "create view pm as  SELECT Voucher.*, Code.fchrCodeName,zd_role.fchrRoleName AS zd, fh_role.fchrRoleName AS FH, "
    "Jz_role.fchrRoleName AS jz FROM Voucher  left JOIN role as zd_role ON Voucher.fchrOperatorID = "
    "zd_role.fchrOperatorID left JOIN  role as fh_role ON Voucher.fchrCheckerID =fh_role.fchrOperatorID left JOIN "
    "role as jz_role ON Voucher.fchrRegisterID = jz_role.fchrOperatorID left JOIN  Code ON Voucher.fchrVoucherTypeID "
    "= Code.fchrCodeID",
    "create view pd as SELECT VoucherDetail.*, km.fchrAccount FROM VoucherDetail INNER JOIN km ON "
    "VoucherDetail.fchrAccountID = km.fchrAccountID",
    "Create View Pz as SELECT PM.fchrCodeName, PM.fintYear, PM.ftinPeriod, PM.fdtmDate, PM.fintNumber, "
    "PM.fintVoucherNO, PM.fbitStyle, PM.zd, PM.fh,  PM.jz, PM.fbitNoUsed, PM.fchrVoucherID, pD.ftinCode, "
    "pD.fchrRemark, pD.fchrAccount, pD.fbitDirection, pD.flotAmount, pD.fchrForeignCode,  pD.flotForeignAmount, "
    "pD.flotRate, pD.fdtmPaymentDate, pD.flotBalance, pD.fchrOptNo, pD.fintOrder FROM pD INNER JOIN  PM ON "
    "pD.fchrVoucherID = PM.fchrVoucherID",
    "Create View PzAvalid as select * from pz WHERE (ISNULL(fchrCodeName,'0')<>'0')",
    "Create view BalFirst as SELECT flotBalance,fchrAccount,fbitDirection  from pz where fchrRemark='期初余额'",
};

std::string OpeningQuery(const std::string& account)
{
    return "select isnull(sum(case when fbitDirection =1 then flotBalance else 0  end),0) as j,isnull(sum(case when "
           "fbitDirection =0 then flotBalance else 0  end),0) as d from BalFirst  where fchraccount like'" +
           account + "%" + "'";
}

std::string MovementQuery(const std::string& account, int year)
{
    return "select isnull(sum(case when fbitDirection =1 then flotamount else 0  end),0) as j,  isnull(sum(case when "
           "fbitDirection =0 then flotamount else 0  end),0) as d from pzavalid  where fchraccount like'" +
           account + "%" + "'" + " and fintyear<" + std::to_string(year);
}

class LedgerTest : public TStandinTest {
protected:
    void SetUp() override
    {
        TStandinTest::SetUp();
        Exec(*Connect(MasterConnection), "CREATE DATABASE UFDATA");
        Connection = Connect(UfdataConnection);
        for (const char* statement : PackageSchema) Exec(*Connection, statement);
        for (const char* statement : PackageRows) Exec(*Connection, statement);
    }

    void CreateLedgerObjects()
    {
        for (const char* statement : LedgerStatements) {
            SCOPED_TRACE(statement);
            EXPECT_NO_THROW(Exec(*Connection, statement));
        }
    }

    std::pair<double, double> Sums(const std::string& statement)
    {
        auto query = Connection->CreateQuery();
        query->AddSql(statement);
        query->Open();
        EXPECT_EQ(query->RecordCount(), 1);
        return {query->FieldByName("j").AsFloat(), query->FieldByName("D").AsFloat()};
    }

    std::unique_ptr<IConnection> Connection;
};

TEST_F(LedgerTest, TheNineStatementsSucceedAsQuotedAndFailOnceTheObjectsExist)
{
    CreateLedgerObjects();
    for (const char* statement : LedgerStatements) {
        if (std::string(statement).rfind("insert", 0) == 0) continue;
        EXPECT_THROW(Exec(*Connection, statement), EProviderError) << statement;
    }
}

TEST_F(LedgerTest, BalHoldsOneRowPerAccountInUse)
{
    CreateLedgerObjects();
    const auto rows = Rows(*Connection, "select * from Bal order by fchraccount", {"fchraccount", "Bal", "FX", "kmfx"});
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{
                        {"1001", "0", "0", "1"}, {"100101", "0", "0", "1"}, {"10_1", "0", "0", "1"}, {"2001", "0", "0", "0"}}));
    auto query = Connection->CreateQuery();
    query->AddSql("select * from Bal order by fchraccount");
    query->Open();
    EXPECT_TRUE(query->FieldByName("KMFX").AsBoolean());
}

TEST_F(LedgerTest, ViewsJoinRolesTypesAndAccountsAsThePackageExpects)
{
    CreateLedgerObjects();
    // Roles by outer join: op3 has none.
    EXPECT_EQ(Rows(*Connection, "select zd, FH, jz from PM where fchrVoucherID = 'V1'", {"ZD", "fh", "JZ"}),
              (std::vector<std::vector<std::string>>{{"会计", "主管", ""}}));
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from pm where zd is null", {"n"}).at(0).at(0), "1");
    // A line of an account not in use is in neither pd nor Pz.
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from pd where fchrAccountID = 'A4'", {"n"}).at(0).at(0), "0");
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from PZ", {"n"}).at(0).at(0), "8");
    // No voucher type, or a type named 0: in Pz, not in PzAvalid.
    EXPECT_EQ(Rows(*Connection, "select fchrVoucherID from pzavalid where fchrVoucherID in ('V3','V4')", {"fchrVoucherID"})
                  .size(),
              0u);
    EXPECT_EQ(Rows(*Connection, "select count(*) as n from PzAvalid", {"n"}).at(0).at(0), "6");
    EXPECT_EQ(Rows(*Connection, "select fchrAccount, flotBalance from BalFirst order by fbitDirection",
                   {"fchraccount", "FLOTBALANCE"}),
              (std::vector<std::vector<std::string>>{{"1001", "30"}, {"1001", "100"}}));
}

TEST_F(LedgerTest, AggregateQueriesIncludeChildAccountsAndEarlierYearsOnly)
{
    CreateLedgerObjects();
    EXPECT_EQ(Sums(OpeningQuery("1001")), std::make_pair(100.0, 30.0));
    EXPECT_EQ(Sums(MovementQuery("1001", 2024)), std::make_pair(50.0, 20.0));
    EXPECT_EQ(Sums(MovementQuery("1001", 2025)), std::make_pair(1049.0, 20.0));
    EXPECT_EQ(Sums(MovementQuery("100101", 2024)), std::make_pair(50.0, 0.0));
    // No lines at all: both sums are 0, not null.
    EXPECT_EQ(Sums(OpeningQuery("2001")), std::make_pair(0.0, 0.0));
    EXPECT_EQ(Sums(MovementQuery("2001", 2024)), std::make_pair(0.0, 0.0));
}

TEST_F(LedgerTest, EscapedAccountCodesMatchTheirLiteralCharacters)
{
    CreateLedgerObjects();
    // [_] stands for the underscore itself; a bare _ would also match 1001 and 100101.
    EXPECT_EQ(Sums(MovementQuery("10[_]1", 2024)), std::make_pair(7.0, 0.0));
    EXPECT_EQ(Sums(MovementQuery("10_1", 2024)), std::make_pair(57.0, 20.0));
}

TEST_F(LedgerTest, UpdateWritesTheBalanceAndDirection)
{
    CreateLedgerObjects();
    Exec(*Connection, "update bal set bal=100,fx=1 where fchraccount='1001'");
    Exec(*Connection, "update bal set bal=-3.5,fx=-1 where fchraccount='2001'");
    EXPECT_EQ(Rows(*Connection, "select Bal, FX from Bal where fchrAccount in ('1001','2001') order by 1 desc",
                   {"bal", "fx"}),
              (std::vector<std::vector<std::string>>{{"100", "1"}, {"-3.5", "-1"}}));
}

TEST_F(LedgerTest, NamesAndLikeIgnoreCase)
{
    CreateLedgerObjects();
    Exec(*Connection, "insert into Code values ('TA', 'Abc')");
    EXPECT_EQ(Rows(*Connection, "SELECT FCHRCODENAME FROM CODE WHERE FCHRCODENAME LIKE 'aB%'", {"fchrcodename"}).size(),
              1u);
    EXPECT_EQ(Rows(*Connection, "select fchrCodeName from code where fchrCodeName = 'ABC'", {"fchrCodeName"}).size(),
              1u);
}

}  // namespace
}  // namespace Velmora::StandinTests
