// The sample company of examples/ through the whole ledger step: its views and the
// opening balances the host reads afterwards.

#include "tests/ledger/LedgerFixture.h"

namespace Velmora::LedgerTests {
namespace {

struct TExpected {
    const char* Code;
    const char* Balance;
    int Direction;
};

// Worked out from the vouchers, independently of the step: opening lines plus valid
// vouchers of 2022 to 2024, children included, voucher without type and type "0" left out.
const TExpected LaterSet2025[] = {
    {"1001", "7313.51", 1},        // 库存现金
    {"1002", "448439.8", 1},       // 银行存款
    {"100201", "305039.8", 1},     // 工商银行
    {"10020101", "276829.45", 1},  // 基本存款户
    {"10020102", "28210.35", 1},   // 一般存款户
    {"100202", "143400", 1},       // 建设银行
    {"1122", "113300", 1},         // 应收账款
    {"112201", "56800", 1},        // 北京宏达商贸有限公司
    {"112202", "56500", 1},        // 杭州新月贸易有限公司
    {"1221", "0", 1},              // 其他应收款
    {"1405", "137500", 1},         // 库存商品
    {"1601", "420000", 1},         // 固定资产
    {"1602", "109200", -1},        // 累计折旧
    {"2202", "67800", -1},         // 应付账款
    {"220201", "67800", -1},       // 上海明远电子有限公司
    {"220202", "0", -1},           // 广州恒信材料有限公司
    {"2211", "38000", -1},         // 应付职工薪酬
    {"221101", "38000", -1},       // 工资
    {"221102", "0", -1},           // 社会保险费
    {"2221", "13000", -1},         // 应交税费
    {"222101", "13000", -1},       // 应交增值税
    {"22210101", "10400", 1},      // 进项税额, a debit account under credit ones
    {"22210102", "23400", -1},     // 销项税额
    {"4001", "900000", -1},        // 实收资本
    {"4103", "0", -1},             // 本年利润
    {"4104", "102000", -1},        // 利润分配
    {"6001", "180000", -1},        // 主营业务收入
    {"6401", "129000", 1},         // 主营业务成本
    {"6602", "154446.99", 1},      // 管理费用
    {"660201", "4691.34", 1},      // 办公费
    {"660202", "4555.65", 1},      // 差旅费
    {"660203", "120000", 1},       // 工资
    {"660204", "25200", 1},        // 折旧费
    {"6603", "-0.3", 1},           // 财务费用: 0.10 + 0.20 of interest
};

class SampleCompany : public TLedgerFixture {};

TEST_F(SampleCompany, LaterSetGivesEveryOpeningBalanceOf2025)
{
    RestoreCompany({SampleEarlier(), SampleLater()}, 1);
    ASSERT_TRUE(PrepareLedger("2025"));
    EXPECT_TRUE(Fake.Toolkit.Messages.empty()) << Messages();

    const auto balances = Balances();
    EXPECT_EQ(balances.size(), std::size(LaterSet2025));
    for (const TExpected& expected : LaterSet2025) {
        const auto found = balances.find(expected.Code);
        ASSERT_NE(found, balances.end()) << expected.Code;
        EXPECT_EQ(found->second.first, Amount(expected.Balance)) << expected.Code;
        EXPECT_EQ(found->second.second, expected.Direction) << expected.Code;
    }
    EXPECT_EQ(balances.count("1009"), 0u);  // no longer used
}

TEST_F(SampleCompany, EarlierSetAndOtherYears)
{
    RestoreCompany({SampleEarlier(), SampleLater()}, 0);
    ASSERT_TRUE(PrepareLedger("2025"));
    auto balances = Balances();
    EXPECT_EQ(balances["10020101"].first, Amount("243829.45"));
    EXPECT_EQ(balances["10020102"].first, Amount("70210.35"));
    EXPECT_EQ(balances["2211"].first, Amount("80000"));
    EXPECT_EQ(balances["1602"].first, Amount("100800"));
    EXPECT_EQ(balances["1001"].first, Amount("7313.51"));
}

TEST_F(SampleCompany, YearBoundary)
{
    RestoreCompany({SampleLater()});
    ASSERT_TRUE(PrepareLedger("2026"));  // the vouchers of 2025 now count
    auto balances = Balances();
    EXPECT_EQ(balances["1001"].first, Amount("7646.85"));
    EXPECT_EQ(balances["10020101"].first, Amount("275829.45"));
    EXPECT_EQ(balances["6602"].first, Amount("155113.65"));
    EXPECT_EQ(balances["660201"].first, Amount("5358"));
}

TEST_F(SampleCompany, FirstYearHasOnlyTheOpeningLines)
{
    RestoreCompany({SampleLater()});
    ASSERT_TRUE(PrepareLedger("2022"));
    auto balances = Balances();
    EXPECT_EQ(balances["1001"].first, Amount("8560.5"));
    EXPECT_EQ(balances["1002"].first, Amount("493210.35"));  // 225000 + 148210.35 + 120000
    EXPECT_EQ(balances["4104"].first, Amount("102000"));
    EXPECT_EQ(balances["6603"].first, 0);
}

TEST_F(SampleCompany, ViewsKeepWhatTheHostReliesOn)
{
    RestoreCompany({SampleLater()});
    ASSERT_TRUE(PrepareLedger("2025"));

    // The account no longer used is in neither km nor Bal, and its lines in no voucher view.
    EXPECT_EQ(Select("select * from km where fchrAccount='1009'", {"fchrAccount"}).size(), 0u);
    EXPECT_EQ(Select("select * from km", {"fchrAccount"}).size(), 34u);
    EXPECT_EQ(Select("select * from Pz where fchrRemark like '%投资款%'", {"fchrAccount"}).size(), 2u);
    for (const auto* view : {"pd", "Pz"}) {
        EXPECT_EQ(Select(std::string("select * from ") + view + " where fchrAccount='1009'", {"fchrAccount"}).size(),
                  0u)
            << view;
    }

    // A voucher without type, by an operator without a role: in Pz with empty roles, not in PzAvalid.
    const auto untyped = Select("select * from Pz where fchrVoucherID='PZ202211-NONE-0001'",
                                {"fchrCodeName", "zd", "fh", "jz", "flotAmount"});
    ASSERT_EQ(untyped.size(), 2u);
    EXPECT_TRUE(untyped.At(0, "fchrCodeName").IsNull());
    EXPECT_TRUE(untyped.At(0, "zd").IsNull());
    EXPECT_TRUE(untyped.At(0, "fh").IsNull());
    EXPECT_TRUE(untyped.At(0, "jz").IsNull());
    EXPECT_EQ(Select("select * from PzAvalid where fchrVoucherID='PZ202211-NONE-0001'", {"fchrAccount"}).size(), 0u);
    const auto head =
        Select("select * from pm where fchrVoucherID='PZ202211-NONE-0001'", {"fchrOperatorID", "zd", "FH"});
    ASSERT_EQ(head.size(), 1u);
    EXPECT_EQ(head.At(0, "fchrOperatorID").AsString(), "U009");
    EXPECT_TRUE(head.At(0, "zd").IsNull());

    // A voucher whose type is named 0: the same.
    const auto zero = Select("select * from Pz where fchrVoucherID='PZ202310-ZERO-0001'", {"fchrCodeName"});
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(zero.At(0, "fchrCodeName").AsString(), "0");
    EXPECT_EQ(Select("select * from PzAvalid where fchrVoucherID='PZ202310-ZERO-0001'", {"fchrAccount"}).size(), 0u);

    // Role names of preparer, checker and poster.
    const auto typed = Select("select * from Pz where fchrVoucherID='PZ202312-ZHUAN-0001' order by fintOrder",
                              {"fchrCodeName", "zd", "fh", "jz", "fchrAccount", "fchrRemark"});
    ASSERT_EQ(typed.size(), 2u);
    EXPECT_EQ(typed.At(0, "fchrCodeName").AsString(), "转");
    EXPECT_EQ(typed.At(0, "zd").AsString(), "账套主管");
    EXPECT_EQ(typed.At(0, "fh").AsString(), "审核");
    EXPECT_EQ(typed.At(0, "jz").AsString(), "记账");
    EXPECT_EQ(typed.At(0, "fchrAccount").AsString(), "660204");
    EXPECT_EQ(typed.At(1, "fchrAccount").AsString(), "1602");
    EXPECT_EQ(typed.At(0, "fchrRemark").AsString(), "计提折旧");
    EXPECT_EQ(Select("select * from role", {"fchrRoleName", "fchrOperatorID"}).size(), 4u);

    // Opening lines, found by their Chinese remark, balance on both sides.
    const auto opening = Select("select * from BalFirst", {"flotBalance", "fchrAccount", "fbitDirection"});
    ASSERT_EQ(opening.size(), 16u);
    std::int64_t debit = 0;
    std::int64_t credit = 0;
    for (std::size_t i = 0; i < opening.size(); ++i) {
        (opening.At(i, "fbitDirection").AsBoolean() ? debit : credit) +=
            ToTenThousandths(opening.At(i, "flotBalance").AsFloat());
    }
    EXPECT_EQ(debit, Amount("1191470.85"));
    EXPECT_EQ(credit, debit);
    EXPECT_EQ(Select("select * from Pz where fchrRemark='期初余额'", {"fchrAccount"}).size(), 16u);
}

TEST_F(SampleCompany, EveryColumnOfTheFlatViewIsThere)
{
    RestoreCompany({SampleLater()});
    ASSERT_TRUE(PrepareLedger("2025"));
    const std::vector<std::string> columns = {"fchrCodeName",
                                              "fintYear",
                                              "ftinPeriod",
                                              "fdtmDate",
                                              "fintNumber",
                                              "fintVoucherNO",
                                              "fbitStyle",
                                              "zd",
                                              "fh",
                                              "jz",
                                              "fbitNoUsed",
                                              "fchrVoucherID",
                                              "ftinCode",
                                              "fchrRemark",
                                              "fchrAccount",
                                              "fbitDirection",
                                              "flotAmount",
                                              "fchrForeignCode",
                                              "flotForeignAmount",
                                              "flotRate",
                                              "fdtmPaymentDate",
                                              "flotBalance",
                                              "fchrOptNo",
                                              "fintOrder"};
    EXPECT_EQ(Select("select * from PzAvalid", columns).size(), 73u);
    EXPECT_EQ(Select("select * from Pz", columns).size(), 93u);
    EXPECT_EQ(Select("select * from Bal", {"fchrAccount", "Bal", "FX", "Kmfx"}).size(), 34u);
}

}  // namespace
}  // namespace Velmora::LedgerTests
