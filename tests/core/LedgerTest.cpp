#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/SqlLiterals.h"
#include "tests/fakes/FakePlatform.h"

namespace Velmora {
namespace {

using Fakes::TFakeDatabase;
using Fakes::TFakePlatform;

const std::string UfdataConnection =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=ufdata;Data Source=(local)";

// The objects the host relies on, written out here independently of the code that sends them.
const std::vector<std::string> NineStatements = {
    "Create view km as SELECT fchrAccount, fchrAccountID, fchrAccountName,fbitDirection, fbitNoUsed from Account where "
    "fbitnoused=0",
    std::string("CREATE TABLE Bal (") + '\t' +
        "fchrAccount varchar(18) NOT NULL,Bal money NOT NULL,FX int NOT NULL,Kmfx bit NOT NULL)  ON [PRIMARY]",
    "insert into bal SELECT fchrAccount,0.00 as Bal,0 as FX,fbitDirection as kmfx  from km",
    "Create View role as SELECT Sys_Role.fchrRoleName, OperatorRole.fchrOperatorID FROM OperatorRole INNER JOIN  "
    "Sys_Role ON OperatorRole.fchrRoleID = Sys_Role.fchrRoleID",
    "create view pm as  SELECT Voucher.*, Code.fchrCodeName,zd_role.fchrRoleName AS zd, fh_role.fchrRoleName AS FH, "
    "Jz_role.fchrRoleName AS jz FROM Voucher  left JOIN role as zd_role ON Voucher.fchrOperatorID = "
    "zd_role.fchrOperatorID left JOIN  role as fh_role ON Voucher.fchrCheckerID =fh_role.fchrOperatorID left JOIN role "
    "as jz_role ON Voucher.fchrRegisterID = jz_role.fchrOperatorID left JOIN  Code ON Voucher.fchrVoucherTypeID = "
    "Code.fchrCodeID",
    "create view pd as SELECT VoucherDetail.*, km.fchrAccount FROM VoucherDetail INNER JOIN km ON "
    "VoucherDetail.fchrAccountID = km.fchrAccountID",
    "Create View Pz as SELECT PM.fchrCodeName, PM.fintYear, PM.ftinPeriod, PM.fdtmDate, PM.fintNumber, PM.fintVoucherNO, "
    "PM.fbitStyle, PM.zd, PM.fh,  PM.jz, PM.fbitNoUsed, PM.fchrVoucherID, pD.ftinCode, pD.fchrRemark, pD.fchrAccount, "
    "pD.fbitDirection, pD.flotAmount, pD.fchrForeignCode,  pD.flotForeignAmount, pD.flotRate, pD.fdtmPaymentDate, "
    "pD.flotBalance, pD.fchrOptNo, pD.fintOrder FROM pD INNER JOIN  PM ON pD.fchrVoucherID = PM.fchrVoucherID",
    "Create View PzAvalid as select * from pz WHERE (ISNULL(fchrCodeName,'0')<>'0')",
    "Create view BalFirst as SELECT flotBalance,fchrAccount,fbitDirection  from pz where fchrRemark='期初余额'",
};

const std::string AccountList = "select * from Bal order by fchraccount";
const std::string OpeningHead =
    "select isnull(sum(case when fbitDirection =1 then flotBalance else 0  end),0) as j,isnull(sum(case when "
    "fbitDirection =0 then flotBalance else 0  end),0) as d from BalFirst  where fchraccount like'";
const std::string MovementHead =
    "select isnull(sum(case when fbitDirection =1 then flotamount else 0  end),0) as j,  isnull(sum(case when "
    "fbitDirection =0 then flotamount else 0  end),0) as d from pzavalid  where fchraccount like'";

bool StartsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

// A small company ledger answering the statements of the balance step with the
// sums of each account's own lines: which codes a pattern takes in, and which
// years, is the server's business, checked on the stand-in in tests/ledger.
struct TLedger {
    struct TLine {
        std::string Code;
        bool Debit;
        double Amount;
        bool Opening;
    };
    struct TAccount {
        std::string Code;
        TFieldValue Flag;
    };

    std::vector<TAccount> Accounts;
    std::vector<TLine> Lines;

    void Attach(TFakePlatform& platform)
    {
        platform.Data.OnQuery = [this](const std::string& sql) { return Answer(sql); };
    }

    TFakeDatabase::TResult Answer(const std::string& sql)
    {
        TFakeDatabase::TResult result;
        if (sql == AccountList) {
            result.Columns = {"fchrAccount", "Bal", "FX", "Kmfx"};
            for (const auto& account : Accounts) {
                result.Rows.push_back({TFieldValue::FromText(account.Code), TFieldValue::FromFloat(0),
                                       TFieldValue::FromInteger(0), account.Flag});
            }
            return result;
        }
        const bool opening = StartsWith(sql, OpeningHead);
        if (!opening && !StartsWith(sql, MovementHead)) throw EProviderError("unexpected statement");
        double j = 0;
        double d = 0;
        for (const auto& line : Lines) {
            const bool ofAccount = sql.find("like'" + QuoteSqlLikeText(line.Code) + "%'") != std::string::npos;
            if (line.Opening == opening && ofAccount) (line.Debit ? j : d) += line.Amount;
        }
        result.Columns = {"j", "d"};
        result.Rows.push_back({TFieldValue::FromFloat(j), TFieldValue::FromFloat(d)});
        return result;
    }
};

// The update sent for each account, in order, from the log.
std::vector<std::string> Updates(const TFakePlatform& platform)
{
    std::vector<std::string> updates;
    for (const auto& entry : platform.Data.Log) {
        if (StartsWith(entry, "exec:update bal")) updates.push_back(entry.substr(5));
    }
    return updates;
}

std::string UpdateText(const std::string& balance, const std::string& direction, const std::string& quotedCode)
{
    return "update bal set bal=" + balance + ",fx=" + direction + " where fchraccount='" + quotedCode + "'";
}

class LedgerTest : public ::testing::Test {
protected:
    LedgerTest() { Form.FYear = "2025"; }

    void AddAccount(const std::string& code, bool debit)
    {
        Ledger.Accounts.push_back({code, TFieldValue::FromInteger(debit)});
    }
    void Opening(const std::string& code, bool debit, double amount)
    {
        Ledger.Lines.push_back({code, debit, amount, true});
    }
    void Movement(const std::string& code, bool debit, double amount)
    {
        Ledger.Lines.push_back({code, debit, amount, false});
    }
    // Opens the connection as the ledger step does, then runs the balances alone.
    void RunBalances()
    {
        Ledger.Attach(Platform);
        Form.FTargetConnection->SetConnectionString(UfdataConnection);
        Form.FTargetConnection->Open();
        Platform.Data.Log.clear();
        EXPECT_TRUE(Form.ComputeBalances());
    }

    TFakePlatform Platform;
    TForm_DealWithUFO Form{Platform.Platform};
    TLedger Ledger;
};

// ------------------------------------------------------------------ PrepareLedger

TEST_F(LedgerTest, PrepareLedgerSendsTheNineStatementsInOrderThenTheBalancesThenCloses)
{
    AddAccount("1001", true);
    Ledger.Attach(Platform);
    ASSERT_TRUE(Form.PrepareLedger());

    const auto& log = Platform.Data.Log;
    ASSERT_GE(log.size(), 11u);
    EXPECT_EQ(log[0], "connect:" + UfdataConnection);
    for (std::size_t i = 0; i < NineStatements.size(); ++i) EXPECT_EQ(log[1 + i], "exec:" + NineStatements[i]) << i;
    EXPECT_EQ(log[10], "query:" + AccountList);
    EXPECT_EQ(log.back(), "close");
    EXPECT_FALSE(Form.FTargetConnection->Connected());
    EXPECT_TRUE(Platform.Toolkit.Messages.empty());
}

TEST_F(LedgerTest, AFailingStatementShowsItsWarningAndTheNextStillRuns)
{
    AddAccount("1001", true);
    Ledger.Attach(Platform);
    Platform.Data.OnExecute = [](const std::string& sql) {
        if (StartsWith(sql, "CREATE TABLE Bal") || StartsWith(sql, "create view pm")) {
            throw EProviderError("There is already an object named 'Bal' in the database.");
        }
    };
    ASSERT_TRUE(Form.PrepareLedger());

    ASSERT_EQ(Platform.Toolkit.Messages.size(), 2u);
    EXPECT_EQ(Platform.Toolkit.Messages[0].Text,
              "SQL=" + NineStatements[1] + "不能执行\nThere is already an object named 'Bal' in the database.");
    EXPECT_EQ(Platform.Toolkit.Messages[0].Caption, "警告");
    EXPECT_EQ(Platform.Toolkit.Messages[0].Flags, 0x30u);
    EXPECT_EQ(Platform.Toolkit.Messages[1].Text,
              "SQL=" + NineStatements[4] + "不能执行\nThere is already an object named 'Bal' in the database.");
    std::vector<std::string> executed;
    for (const auto& entry : Platform.Data.Log) {
        if (StartsWith(entry, "exec:") && !StartsWith(entry, "exec:update")) executed.push_back(entry.substr(5));
    }
    EXPECT_EQ(executed, NineStatements);
    EXPECT_EQ(Updates(Platform).size(), 1u);  // the balances still follow
}

TEST_F(LedgerTest, ConnectionFailureShowsTheBoxAndSendsNothing)
{
    Platform.Data.OnConnect = [](const std::string&) {
        throw EProviderError("Cannot open database \"ufdata\" requested by the login. The login failed.");
    };
    EXPECT_FALSE(Form.PrepareLedger());

    EXPECT_EQ(Form.FTargetConnection->ConnectionString(), UfdataConnection);
    ASSERT_EQ(Platform.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Platform.Toolkit.Messages[0].Text, "不能连接到指定的数据库\nCannot open database \"ufdata\" requested by the login. The login failed.");
    EXPECT_EQ(Platform.Toolkit.Messages[0].Caption, "警告");
    EXPECT_EQ(Platform.Toolkit.Messages[0].Flags, 0x30u);
    ASSERT_EQ(Platform.Data.Log.size(), 1u);
    EXPECT_EQ(Platform.Data.Log[0], "connect:" + UfdataConnection);
}

TEST_F(LedgerTest, AFailureInsideTheBalancesStillClosesTheConnectionAndIsPassedOn)
{
    Platform.Data.OnQuery = [](const std::string& sql) -> TFakeDatabase::TResult {
        if (sql == AccountList) throw EProviderError("Invalid object name 'Bal'.");
        return {};
    };
    EXPECT_THROW(Form.PrepareLedger(), EVelmoraError);
    EXPECT_EQ(Platform.Data.Log.back(), "close");
    ASSERT_EQ(Platform.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Platform.Toolkit.Messages[0].Text, "SQL=" + AccountList + "不能执行\nInvalid object name 'Bal'.");
}

// ------------------------------------------------------------------ ComputeBalances: statements

TEST_F(LedgerTest, PerAccountStatementsForAnOrdinaryCodeAreExact)
{
    AddAccount("1001", true);
    AddAccount("2202", false);
    RunBalances();

    const std::vector<std::string> expected = {
        "query:" + AccountList,
        "query:" + OpeningHead + "1001%'",
        "query:" + MovementHead + "1001%' and fintyear<2025",
        "exec:update bal set bal=0,fx=1 where fchraccount='1001'",
        "query:" + OpeningHead + "2202%'",
        "query:" + MovementHead + "2202%' and fintyear<2025",
        "exec:update bal set bal=0,fx=-1 where fchraccount='2202'",
    };
    EXPECT_EQ(Platform.Data.Log, expected);
    EXPECT_TRUE(Platform.Toolkit.Messages.empty());
}

TEST_F(LedgerTest, TheAccountListIsClosedBeforeThePerAccountQueries)
{
    AddAccount("1001", true);
    AddAccount("1002", true);
    Ledger.Attach(Platform);
    int perAccountQueries = 0;
    Platform.Data.OnQuery = [&](const std::string& sql) {
        if (sql != AccountList) {
            ++perAccountQueries;
            EXPECT_FALSE(Form.FADOQuery->Active()) << sql;
        }
        return Ledger.Answer(sql);
    };
    Form.ComputeBalances();
    EXPECT_EQ(perAccountQueries, 4);
}

TEST_F(LedgerTest, YearIsWrittenBackAsADecimalInteger)
{
    AddAccount("1001", true);
    Form.FYear = " +02024 ";
    RunBalances();
    EXPECT_EQ(Platform.Data.Log[2], "query:" + MovementHead + "1001%' and fintyear<2024");
}

TEST_F(LedgerTest, ApostropheAndWildcardsInACodeAreQuotedInEveryStatement)
{
    AddAccount("10'0%1_[", true);
    Opening("10'0%1_[", true, 12);
    RunBalances();
    EXPECT_EQ(Platform.Data.Log, (std::vector<std::string>{
                                     "query:" + AccountList,
                                     "query:" + OpeningHead + "10''0[%]1[_][[]%'",
                                     "query:" + MovementHead + "10''0[%]1[_][[]%' and fintyear<2025",
                                     "exec:" + UpdateText("12", "1", "10''0%1_["),
                                 }));
}

TEST(SqlLiterals, LikeTextEscapesOnlyWhatNeedsIt)
{
    EXPECT_EQ(QuoteSqlLikeText("10020101"), "10020101");
    EXPECT_EQ(QuoteSqlLikeText("银行存款"), "银行存款");
    EXPECT_EQ(QuoteSqlLikeText("a'b"), "a''b");
    EXPECT_EQ(QuoteSqlLikeText("''"), "''''");
    EXPECT_EQ(QuoteSqlLikeText("5%_[]"), "5[%][_][[]]");
    EXPECT_EQ(QuoteSqlLikeText(""), "");
}

// ------------------------------------------------------------------ ComputeBalances: figures
// The rules themselves (debit and credit accounts, parents and children, years,
// exact tenths) run on the stand-in through the real statements in tests/ledger.

TEST_F(LedgerTest, NullFlagAndNullSumsReadAsFalseAndZero)
{
    Ledger.Accounts.push_back({"3001", TFieldValue::Null()});
    Ledger.Accounts.push_back({"3002", TFieldValue::FromText("True")});
    Ledger.Attach(Platform);
    Platform.Data.OnQuery = [this](const std::string& sql) {
        TFakeDatabase::TResult result = Ledger.Answer(sql);
        if (sql != AccountList) result.Rows[0] = {TFieldValue::Null(), TFieldValue::Null()};
        return result;
    };
    Form.ComputeBalances();
    EXPECT_EQ(Updates(Platform),
              (std::vector<std::string>{UpdateText("0", "-1", "3001"), UpdateText("0", "1", "3002")}));
}

TEST_F(LedgerTest, AFailingUpdateLeavesTheOthersWritten)
{
    AddAccount("1001", true);
    AddAccount("1002", true);
    AddAccount("1003", true);
    Opening("1001", true, 1);
    Opening("1002", true, 2);
    Opening("1003", true, 3);
    Platform.Data.OnExecute = [](const std::string& sql) {
        if (sql.find("'1002'") != std::string::npos) throw EProviderError("deadlock");
    };
    RunBalances();
    EXPECT_EQ(Updates(Platform), (std::vector<std::string>{UpdateText("1", "1", "1001"), UpdateText("2", "1", "1002"),
                                                           UpdateText("3", "1", "1003")}));
    ASSERT_EQ(Platform.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Platform.Toolkit.Messages[0].Text, "SQL=" + UpdateText("2", "1", "1002") + "不能执行\ndeadlock");
}

TEST_F(LedgerTest, AFailingAggregateQueryEndsTheStepNamingTheAccount)
{
    AddAccount("1001", true);
    AddAccount("1002", true);
    Ledger.Attach(Platform);
    Platform.Data.OnQuery = [this](const std::string& sql) {
        if (sql.find("pzavalid") != std::string::npos && sql.find("1002") != std::string::npos) {
            throw EProviderError("Invalid object name 'pzavalid'.");
        }
        return Ledger.Answer(sql);
    };
    try {
        Form.ComputeBalances();
        FAIL() << "expected an error";
    } catch (const EVelmoraError& error) {
        EXPECT_NE(std::string(error.what()).find("1002"), std::string::npos) << error.what();
    }
    EXPECT_EQ(Updates(Platform).size(), 1u);  // 1001 was written before
    ASSERT_EQ(Platform.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Platform.Toolkit.Messages[0].Text, "SQL=" + MovementHead + "1002%' and fintyear<2025不能执行\nInvalid object name 'pzavalid'.");
}

TEST_F(LedgerTest, ABalanceBeyondSixtyFourBitsIsAnErrorNotAWrongFigure)
{
    AddAccount("1001", true);
    Opening("1001", true, 9e14);
    Movement("1001", true, 9e14);
    Ledger.Attach(Platform);
    EXPECT_THROW(Form.ComputeBalances(), EVelmoraError);
    EXPECT_TRUE(Updates(Platform).empty());
}

}  // namespace
}  // namespace Velmora
