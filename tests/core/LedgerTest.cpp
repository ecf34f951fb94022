#include <gtest/gtest.h>

#include <algorithm>
#include <map>
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

// A LIKE pattern as the server reads it: % any run, _ one character, [x] the character x.
bool Like(const std::string& text, const std::string& pattern, std::size_t t = 0, std::size_t p = 0)
{
    if (p == pattern.size()) return t == text.size();
    if (pattern[p] == '%') {
        for (std::size_t k = t; k <= text.size(); ++k) {
            if (Like(text, pattern, k, p + 1)) return true;
        }
        return false;
    }
    if (t == text.size()) return false;
    if (pattern[p] == '_') return Like(text, pattern, t + 1, p + 1);
    if (pattern[p] == '[') {
        const std::size_t close = pattern.find(']', p + 2);
        const std::string set = pattern.substr(p + 1, close - p - 1);
        return set.find(text[t]) != std::string::npos && Like(text, pattern, t + 1, close + 1);
    }
    return pattern[p] == text[t] && Like(text, pattern, t + 1, p + 1);
}

// The string literal that starts at `from` (just after its opening quote), quotes undoubled.
std::string ReadLiteral(const std::string& sql, std::size_t from, std::size_t* end = nullptr)
{
    std::string value;
    std::size_t i = from;
    for (; i < sql.size(); ++i) {
        if (sql[i] == '\'') {
            if (i + 1 < sql.size() && sql[i + 1] == '\'') {
                value += '\'';
                ++i;
                continue;
            }
            break;
        }
        value += sql[i];
    }
    if (end) *end = i + 1;
    return value;
}

// A small company ledger answering the statements of the balance step the way the
// server would: prefix match through LIKE, earlier years only for movements.
struct TLedger {
    struct TLine {
        std::string Code;
        bool Debit;
        double Amount;
        int Year;
        bool Opening;
    };
    struct TAccount {
        std::string Code;
        TFieldValue Flag;
    };

    std::vector<TAccount> Accounts;
    std::vector<TLine> Lines;
    // Last update statement seen per account code.
    std::map<std::string, std::string> Updates;

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
        const bool movement = StartsWith(sql, MovementHead);
        if (!opening && !movement) throw EProviderError("unexpected statement");
        std::size_t end = 0;
        const std::string pattern = ReadLiteral(sql, (opening ? OpeningHead : MovementHead).size(), &end);
        int before = 0;
        if (movement) {
            const std::string tail = " and fintyear<";
            if (sql.compare(end, tail.size(), tail) != 0) throw EProviderError("no year");
            before = std::stoi(sql.substr(end + tail.size()));
        } else if (end != sql.size()) {
            throw EProviderError("trailing text");
        }
        double j = 0;
        double d = 0;
        for (const auto& line : Lines) {
            if (line.Opening != opening || !Like(line.Code, pattern)) continue;
            if (movement && line.Year >= before) continue;
            (line.Debit ? j : d) += line.Amount;
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
        Ledger.Lines.push_back({code, debit, amount, 2020, true});
    }
    void Movement(const std::string& code, bool debit, double amount, int year)
    {
        Ledger.Lines.push_back({code, debit, amount, year, false});
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

TEST_F(LedgerTest, ApostropheAndWildcardsInACodeMatchOnlyThemselves)
{
    AddAccount("10'0%1_[", true);
    AddAccount("10'0X1Y[", true);  // what a bare % and _ would wrongly take in
    Opening("10'0%1_[", true, 5);
    Opening("10'0%1_[01", true, 7);  // a child still counts
    Opening("10'0X1Y[", true, 1000);
    RunBalances();

    EXPECT_EQ(Platform.Data.Log[1], "query:" + OpeningHead + "10''0[%]1[_][[]%'");
    EXPECT_EQ(Platform.Data.Log[2], "query:" + MovementHead + "10''0[%]1[_][[]%' and fintyear<2025");
    const auto updates = Updates(Platform);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0], UpdateText("12", "1", "10''0%1_["));
    EXPECT_EQ(updates[1], UpdateText("1000", "1", "10''0X1Y["));
    EXPECT_TRUE(Platform.Toolkit.Messages.empty());
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

TEST_F(LedgerTest, DebitAccountExample)
{
    AddAccount("1122", true);
    Opening("1122", true, 100.00);
    Opening("1122", false, 30.00);
    Movement("1122", true, 50.00, 2024);
    Movement("1122", false, 20.00, 2023);
    RunBalances();
    EXPECT_EQ(Updates(Platform), std::vector<std::string>{UpdateText("100", "1", "1122")});
}

TEST_F(LedgerTest, CreditAccountExample)
{
    AddAccount("2202", false);
    Opening("2202", true, 100.00);
    Opening("2202", false, 30.00);
    Movement("2202", true, 50.00, 2024);
    Movement("2202", false, 20.00, 2023);
    RunBalances();
    EXPECT_EQ(Updates(Platform), std::vector<std::string>{UpdateText("-100", "-1", "2202")});
}

TEST_F(LedgerTest, ParentCarriesItsChildrenAndNotItsNeighbours)
{
    AddAccount("1001", true);
    AddAccount("100101", true);
    AddAccount("1002", true);
    Opening("1001", true, 10);
    Opening("100101", true, 2.5);
    Movement("100101", false, 0.75, 2024);
    Opening("1002", true, 400);
    RunBalances();
    EXPECT_EQ(Updates(Platform),
              (std::vector<std::string>{UpdateText("11.75", "1", "1001"), UpdateText("1.75", "1", "100101"),
                                        UpdateText("400", "1", "1002")}));
}

TEST_F(LedgerTest, AnAccountWithoutLinesGetsZeroAndItsDirection)
{
    AddAccount("1601", true);
    AddAccount("4001", false);
    RunBalances();
    EXPECT_EQ(Updates(Platform),
              (std::vector<std::string>{UpdateText("0", "1", "1601"), UpdateText("0", "-1", "4001")}));
}

TEST_F(LedgerTest, DirectionFollowsTheFlagNotTheSign)
{
    AddAccount("1012", true);
    Opening("1012", false, 80);  // a debit account with a credit balance
    RunBalances();
    EXPECT_EQ(Updates(Platform), std::vector<std::string>{UpdateText("-80", "1", "1012")});
}

TEST_F(LedgerTest, InexactSumsStillGiveExactTenThousandths)
{
    AddAccount("1001", true);
    AddAccount("2001", false);
    Opening("1001", true, 0.1);
    Opening("1001", true, 0.2);  // 0.30000000000000004 as a double
    Movement("2001", false, 0.1, 2024);
    Movement("2001", false, 0.2, 2024);
    Movement("2001", true, 0.3, 2024);
    RunBalances();
    EXPECT_EQ(Updates(Platform),
              (std::vector<std::string>{UpdateText("0.3", "1", "1001"), UpdateText("0", "-1", "2001")}));
}

TEST_F(LedgerTest, OnlyEarlierYearsMoveTheBalanceWhileOpeningLinesAlwaysCount)
{
    AddAccount("1001", true);
    Opening("1001", true, 1);
    Ledger.Lines.push_back({"1001", true, 2, 2030, true});  // an opening line dated later still counts
    Movement("1001", true, 10, 2024);
    Movement("1001", true, 100, 2025);  // the year itself: excluded
    Movement("1001", true, 1000, 2026);
    RunBalances();
    EXPECT_EQ(Updates(Platform), std::vector<std::string>{UpdateText("13", "1", "1001")});
}

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
    Movement("1001", true, 9e14, 2024);
    Ledger.Attach(Platform);
    EXPECT_THROW(Form.ComputeBalances(), EVelmoraError);
    EXPECT_TRUE(Updates(Platform).empty());
}

}  // namespace
}  // namespace Velmora
