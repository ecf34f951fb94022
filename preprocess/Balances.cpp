#include <cstdint>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/DecimalText.h"
#include "preprocess/SqlLiterals.h"
#include "preprocess/TextUtils.h"

namespace Velmora {

namespace {

// Debit and credit sums of an account and of every account below it (the code is a
// prefix of theirs). The pattern and its closing quote are appended by the caller.
const char* const OpeningSumsStatement =
    "select isnull(sum(case when fbitDirection =1 then flotBalance else 0  end),0) as j,isnull(sum(case when "
    "fbitDirection =0 then flotBalance else 0  end),0) as d from BalFirst  where fchraccount like'";
const char* const MovementSumsStatement =
    "select isnull(sum(case when fbitDirection =1 then flotamount else 0  end),0) as j,  isnull(sum(case when "
    "fbitDirection =0 then flotamount else 0  end),0) as d from pzavalid  where fchraccount like'";

struct TAccountSums {
    double Debit;
    double Credit;
};

}  // namespace

bool TForm_DealWithUFO::ComputeBalances()
{
    // The account list is copied out and its query closed before the per-account
    // statements start, so that only one result is open at a time.
    std::vector<std::string> codes;
    std::vector<std::string> flags;
    if (!OpenQuery("select * from Bal order by fchraccount")) {
        throw EVelmoraError("科目余额表Bal无法读取，期初余额未能计算");
    }
    FADOQuery->First();
    while (!FADOQuery->Eof()) {
        codes.push_back(FADOQuery->FieldByName("fchraccount").AsString());
        flags.push_back(FADOQuery->FieldByName("kmfx").AsBoolean() ? "1" : "0");
        FADOQuery->Next();
    }
    FADOQuery->Close();

    const std::string year = std::to_string(StrToInt(FYear));

    auto readSums = [this](const std::string& statement, const std::string& code, const char* what) {
        if (!OpenCommonQuery(statement)) {
            throw EVelmoraError("科目“" + code + "”的" + what + "无法汇总，期初余额未能计算");
        }
        // The credit column is asked for as "D": field names match without regard to case.
        return TAccountSums{CommonADOQuery->FieldByName("j").AsFloat(), CommonADOQuery->FieldByName("D").AsFloat()};
    };

    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::string& code = codes[i];
        const bool debitAccount = flags[i] == "1";
        const std::string pattern = QuoteSqlLikeText(code);

        const TAccountSums opening = readSums(OpeningSumsStatement + pattern + "%" + "'", code, "期初余额");
        const TAccountSums movement =
            readSums(MovementSumsStatement + pattern + "%" + "'" + " and fintyear<" + year, code, "以前年度发生额");

        std::int64_t closing = 0;
        try {
            const std::int64_t openingAmount = debitAccount ? DifferenceToTenThousandths(opening.Debit, opening.Credit)
                                                            : DifferenceToTenThousandths(opening.Credit, opening.Debit);
            const std::int64_t debit = ToTenThousandths(movement.Debit);
            const std::int64_t credit = ToTenThousandths(movement.Credit);
            closing = debitAccount ? CheckedSubtract(CheckedAdd(openingAmount, debit), credit)
                                   : CheckedSubtract(CheckedAdd(openingAmount, credit), debit);
        } catch (const EVelmoraError& error) {
            throw EVelmoraError("科目“" + code + "”的余额：" + error.what());
        }

        // The direction follows the account's flag alone, not the sign of the balance.
        ExecCommand("update bal set bal=" + TenThousandthsToText(closing) + "," + "fx=" + (debitAccount ? "1" : "-1") +
                    " where fchraccount=" + "'" + QuoteSqlText(code) + "'");
    }
    return true;
}

}  // namespace Velmora
