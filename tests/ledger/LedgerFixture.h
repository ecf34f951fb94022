#pragma once
// A restored company database on a private stand-in server, and the ledger step
// run on it through the real form and runners. The screen is the fake toolkit, so
// any message box the step shows is recorded rather than shown.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/Database.h"
#include "preprocess/DealWithUFO.h"
#include "preprocess/DecimalText.h"
#include "standin/BackupScript.h"
#include "standin/StandinDataAccess.h"
#include "standin/StandinServiceControl.h"
#include "tests/fakes/FakePlatform.h"

namespace Velmora::LedgerTests {

inline std::string ReadTextFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The sample company's scripts, joined in order.
inline std::string SampleScript(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names) text += ReadTextFile(std::filesystem::path(VELMORA_SAMPLE_DIR) / name) + "\n";
    return text;
}

inline std::string SampleEarlier()
{
    return SampleScript({"schema.sql", "reference-data.sql", "accounts.sql", "vouchers-until-2024-06.sql"});
}

inline std::string SampleLater() { return SampleEarlier() + SampleScript({"vouchers-2024-07-onwards.sql"}); }

class TLedgerFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device random;
        Root = std::filesystem::temp_directory_path() /
               ("velmora-ledger-test-" + std::to_string(random()) + std::to_string(random()));
        WorkDir = Root / "host" / "TempLateTemp";
        std::filesystem::create_directories(WorkDir);
        Data = std::make_unique<Standin::TStandinDataAccess>((Root / "server").string());
        // The fake service control stands for the check; the stand-in itself must run too.
        Standin::WriteServiceState((Root / "server").string(), "running");
        Platform = std::make_unique<TPlatform>(TPlatform{Fake.Toolkit, Fake.Services, *Data, Fake.Files, Fake.Text});
        Form = std::make_unique<TForm_DealWithUFO>(*Platform);
    }

    void TearDown() override
    {
        Form.reset();
        Data.reset();
        std::error_code ignored;
        std::filesystem::remove_all(Root, ignored);
    }

    // Backup media with one set per script, restored through the form as the run
    // does it; set is the chooser row to tick when there are several.
    void RestoreCompany(const std::vector<std::string>& scripts, std::size_t set = 0)
    {
        const std::string media = (Root / "UFDATA.BAK").string();
        for (std::size_t k = 0; k < scripts.size(); ++k) {
            const std::filesystem::path script = Root / ("set" + std::to_string(k + 1) + ".sql");
            std::ofstream(script, std::ios::binary) << scripts[k];
            Standin::TCreateBackupOptions options;
            options.Media = media;
            options.Database = "UFDATA";
            options.Script = script.string();
            options.Append = k > 0;
            Standin::CreateBackupSet(options);
        }
        Fake.Toolkit.OnChooser = [set](IChooserDialog& dialog) {
            dialog.UserSetChecked(set, true);
            dialog.UserPressedOk();
        };
        Form->FTempFile = media;
        Form->FWorkDir = WorkDir.string() + "/";
        ASSERT_TRUE(Form->RestoreDatabase()) << Messages();
        ASSERT_TRUE(Fake.Toolkit.Messages.empty()) << Messages();
    }

    // The ledger step for the year, on the restored database.
    bool PrepareLedger(const std::string& year)
    {
        Form->FYear = year;
        return Form->PrepareLedger();
    }

    std::string Messages() const
    {
        std::string text;
        for (const auto& message : Fake.Toolkit.Messages) text += "[" + message.Caption + "] " + message.Text + "\n";
        return text;
    }

    // A separate connection to the prepared database, as the host makes one.
    std::unique_ptr<IConnection> Connect()
    {
        auto connection = Data->CreateConnection();
        connection->SetConnectionString(ConnectionStrings::Ufdata);
        connection->Open();
        return connection;
    }

    struct TRows {
        std::vector<std::string> Columns;
        std::vector<std::vector<TFieldValue>> Values;
        std::size_t size() const { return Values.size(); }
        const TFieldValue& At(std::size_t row, const std::string& column) const
        {
            for (std::size_t i = 0; i < Columns.size(); ++i) {
                if (Columns[i] == column) return Values.at(row).at(i);
            }
            throw std::runtime_error("no column " + column);
        }
    };

    TRows Select(const std::string& statement, const std::vector<std::string>& columns)
    {
        auto connection = Connect();
        auto query = connection->CreateQuery();
        query->AddSql(statement);
        query->Open();
        TRows rows;
        rows.Columns = columns;
        for (query->First(); !query->Eof(); query->Next()) {
            std::vector<TFieldValue> row;
            for (const std::string& column : columns) row.push_back(query->FieldByName(column));
            rows.Values.push_back(row);
        }
        return rows;
    }

    // Balance and direction of every Bal row, by code: {ten-thousandths, FX}.
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> Balances()
    {
        std::map<std::string, std::pair<std::int64_t, std::int64_t>> result;
        const TRows rows = Select("select * from Bal", {"fchrAccount", "Bal", "FX"});
        for (std::size_t i = 0; i < rows.size(); ++i) {
            result[rows.At(i, "fchrAccount").AsString()] = {ToTenThousandths(rows.At(i, "Bal").AsFloat()),
                                                            rows.At(i, "FX").AsInteger()};
        }
        return result;
    }

    // "-0.3" → -3000.
    static std::int64_t Amount(const std::string& text) { return ToTenThousandths(std::stod(text)); }

    Fakes::TFakePlatform Fake;
    std::filesystem::path Root;
    std::filesystem::path WorkDir;
    std::unique_ptr<IDataAccess> Data;
    std::unique_ptr<TPlatform> Platform;
    std::unique_ptr<TForm_DealWithUFO> Form;
};

}  // namespace Velmora::LedgerTests
