// T-SQL through the stand-in's session as the plug-in sends it, on a scratch
// database: tokenizer, rewriter, statement parser, type rules and SQLite under
// them. Input is a script of batches separated by lines holding only GO. Every
// batch either runs or is refused with a provider error; nothing else may leave
// the session. A script whose first line is "--master" talks to master instead,
// and unless it names a database statement the catalog must come out unchanged.
// Each input starts from the same server folder, so that a finding replays alone.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "fuzz/FuzzScratch.h"
#include "platform/Errors.h"
#include "standin/Server.h"
#include "standin/StandinServiceControl.h"
#include "standin/Tokenizer.h"

using namespace Velmora;
namespace fs = std::filesystem;

namespace {

constexpr const char* ScratchName = "fuzzdb";
// A statement that runs longer than this is cut short, as a client's timeout would.
constexpr std::chrono::milliseconds StatementBudget{1000};
constexpr std::size_t MaxBatches = 8;

const char* const Schema[] = {
    "CREATE TABLE GL_accvouch (i_id int IDENTITY(1,1) PRIMARY KEY, ccode varchar(20) NOT NULL, "
    "iperiod tinyint, md money, mc money, cdigest nvarchar(60), dbill_date datetime, ino_id smallint, "
    "nfrat decimal(18,6), iflag bit)",
    "CREATE TABLE code (ccode varchar(20) PRIMARY KEY, ccode_name nvarchar(40), igrade int, bend bit)",
    "CREATE VIEW v_sums AS SELECT ccode, SUM(md) AS md, SUM(mc) AS mc FROM GL_accvouch GROUP BY ccode",
    "INSERT INTO code VALUES ('1001', N'库存现金', 1, 1)",
    "INSERT INTO code VALUES ('1002', N'银行存款', 1, 0)",
    "INSERT INTO GL_accvouch (ccode, iperiod, md, mc, cdigest, dbill_date, ino_id, nfrat, iflag) "
    "VALUES ('1001', 1, 100.25, 0, N'摘要', '2024-01-31', 1, 1.5, 0)",
    "INSERT INTO GL_accvouch (ccode, iperiod, md, mc, cdigest, dbill_date, ino_id, nfrat, iflag) "
    "VALUES ('1002', 2, 0, 0.0001, 'x', '2024-02-29 10:00:00', 2, NULL, 1)",
};

struct TServer {
    fs::path Live;
    fs::path Template;
};

TServer MakeServer()
{
    TServer server{Fuzz::ScratchFolder() / "server", Fuzz::ScratchFolder() / "template"};
    Standin::WriteServiceState(server.Template.string(), "running");
    const std::string folder = server.Template.string();
    {
        Standin::TSession master(folder, Standin::TConnectionTarget{"master"});
        master.Execute(std::string("CREATE DATABASE ") + ScratchName);
    }
    {
        Standin::TSession scratch(folder, Standin::TConnectionTarget{ScratchName});
        for (const char* statement : Schema) scratch.Execute(statement);
    }
    return server;
}

void ResetServer(const TServer& server)
{
    std::error_code error;
    fs::remove_all(server.Live, error);
    if (error) {
        std::fprintf(stderr, "cannot remove %s: %s\n", server.Live.c_str(), error.message().c_str());
        std::abort();
    }
    fs::copy(server.Template, server.Live, fs::copy_options::recursive, error);
    if (error) {
        std::fprintf(stderr, "cannot copy %s: %s\n", server.Template.c_str(), error.message().c_str());
        std::abort();
    }
}

// Every row of the catalog's tables, as text.
std::string CatalogRows(const fs::path& server)
{
    sqlite3* db = nullptr;
    std::string rows;
    if (sqlite3_open_v2((server / "master.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) std::abort();
    for (const char* sql : {"SELECT * FROM sysdatabases ORDER BY dbid", "SELECT * FROM sysaltfiles ORDER BY dbid, fileid",
                            "SELECT * FROM velmora_files ORDER BY filename"}) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) std::abort();
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                rows += text != nullptr ? text : "NULL";
                rows += '|';
            }
            rows += '\n';
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

std::vector<std::string> Batches(const std::string& script);

// Whether the script may change the catalog by a statement the server carries
// out itself (CREATE, ALTER or DROP DATABASE, RESTORE).
bool NamesDatabaseStatement(const std::string& script)
{
    for (const std::string& batch : Batches(script)) {
        try {
            for (const Standin::TToken& token : Standin::Significant(Standin::Tokenize(batch))) {
                if (Standin::IsWord(token, "DATABASE") || Standin::IsWord(token, "RESTORE")) return true;
            }
        } catch (const EProviderError&) {
            // A batch that cannot be read is refused whole.
        }
    }
    return false;
}

std::vector<std::string> Batches(const std::string& script)
{
    std::vector<std::string> batches(1);
    std::size_t start = 0;
    while (start <= script.size() && batches.size() <= MaxBatches) {
        std::size_t end = script.find('\n', start);
        if (end == std::string::npos) end = script.size();
        std::string line = script.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "GO" || line == "go") {
            batches.emplace_back();
        } else {
            batches.back() += line;
            batches.back() += '\n';
        }
        start = end + 1;
    }
    return batches;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const TServer server = MakeServer();
    static const std::string catalog = CatalogRows(server.Template);
    ResetServer(server);
    const std::string script(reinterpret_cast<const char*>(data), size);
    const bool master = script.rfind("--master\n", 0) == 0;
    static const bool verbose = std::getenv("VELMORA_FUZZ_VERBOSE") != nullptr;
    try {
        Standin::TSession session(server.Live.string(), Standin::TConnectionTarget{master ? "master" : ScratchName});
        std::chrono::steady_clock::time_point deadline;
        session.SetOnWait([&deadline] {
            if (std::chrono::steady_clock::now() > deadline) throw EProviderError("Query timeout expired");
        });
        for (const std::string& batch : Batches(script)) {
            deadline = std::chrono::steady_clock::now() + StatementBudget;
            try {
                session.Execute(batch);
            } catch (const EProviderError& error) {
                // VELMORA_FUZZ_VERBOSE=1 shows each refusal when a finding is replayed.
                if (verbose) std::fprintf(stderr, "%d: %s\n", error.Number(), error.what());
            }
        }
    } catch (const EProviderError& error) {
        // The session may have been ended by the script itself (its database dropped or taken offline).
        if (verbose) std::fprintf(stderr, "session: %s\n", error.what());
    }
    if (master && !NamesDatabaseStatement(script) && CatalogRows(server.Live) != catalog) std::abort();
    return 0;
}
