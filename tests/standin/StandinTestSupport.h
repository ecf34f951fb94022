#pragma once
// Each test gets its own server directory under the system's temporary folder,
// removed afterwards, so tests never see each other's databases.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/Database.h"
#include "platform/Errors.h"
#include "preprocess/RestoreStatement.h"
#include "standin/BackupScript.h"
#include "standin/StandinDataAccess.h"
#include "standin/StandinServiceControl.h"

namespace Velmora::StandinTests {

inline const char* const MasterConnection =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=Master;Data Source=(local)";
inline const char* const UfdataConnection =
    "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=ufdata;Data Source=(local)";

inline std::string ConnectionTo(const std::string& catalog)
{
    return "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=" + catalog +
           ";Data Source=(local)";
}

inline std::filesystem::path MakeTemporaryDirectory(const std::string& stem)
{
    std::random_device random;
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       (stem + "-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path);
    return path;
}

inline void WriteText(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class TStandinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root = MakeTemporaryDirectory("velmora-standin-test");
        ServerDir = (Root / "server").string();
        Work = Root / "work";
        std::filesystem::create_directories(Work);
        Data = std::make_unique<Standin::TStandinDataAccess>(ServerDir);
    }

    void TearDown() override
    {
        Data.reset();
        std::error_code ignored;
        std::filesystem::remove_all(Root, ignored);
    }

    // As the plug-in does, the service is started before the first connection
    // (unless a test has set its state).
    std::unique_ptr<IConnection> Connect(const std::string& connectionString)
    {
        if (!std::filesystem::exists(std::filesystem::path(ServerDir) / "service")) {
            Standin::WriteServiceState(ServerDir, "running");
        }
        auto connection = Data->CreateConnection();
        connection->SetConnectionString(connectionString);
        connection->Open();
        return connection;
    }

    static void Exec(IConnection& connection, const std::string& statement)
    {
        auto command = connection.CreateCommand();
        command->SetCommandText(statement);
        command->Execute();
    }

    // Every row of the statement, each field as text.
    static std::vector<std::vector<std::string>> Rows(IConnection& connection, const std::string& statement,
                                                      const std::vector<std::string>& fields)
    {
        auto query = connection.CreateQuery();
        query->AddSql(statement);
        query->Open();
        std::vector<std::vector<std::string>> rows;
        for (query->First(); !query->Eof(); query->Next()) {
            std::vector<std::string> row;
            for (const std::string& field : fields) row.push_back(query->FieldByName(field).AsString());
            rows.push_back(row);
        }
        return rows;
    }

    // Media holding one set per script, in order.
    std::string MakeMedia(const std::string& fileName, const std::vector<std::string>& scripts,
                          const std::string& database = "UFDATA",
                          const std::vector<Standin::TBackupFileInfo>& files = {})
    {
        const std::string media = (Work / fileName).string();
        for (std::size_t k = 0; k < scripts.size(); ++k) {
            const std::filesystem::path script = Root / ("script" + std::to_string(k) + ".sql");
            WriteText(script, scripts[k]);
            Standin::TCreateBackupOptions options;
            options.Media = media;
            options.Database = database;
            options.Script = script.string();
            options.Append = k > 0;
            options.Files = files;
            Standin::CreateBackupSet(options);
        }
        return media;
    }

    std::filesystem::path Root;
    std::string ServerDir;
    std::filesystem::path Work;
    std::unique_ptr<IDataAccess> Data;
};

// The message of the provider error the action raises, or "" when it raises none.
template <typename TAction>
std::string ProviderError(TAction action)
{
    try {
        action();
    } catch (const EProviderError& error) {
        return error.what();
    }
    return std::string();
}

}  // namespace Velmora::StandinTests
