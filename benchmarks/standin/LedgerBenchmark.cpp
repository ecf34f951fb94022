// The balance computation's workload on the stand-in: per account, the two
// aggregate queries over BalFirst and pzavalid with like'CODE%', against one
// grouped query over the same views. Usage:
//   velmora_standin_ledger_benchmark [ACCOUNTS [LINES]] [--no-indexes] [--books-only]
// Defaults: 2000 accounts, 200000 voucher lines. Prints the timings and the ratio.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/Database.h"
#include "platform/Errors.h"
#include "standin/StandinDataAccess.h"

namespace {

using namespace Velmora;
using TClock = std::chrono::steady_clock;

const char* const Master =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=Master;Data Source=(local)";
const char* const Ufdata =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=ufdata;Data Source=(local)";

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

void Exec(IConnection& connection, const std::string& statement)
{
    auto command = connection.CreateCommand();
    command->SetCommandText(statement);
    command->Execute();
}

double Seconds(TClock::time_point from) { return std::chrono::duration<double>(TClock::now() - from).count(); }

void BuildBooks(IConnection& books, int accounts, int lines, bool indexes)
{
    Exec(books, "CREATE TABLE Account (fchrAccountID varchar(36) NOT NULL PRIMARY KEY, fchrAccount varchar(18) NOT NULL,"
                " fchrAccountName nvarchar(60), fbitDirection bit NOT NULL, fbitNoUsed bit NOT NULL)");
    Exec(books, "CREATE TABLE Sys_Role (fchrRoleID varchar(36) NOT NULL PRIMARY KEY, fchrRoleName nvarchar(40))");
    Exec(books, "CREATE TABLE OperatorRole (fchrOperatorID varchar(36) NOT NULL, fchrRoleID varchar(36) NOT NULL)");
    Exec(books, "CREATE TABLE Voucher (fchrVoucherID varchar(36) NOT NULL PRIMARY KEY, fchrOperatorID varchar(36),"
                " fchrCheckerID varchar(36), fchrRegisterID varchar(36), fchrVoucherTypeID varchar(36), fintYear int,"
                " ftinPeriod tinyint, fdtmDate datetime, fintNumber int, fintVoucherNO int, fbitStyle bit,"
                " fbitNoUsed bit)");
    Exec(books, "CREATE TABLE Code (fchrCodeID varchar(36) NOT NULL PRIMARY KEY, fchrCodeName nvarchar(20))");
    Exec(books, "CREATE TABLE VoucherDetail (fchrVoucherDetailID varchar(36) NOT NULL PRIMARY KEY,"
                " fchrVoucherID varchar(36) NOT NULL, fchrAccountID varchar(36) NOT NULL, ftinCode tinyint,"
                " fchrRemark nvarchar(100), fbitDirection bit, flotAmount money, fchrForeignCode varchar(10),"
                " flotForeignAmount money, flotRate float, fdtmPaymentDate datetime, flotBalance money,"
                " fchrOptNo varchar(20), fintOrder int)");
    if (indexes) {
        Exec(books, "CREATE INDEX IX_Account_Code ON Account (fchrAccount)");
        Exec(books, "CREATE INDEX IX_VoucherDetail_Account ON VoucherDetail (fchrAccountID)");
    }

    Exec(books, "BEGIN");
    Exec(books, "insert into Sys_Role values ('R1', N'会计')");
    Exec(books, "insert into Sys_Role values ('R2', N'主管')");
    Exec(books, "insert into OperatorRole values ('op1', 'R1')");
    Exec(books, "insert into OperatorRole values ('op2', 'R2')");
    Exec(books, "insert into Code values ('T1', N'记')");
    Exec(books, "insert into Code values ('T2', N'收')");
    // Hierarchical codes: a tenth of the accounts are four-digit parents, the rest their six-digit children.
    const int parents = accounts / 10;
    Exec(books, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                    std::to_string(accounts - 1) +
                    ") INSERT INTO Account SELECT 'A' || i,"
                    " CASE WHEN i < " + std::to_string(parents) + " THEN CAST(1001 + i AS TEXT)"
                    " ELSE CAST(1001 + (i % " + std::to_string(parents) + ") AS TEXT) ||"
                    " substr('0' || CAST(1 + (i / " + std::to_string(parents) + ") AS TEXT), -2) END,"
                    " 'account ' || i, i % 3 <> 0, 0 FROM n");
    const int vouchers = lines / 10;
    Exec(books, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                    std::to_string(vouchers - 1) +
                    ") INSERT INTO Voucher SELECT 'V' || i, 'op1', 'op2', 'op1', CASE WHEN i % 50 = 0 THEN NULL"
                    " ELSE 'T' || (1 + i % 2) END, 2019 + i % 6, 1 + i % 12, '2020-01-01', i, i, 0, 0 FROM n");
    Exec(books, "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                    std::to_string(lines - 1) +
                    ") INSERT INTO VoucherDetail SELECT 'D' || i, 'V' || (i / 10), 'A' || ((i * 7919) % " +
                    std::to_string(accounts) +
                    "), 1, CASE WHEN i % 40 = 0 THEN N'期初余额' ELSE N'摘要' END, i % 2,"
                    " (i % 1000) / 10.0, NULL, 0, 1, NULL, (i % 500) / 4.0, NULL, i % 10 FROM n");
    Exec(books, "COMMIT");
}

}  // namespace

int main(int argc, char** argv)
{
    int accounts = 2000;
    int lines = 200000;
    bool indexes = true;
    bool booksOnly = false;  // build the books, print where they are, keep them
    std::vector<int> numbers;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--no-indexes") indexes = false;
        else if (arg == "--books-only") booksOnly = true;
        else numbers.push_back(std::atoi(argv[k]));
    }
    if (!numbers.empty()) accounts = numbers[0];
    if (numbers.size() > 1) lines = numbers[1];

    std::random_device random;
    const auto root = std::filesystem::temp_directory_path() / ("velmora-ledger-bench-" + std::to_string(random()));
    try {
        TStandinDataAccess data((root / "server").string());
        auto master = data.CreateConnection();
        master->SetConnectionString(Master);
        Exec(*master, "CREATE DATABASE ufdata");
        auto books = data.CreateConnection();
        books->SetConnectionString(Ufdata);

        auto started = TClock::now();
        BuildBooks(*books, accounts, lines, indexes);
        std::printf("books: %d accounts, %d lines%s, built in %.2f s\n", accounts, lines,
                    indexes ? "" : " (no indexes beyond the primary keys)", Seconds(started));
        started = TClock::now();
        for (const char* statement : LedgerStatements) Exec(*books, statement);
        std::printf("views and Bal: %.3f s\n", Seconds(started));
        if (booksOnly) {
            std::printf("kept: %s\n", (root / "server" / "data" / "ufdata.mdf").string().c_str());
            return 0;
        }

        std::vector<std::string> codes;
        {
            auto query = books->CreateQuery();
            query->AddSql("select * from Bal order by fchraccount");
            query->Open();
            for (query->First(); !query->Eof(); query->Next()) codes.push_back(query->FieldByName("fchraccount").AsString());
        }

        auto query = books->CreateQuery();
        auto open = [&](const std::string& statement) {
            query->Close();
            query->ClearSql();
            query->AddSql(statement);
            query->Open();
        };

        started = TClock::now();
        open("select fchraccount, isnull(sum(case when fbitDirection =1 then flotBalance else 0  end),0) as j,"
             "isnull(sum(case when fbitDirection =0 then flotBalance else 0  end),0) as d from BalFirst group by fchraccount");
        const double groupedFirst = Seconds(started);
        started = TClock::now();
        open("select fchraccount, isnull(sum(case when fbitDirection =1 then flotamount else 0  end),0) as j,"
             "  isnull(sum(case when fbitDirection =0 then flotamount else 0  end),0) as d from pzavalid  where"
             " fintyear<2024 group by fchraccount");
        const double groupedMovement = Seconds(started);
        const double grouped = groupedFirst + groupedMovement;
        std::printf("one grouped query each: BalFirst %.3f s, pzavalid %.3f s, together %.3f s\n", groupedFirst,
                    groupedMovement, grouped);

        double checksum = 0;
        started = TClock::now();
        for (const std::string& code : codes) {
            open("select isnull(sum(case when fbitDirection =1 then flotBalance else 0  end),0) as j,isnull(sum(case "
                 "when fbitDirection =0 then flotBalance else 0  end),0) as d from BalFirst  where fchraccount like'" +
                 code + "%'");
            checksum += query->FieldByName("j").AsFloat() - query->FieldByName("d").AsFloat();
            open("select isnull(sum(case when fbitDirection =1 then flotamount else 0  end),0) as j,  isnull(sum(case "
                 "when fbitDirection =0 then flotamount else 0  end),0) as d from pzavalid  where fchraccount like'" +
                 code + "%'" + " and fintyear<2024");
            checksum += query->FieldByName("j").AsFloat() - query->FieldByName("D").AsFloat();
        }
        const double perAccount = Seconds(started);
        std::printf("per account, %zu x 2 queries: %.3f s (%.3f ms per account), checksum %.2f\n", codes.size(),
                    perAccount, perAccount * 1000 / static_cast<double>(codes.size()), checksum);

        started = TClock::now();
        for (const std::string& code : codes) Exec(*books, "update bal set bal=1.5,fx=1 where fchraccount='" + code + "'");
        std::printf("per account update: %.3f s\n", Seconds(started));
        std::printf("ratio per-account / grouped: %.1f (goal: 10 or less)\n", perAccount / grouped);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        std::filesystem::remove_all(root);
        return 1;
    }
    std::filesystem::remove_all(root);
    return 0;
}
