// The balance step on a large company ledger in the stand-in server: ComputeBalances
// through the real form and runners (two aggregate queries and one update per
// account), and the same balances from one grouped query rolled up by code prefix,
// as a reference. Reports both times and their ratio (goal: 10 or less) and checks
// that every balance and direction agrees; exits 1 when one does not.
//
// Usage: velmora_balance_benchmark [--accounts N] [--lines N] [--year Y] [--keep]
// Defaults: 2000 accounts, 200000 voucher lines over 2020-2024, year 2024.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "platform/Platform.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/DecimalText.h"
#include "standin/StandinDataAccess.h"
#include "standin/StandinServiceControl.h"

namespace {

using namespace Velmora;
using TClock = std::chrono::steady_clock;

double Seconds(TClock::time_point from) { return std::chrono::duration<double>(TClock::now() - from).count(); }

// A screen nobody looks at; message boxes are counted and echoed, since the run
// should show none.
class TNoScreen : public IToolkit {
public:
    TWindowHandle ApplicationHandle() const override { return 0; }
    void SetApplicationHandle(TWindowHandle) override {}
    int ShowProgressDialog(IProgressDialog&) override { return mrCancel; }
    int ShowChooser(IChooserDialog&) override { return mrCancel; }
    std::unique_ptr<ITimer> CreateTimer(unsigned, std::function<void()>) override
    {
        class TIdleTimer : public ITimer {
        public:
            void SetEnabled(bool enabled) override { FEnabled = enabled; }
            bool Enabled() const override { return FEnabled; }

        private:
            bool FEnabled = true;
        };
        return std::make_unique<TIdleTimer>();
    }
    int MessageBox(const std::string& text, const std::string& caption, unsigned) override
    {
        ++Boxes;
        std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
        return MsgBox::IdOk;
    }
    void ProcessMessages() override {}
    void KeepAlive() override {}
    void Sleep(unsigned) override {}
    std::uint64_t TickCount() override { return 0; }

    int Boxes = 0;
};

class TNoFiles : public IFileSystem {
public:
    std::unique_ptr<IFile> OpenReadExclusive(const std::string& path) override
    {
        throw EVelmoraError("no files: " + path);
    }
    std::unique_ptr<IFile> CreateExclusive(const std::string& path) override
    {
        throw EVelmoraError("no files: " + path);
    }
    bool DeleteFile(const std::string&) override { return false; }
    std::string PathSeparator() const override { return "/"; }
};

class TSameText : public ITextConversion {
public:
    std::string AnsiToUtf8(const std::string& text) override { return text; }
    std::string Utf8ToAnsi(const std::string& text) override { return text; }
};

void Exec(IConnection& connection, const std::string& statement)
{
    auto command = connection.CreateCommand();
    command->SetCommandText(statement);
    command->Execute();
}

struct TAccount {
    std::string Code;
    bool Debit;
    bool Leaf;
};

// Codes 4-2-2: 100 first-level accounts, each with five second-level ones, most of
// which have three third-level ones; postings go to leaves.
std::vector<TAccount> MakeChart(int wanted)
{
    std::vector<TAccount> chart;
    const char* const classes[] = {"1", "2", "4", "5", "6"};
    for (int top = 0; static_cast<int>(chart.size()) < wanted; ++top) {
        const std::string first = std::string(classes[top % 5]) + std::to_string(100 + top / 5 * 3 + 1).substr(0, 3);
        const bool debit = first[0] == '1' || first[0] == '5' || (first[0] == '6' && top % 2 == 0);
        chart.push_back({first, debit, false});
        for (int second = 1; second <= 5 && static_cast<int>(chart.size()) < wanted; ++second) {
            const std::string middle = first + (second < 10 ? "0" : "") + std::to_string(second);
            const int thirds = second == 5 ? 0 : 3;
            chart.push_back({middle, debit, thirds == 0});
            for (int third = 1; third <= thirds && static_cast<int>(chart.size()) < wanted; ++third) {
                // Now and then a leaf of the other direction, as a contra account.
                chart.push_back({middle + "0" + std::to_string(third), third == 3 ? !debit : debit, true});
            }
        }
    }
    chart.resize(static_cast<std::size_t>(wanted));
    for (auto& account : chart) {
        account.Leaf = std::none_of(chart.begin(), chart.end(), [&](const TAccount& other) {
            return other.Code.size() > account.Code.size() &&
                   other.Code.compare(0, account.Code.size(), account.Code) == 0;
        });
    }
    return chart;
}

std::string Money(std::mt19937_64& random, std::int64_t maxCents)
{
    const std::int64_t cents = 1 + static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(maxCents));
    const std::string fraction = std::to_string(100 + cents % 100).substr(1);
    return std::to_string(cents / 100) + "." + fraction;
}

// The books in the package's tables, with the indexes a company database has.
void BuildBooks(IConnection& books, const std::vector<TAccount>& chart, int lines)
{
    Exec(books,
         "CREATE TABLE Account (fchrAccountID varchar(36) NOT NULL PRIMARY KEY, fchrAccount varchar(18) NOT NULL,"
         " fchrAccountName nvarchar(60) NOT NULL, fbitDirection bit NOT NULL, fbitNoUsed bit NOT NULL,"
         " ftinGrade tinyint NOT NULL, fbitEnd bit NOT NULL)");
    Exec(books, "CREATE UNIQUE INDEX IX_Account_fchrAccount ON Account (fchrAccount)");
    Exec(books,
         "CREATE TABLE Sys_Role (fchrRoleID varchar(20) NOT NULL PRIMARY KEY, fchrRoleName nvarchar(40) NOT NULL)");
    Exec(books,
         "CREATE TABLE OperatorRole (fchrOperatorID varchar(20) NOT NULL, fchrRoleID varchar(20) NOT NULL,"
         " PRIMARY KEY (fchrOperatorID, fchrRoleID))");
    Exec(books, "CREATE TABLE Code (fchrCodeID varchar(20) NOT NULL PRIMARY KEY, fchrCodeName nvarchar(20) NOT NULL)");
    Exec(books,
         "CREATE TABLE Voucher (fchrVoucherID varchar(36) NOT NULL PRIMARY KEY, fintYear int NOT NULL,"
         " ftinPeriod tinyint NOT NULL, fdtmDate datetime NOT NULL, fchrVoucherTypeID varchar(20) NULL,"
         " fintNumber int NOT NULL, fintVoucherNO int NOT NULL, fchrOperatorID varchar(20) NULL,"
         " fchrCheckerID varchar(20) NULL, fchrRegisterID varchar(20) NULL, fbitStyle bit NOT NULL,"
         " fbitNoUsed bit NOT NULL)");
    Exec(books, "CREATE INDEX IX_Voucher_Period ON Voucher (fintYear, ftinPeriod, fchrVoucherTypeID, fintNumber)");
    Exec(books,
         "CREATE TABLE VoucherDetail (fchrVoucherDetailID varchar(40) NOT NULL PRIMARY KEY,"
         " fchrVoucherID varchar(36) NOT NULL, fintOrder int NOT NULL, fchrAccountID varchar(36) NOT NULL,"
         " ftinCode tinyint NOT NULL, fchrRemark nvarchar(120) NULL, fbitDirection bit NOT NULL,"
         " flotAmount money NOT NULL, fchrForeignCode varchar(8) NULL, flotForeignAmount money NOT NULL,"
         " flotRate float NOT NULL, fdtmPaymentDate datetime NULL, flotBalance money NOT NULL,"
         " fchrOptNo varchar(30) NULL)");
    Exec(books, "CREATE INDEX IX_VoucherDetail_fchrVoucherID ON VoucherDetail (fchrVoucherID, fintOrder)");
    Exec(books, "CREATE INDEX IX_VoucherDetail_fchrAccountID ON VoucherDetail (fchrAccountID)");

    Exec(books, "BEGIN TRANSACTION");
    Exec(books,
         "insert into Sys_Role values ('R01', N'账套主管'), ('R02', N'制单'), ('R03', N'审核'), ('R04', N'记账')");
    Exec(books, "insert into OperatorRole values ('U001', 'R02'), ('U002', 'R03'), ('U003', 'R04'), ('U004', 'R01')");
    Exec(books, "insert into Code values ('VT1', N'记'), ('VT2', N'收'), ('VT3', N'付'), ('VT4', N'转'), ('VT0', '0')");

    std::string rows;
    auto flush = [&](const std::string& head) {
        if (!rows.empty()) Exec(books, head + rows);
        rows.clear();
    };
    const std::string accountHead = "insert into Account values ";
    for (std::size_t i = 0; i < chart.size(); ++i) {
        const TAccount& a = chart[i];
        rows += std::string(rows.empty() ? "" : ",") + "('ACC" + std::to_string(i) + "', '" + a.Code + "', N'科目" +
                a.Code + "', " + (a.Debit ? "1" : "0") + ", 0, " + std::to_string(a.Code.size() / 2 - 1) + ", " +
                (a.Leaf ? "1" : "0") + ")";
        if (i % 500 == 499) flush(accountHead);
    }
    flush(accountHead);

    std::vector<std::size_t> leaves;
    for (std::size_t i = 0; i < chart.size(); ++i) {
        if (chart[i].Leaf) leaves.push_back(i);
    }
    std::mt19937_64 random(2024);
    const std::string voucherHead = "insert into Voucher values ";
    const std::string detailHead = "insert into VoucherDetail values ";
    std::string details;
    int lineCount = 0;
    auto addLine = [&](const std::string& voucher, int order, std::size_t account, bool debit,
                       const std::string& amount, const std::string& remark, const std::string& balance) {
        details += std::string(details.empty() ? "" : ",") + "('" + voucher + "-" + std::to_string(order) + "', '" +
                   voucher + "', " + std::to_string(order) + ", 'ACC" + std::to_string(account) + "', 0, N'" + remark +
                   "', " + (debit ? "1" : "0") + ", " + amount + ", NULL, 0, 1, NULL, " + balance + ", NULL)";
        ++lineCount;
        if (lineCount % 500 == 0) {
            Exec(books, detailHead + details);
            details.clear();
        }
    };

    // Opening balances: one line per leaf, on a voucher without type.
    rows = "('QC', 2020, 0, '2020-01-01', NULL, 0, 0, 'U004', 'U002', 'U003', 0, 0)";
    flush(voucherHead);
    int order = 0;
    for (std::size_t leaf : leaves) {
        addLine("QC", ++order, leaf, chart[leaf].Debit, "0", "期初余额", Money(random, 50000000));
    }

    // Vouchers of two to six lines over five years; one in a hundred without a
    // type, one in a hundred of the type named 0.
    int voucher = 0;
    while (lineCount < lines) {
        ++voucher;
        const int year = 2020 + voucher % 5;
        const int period = 1 + (voucher / 5) % 12;
        const std::string type = voucher % 100 == 7    ? "NULL"
                                 : voucher % 100 == 13 ? "'VT0'"
                                                       : "'VT" + std::to_string(1 + voucher % 4) + "'";
        const std::string id = "V" + std::to_string(voucher);
        rows += std::string(rows.empty() ? "" : ",") + "('" + id + "', " + std::to_string(year) + ", " +
                std::to_string(period) + ", '" + std::to_string(year) + "-" + (period < 10 ? "0" : "") +
                std::to_string(period) + "-15', " + type + ", " + std::to_string(voucher) + ", " +
                std::to_string(voucher) + ", 'U001', 'U002', 'U003', 0, 0)";
        if (voucher % 500 == 0) flush(voucherHead);
        const int count = std::min(2 + static_cast<int>(random() % 5), lines - lineCount);
        for (int k = 1; k <= count; ++k) {
            const std::size_t leaf = leaves[random() % leaves.size()];
            addLine(id, k, leaf, k % 2 == 1, Money(random, 10000000), "业务摘要", "0");
        }
    }
    flush(voucherHead);
    if (!details.empty()) Exec(books, detailHead + details);
    Exec(books, "COMMIT TRANSACTION");
}

struct TReference {
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> Balances;  // code -> {ten-thousandths, FX}
};

// One grouped query over both views, then each account's figures summed over the
// codes that begin with its own.
TReference ComputeReference(IConnection& books, const std::string& year)
{
    struct TSums {
        std::int64_t OpeningDebit = 0, OpeningCredit = 0, Debit = 0, Credit = 0;
    };
    std::map<std::string, TSums> byCode;
    auto query = books.CreateQuery();
    query->AddSql(
        "select fchrAccount, 0 as k, sum(case when fbitDirection = 1 then flotBalance else 0 end) as j,"
        " sum(case when fbitDirection = 0 then flotBalance else 0 end) as d from BalFirst group by fchrAccount"
        " union all"
        " select fchrAccount, 1 as k, sum(case when fbitDirection = 1 then flotAmount else 0 end) as j,"
        " sum(case when fbitDirection = 0 then flotAmount else 0 end) as d from PzAvalid where fintYear < " +
        year + " group by fchrAccount");
    query->Open();
    for (query->First(); !query->Eof(); query->Next()) {
        TSums& sums = byCode[query->FieldByName("fchrAccount").AsString()];
        const std::int64_t j = ToTenThousandths(query->FieldByName("j").AsFloat());
        const std::int64_t d = ToTenThousandths(query->FieldByName("d").AsFloat());
        if (query->FieldByName("k").AsInteger() == 0) {
            sums.OpeningDebit += j;
            sums.OpeningCredit += d;
        } else {
            sums.Debit += j;
            sums.Credit += d;
        }
    }
    query->Close();

    TReference reference;
    query->ClearSql();
    query->AddSql("select fchrAccount, Kmfx from Bal");
    query->Open();
    for (query->First(); !query->Eof(); query->Next()) {
        const std::string code = query->FieldByName("fchrAccount").AsString();
        const bool debit = query->FieldByName("Kmfx").AsBoolean();
        TSums total;
        for (auto it = byCode.lower_bound(code); it != byCode.end() && it->first.compare(0, code.size(), code) == 0;
             ++it) {
            total.OpeningDebit += it->second.OpeningDebit;
            total.OpeningCredit += it->second.OpeningCredit;
            total.Debit += it->second.Debit;
            total.Credit += it->second.Credit;
        }
        const std::int64_t balance = debit ? total.OpeningDebit - total.OpeningCredit + total.Debit - total.Credit
                                           : total.OpeningCredit - total.OpeningDebit + total.Credit - total.Debit;
        reference.Balances[code] = {balance, debit ? 1 : -1};
    }
    return reference;
}

std::map<std::string, std::pair<std::int64_t, std::int64_t>> ReadBal(IConnection& books)
{
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> written;
    auto query = books.CreateQuery();
    query->AddSql("select fchrAccount, Bal, FX from Bal");
    query->Open();
    for (query->First(); !query->Eof(); query->Next()) {
        written[query->FieldByName("fchrAccount").AsString()] = {ToTenThousandths(query->FieldByName("Bal").AsFloat()),
                                                                 query->FieldByName("FX").AsInteger()};
    }
    return written;
}

}  // namespace

int main(int argc, char** argv)
{
    int accounts = 2000;
    int lines = 200000;
    std::string year = "2024";
    bool keep = false;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--accounts" && k + 1 < argc) {
            accounts = std::atoi(argv[++k]);
        } else if (arg == "--lines" && k + 1 < argc) {
            lines = std::atoi(argv[++k]);
        } else if (arg == "--year" && k + 1 < argc) {
            year = argv[++k];
        } else if (arg == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: %s [--accounts N] [--lines N] [--year Y] [--keep]\n", argv[0]);
            return 2;
        }
    }
    if (accounts < 1 || lines < 1) {
        std::fprintf(stderr, "accounts and lines must be positive\n");
        return 2;
    }

    std::random_device entropy;
    const auto root = std::filesystem::temp_directory_path() / ("velmora-balance-bench-" + std::to_string(entropy()));
    const std::string serverDir = (root / "server").string();
    int status = 0;
    try {
        // The stand-in serves only a server directory that exists, while its service runs.
        std::filesystem::create_directories(serverDir);
        Standin::WriteServiceState(serverDir, "running");
        Standin::TStandinDataAccess data(serverDir);
        Standin::TStandinServiceControl services(serverDir);
        TNoScreen screen;
        TNoFiles files;
        TSameText text;
        TPlatform platform{screen, services, data, files, text};

        {
            auto master = data.CreateConnection();
            master->SetConnectionString(ConnectionStrings::Master);
            Exec(*master, "CREATE DATABASE UFDATA");
        }
        auto books = data.CreateConnection();
        books->SetConnectionString(ConnectionStrings::Ufdata);
        const std::vector<TAccount> chart = MakeChart(accounts);
        auto started = TClock::now();
        BuildBooks(*books, chart, lines);
        std::printf("ledger: %d accounts (codes 4-2-2), %d voucher lines over 2020-2024, built in %.2f s\n", accounts,
                    lines, Seconds(started));

        TForm_DealWithUFO form(platform);
        form.FYear = year;
        started = TClock::now();
        const bool prepared = form.PrepareLedger();
        const double prepareSeconds = Seconds(started);
        if (!prepared || screen.Boxes != 0) throw EVelmoraError("the ledger step did not run cleanly");
        std::printf("PrepareLedger (views, Bal, first ComputeBalances): %.3f s\n", prepareSeconds);
        const auto firstRun = ReadBal(*books);

        // Again on the prepared database, balances cleared, to time ComputeBalances alone.
        Exec(*books, "update bal set bal=0, fx=0");
        form.FTargetConnection->SetConnectionString(ConnectionStrings::Ufdata);
        form.FTargetConnection->Open();
        started = TClock::now();
        form.ComputeBalances();
        const double computeSeconds = Seconds(started);
        form.FTargetConnection->Close();
        std::printf("ComputeBalances: %zu accounts, 3 statements each: %.3f s (%.3f ms per account)\n", firstRun.size(),
                    computeSeconds,
                    computeSeconds * 1000 / static_cast<double>(std::max<std::size_t>(firstRun.size(), 1)));

        started = TClock::now();
        const TReference reference = ComputeReference(*books, year);
        const double referenceSeconds = Seconds(started);
        std::printf("reference, one grouped query rolled up by prefix: %.3f s\n", referenceSeconds);
        const double ratio = computeSeconds / referenceSeconds;
        std::printf("ratio ComputeBalances / reference: %.1f (goal: 10 or less) -> %s\n", ratio,
                    ratio <= 10 ? "goal met" : "goal NOT met");

        const auto written = ReadBal(*books);
        int mismatches = 0;
        std::int64_t nonZero = 0;
        for (const auto& [code, expected] : reference.Balances) {
            const auto found = written.find(code);
            const auto again = firstRun.find(code);
            if (found == written.end() || found->second != expected || again == firstRun.end() ||
                again->second != expected) {
                if (++mismatches <= 10) {
                    std::printf("  mismatch %s: reference %lld/%lld, written %lld/%lld\n", code.c_str(),
                                static_cast<long long>(expected.first), static_cast<long long>(expected.second),
                                found == written.end() ? 0LL : static_cast<long long>(found->second.first),
                                found == written.end() ? 0LL : static_cast<long long>(found->second.second));
                }
            }
            if (expected.first != 0) ++nonZero;
        }
        if (written.size() != reference.Balances.size()) ++mismatches;
        std::printf("balances: %zu compared (%lld non-zero), %d disagree\n", reference.Balances.size(),
                    static_cast<long long>(nonZero), mismatches);
        status = mismatches == 0 ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        status = 1;
    }
    if (keep) {
        std::printf("server directory kept: %s\n", serverDir.c_str());
    } else {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    return status;
}
