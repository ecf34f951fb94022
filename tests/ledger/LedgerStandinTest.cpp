// The balance rules on small hand-made ledgers, through the real statements.

#include "tests/ledger/LedgerFixture.h"

namespace Velmora::LedgerTests {
namespace {

// Accounts, opening lines and vouchers in the package's tables; `lines` are
// (voucher, account id, direction, amount, remark, balance) rows.
std::string Ledger(const std::string& accounts, const std::string& vouchers, const std::string& lines)
{
    return SampleScript({"schema.sql", "reference-data.sql"}) +
           "INSERT INTO Account (fchrAccountID, fchrAccount, fchrAccountName, fbitDirection, fbitNoUsed, ftinGrade) "
           "VALUES " +
           accounts + ";\n" +
           "INSERT INTO Voucher (fchrVoucherID, fintYear, ftinPeriod, fdtmDate, fchrVoucherTypeID, fintNumber, "
           "fintVoucherNO, fchrOperatorID) VALUES " +
           vouchers + ";\n" +
           "INSERT INTO VoucherDetail (fchrVoucherDetailID, fchrVoucherID, fintOrder, fchrAccountID, fbitDirection, "
           "flotAmount, fchrRemark, flotBalance) VALUES " +
           lines + ";\n";
}

const char* const Vouchers =
    "('V0', 2020, 0, '2020-01-01', NULL, 0, 0, 'U004'),"  // opening balances
    "('V23', 2023, 5, '2023-05-01', 'VT-JI', 1, 1, 'U001'),"
    "('V24', 2024, 6, '2024-06-01', 'VT-ZHUAN', 1, 1, 'U001'),"
    "('V25', 2025, 1, '2025-01-05', 'VT-FU', 1, 1, 'U001'),"  // the year itself
    "('V30', 2030, 1, '2030-01-05', 'VT-FU', 1, 1, 'U001')";

class BalanceRules : public TLedgerFixture {};

TEST_F(BalanceRules, DebitAndCreditAccountsOfTheWorkedExample)
{
    RestoreCompany({Ledger("('A1', '1122', '应收账款', 1, 0, 1), ('A2', '2202', '应付账款', 0, 0, 1)", Vouchers,
                           "('L1', 'V0', 1, 'A1', 1, 0, '期初余额', 100.00),"
                           "('L2', 'V0', 2, 'A1', 0, 0, '期初余额', 30.00),"
                           "('L3', 'V24', 1, 'A1', 1, 50.00, '销售', 0),"
                           "('L4', 'V23', 1, 'A1', 0, 20.00, '收款', 0),"
                           "('L5', 'V25', 1, 'A1', 1, 9999.00, '本年', 0),"
                           "('M1', 'V0', 3, 'A2', 1, 0, '期初余额', 100.00),"
                           "('M2', 'V0', 4, 'A2', 0, 0, '期初余额', 30.00),"
                           "('M3', 'V24', 2, 'A2', 1, 50.00, '付款', 0),"
                           "('M4', 'V23', 2, 'A2', 0, 20.00, '采购', 0),"
                           "('M5', 'V25', 2, 'A2', 0, 9999.00, '本年', 0)")});
    ASSERT_TRUE(PrepareLedger("2025"));
    EXPECT_TRUE(Fake.Toolkit.Messages.empty()) << Messages();
    auto balances = Balances();
    EXPECT_EQ(balances["1122"], std::make_pair(Amount("100"), std::int64_t{1}));
    EXPECT_EQ(balances["2202"], std::make_pair(Amount("-100"), std::int64_t{-1}));
}

TEST_F(BalanceRules, ParentCarriesChildrenAndOpeningLinesCountWhateverTheirYear)
{
    RestoreCompany(
        {Ledger("('A1', '1001', '库存现金', 1, 0, 1), ('A2', '100101', '人民币', 1, 0, 2),"
                "('A3', '1002', '银行存款', 1, 0, 1), ('A4', '1601', '固定资产', 1, 0, 1)",
                Vouchers,
                "('L1', 'V0', 1, 'A1', 1, 0, '期初余额', 10.00),"
                "('L2', 'V30', 1, 'A2', 1, 0, '期初余额', 5.00),"  // dated 2030, still opening
                "('L3', 'V24', 1, 'A2', 1, 1.25, '存入', 0),"
                "('L4', 'V24', 2, 'A3', 0, 1.25, '存入', 0)")});
    ASSERT_TRUE(PrepareLedger("2025"));
    auto balances = Balances();
    EXPECT_EQ(balances["1001"].first, Amount("16.25"));
    EXPECT_EQ(balances["100101"].first, Amount("6.25"));
    EXPECT_EQ(balances["1002"].first, Amount("-1.25"));  // a debit account may go below zero
    EXPECT_EQ(balances["1002"].second, 1);
    EXPECT_EQ(balances["1601"], std::make_pair(std::int64_t{0}, std::int64_t{1}));  // no lines at all
}

TEST_F(BalanceRules, TenthsAndFifthsAddUpExactly)
{
    RestoreCompany({Ledger("('A1', '6603', '财务费用', 1, 0, 1), ('A2', '1002', '银行存款', 1, 0, 1)", Vouchers,
                           "('L1', 'V23', 1, 'A1', 1, 0.10, '利息', 0),"
                           "('L2', 'V24', 1, 'A1', 1, 0.20, '利息', 0),"
                           "('L3', 'V0', 1, 'A2', 1, 0, '期初余额', 0.10),"
                           "('L4', 'V0', 2, 'A2', 1, 0, '期初余额', 0.20)")});
    ASSERT_TRUE(PrepareLedger("2025"));
    auto balances = Balances();
    EXPECT_EQ(balances["6603"].first, 3000);
    EXPECT_EQ(balances["1002"].first, 3000);
}

TEST_F(BalanceRules, WildcardsAndQuotesInCodesMatchOnlyThemselves)
{
    RestoreCompany(
        {Ledger("('A1', '1_1', '下划线', 1, 0, 1), ('A2', '101', '一〇一', 1, 0, 1),"
                "('A3', '2%', '百分号', 0, 0, 1), ('A4', '2999', '其他', 0, 0, 1),"
                "('A5', '3''1', '引号', 1, 0, 1), ('A6', '4[1]', '方括号', 1, 0, 1),"
                "('A7', '41', '四一', 1, 0, 1)",
                Vouchers,
                "('L1', 'V0', 1, 'A1', 1, 0, '期初余额', 7.00),"
                "('L2', 'V0', 2, 'A2', 1, 0, '期初余额', 1000.00),"
                "('L3', 'V0', 3, 'A3', 0, 0, '期初余额', 3.00),"
                "('L4', 'V0', 4, 'A4', 0, 0, '期初余额', 500.00),"
                "('L5', 'V24', 1, 'A5', 1, 2.50, '引号科目', 0),"
                "('L6', 'V24', 2, 'A4', 0, 2.50, '引号科目', 0),"
                "('L7', 'V0', 5, 'A6', 1, 0, '期初余额', 4.00),"
                "('L8', 'V0', 6, 'A7', 1, 0, '期初余额', 40.00)")});
    ASSERT_TRUE(PrepareLedger("2025"));
    EXPECT_TRUE(Fake.Toolkit.Messages.empty()) << Messages();
    auto balances = Balances();
    EXPECT_EQ(balances["1_1"].first, Amount("7"));
    EXPECT_EQ(balances["101"].first, Amount("1000"));
    EXPECT_EQ(balances["2%"].first, Amount("3"));
    EXPECT_EQ(balances["2999"].first, Amount("502.5"));
    EXPECT_EQ(balances["3'1"], std::make_pair(Amount("2.5"), std::int64_t{1}));
    EXPECT_EQ(balances["4[1]"].first, Amount("4"));
    EXPECT_EQ(balances["41"].first, Amount("40"));
}

TEST_F(BalanceRules, ObjectsThatAlreadyExistAreReportedAndTheStepGoesOn)
{
    RestoreCompany(
        {Ledger("('A1', '1001', '库存现金', 1, 0, 1)", Vouchers, "('L1', 'V0', 1, 'A1', 1, 0, '期初余额', 10.00)") +
         "CREATE VIEW km AS SELECT fchrAccount, fchrAccountID, fchrAccountName, fbitDirection, fbitNoUsed "
         "FROM Account;\n"});
    ASSERT_TRUE(PrepareLedger("2025"));
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u) << Messages();
    EXPECT_EQ(Fake.Toolkit.Messages[0].Caption, "警告");
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text.rfind("SQL=Create view km as SELECT", 0), 0u);
    EXPECT_EQ(Balances()["1001"].first, Amount("10"));

    // Run again, every object is there: the server refuses each statement but the insert.
    Fake.Toolkit.Messages.clear();
    ASSERT_TRUE(PrepareLedger("2025"));
    EXPECT_EQ(Fake.Toolkit.Messages.size(), 8u) << Messages();
    EXPECT_EQ(Balances()["1001"].first, Amount("10"));
}

TEST_F(BalanceRules, CodesAndRemarksCompareAsTheServersCollationHasIt)
{
    // The type ID differs in case from the code table's, the opening remark ends in
    // blanks, and a type named "0 " is the type named "0": the server's
    // comparisons ignore both case and trailing blanks.
    RestoreCompany(
        {Ledger("('A1', '1122', '应收账款', 1, 0, 1)",
                "('V0', 2020, 0, '2020-01-01', NULL, 0, 0, 'U004'),"
                "('V1', 2023, 5, '2023-05-01', 'vt-ji', 1, 1, 'U001'),"
                "('V2', 2023, 6, '2023-06-01', 'VT-BLANK', 2, 2, 'U001')",
                "('L1', 'V0', 1, 'A1', 1, 0, '期初余额   ', 100.00),"
                "('L2', 'V1', 1, 'A1', 1, 50.00, '销售', 0),"
                "('L3', 'V2', 1, 'A1', 1, 7.00, '导入', 0)") +
         "INSERT INTO Code (fchrCodeID, fchrCodeName, fchrCodeType, fintOrder) VALUES ('VT-BLANK', '0 ', 'VoucherType', 10);\n"});
    ASSERT_TRUE(PrepareLedger("2025"));
    EXPECT_TRUE(Fake.Toolkit.Messages.empty()) << Messages();
    // 100 opening + 50 from the type written in lower case; the 7 of type "0 " is left out.
    EXPECT_EQ(Balances()["1122"], std::make_pair(Amount("150"), std::int64_t{1}));
}

TEST_F(BalanceRules, ADatabaseThatCannotBeReachedIsTheOnlyFailure)
{
    // Nothing restored: there is no UFDATA on this server.
    Form->FYear = "2025";
    EXPECT_FALSE(Form->PrepareLedger());
    ASSERT_EQ(Fake.Toolkit.Messages.size(), 1u);
    EXPECT_EQ(Fake.Toolkit.Messages[0].Text.rfind("不能连接到指定的数据库\n", 0), 0u) << Fake.Toolkit.Messages[0].Text;
    EXPECT_EQ(Fake.Toolkit.Messages[0].Flags, 0x30u);
}

}  // namespace
}  // namespace Velmora::LedgerTests
