// velmora-sql: the stand-in server's command-line client. Statements go through
// the same data access and T-SQL shim as the plug-in's, so what works here works
// for the plug-in, and a server error reads as the server words it.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "standin/ServerDirectory.h"
#include "standin/ServerErrors.h"
#include "standin/SqlShim.h"
#include "standin/StandinDataAccess.h"

namespace {

using namespace Velmora;

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

const char* const Usage =
    "usage:\n"
    "  velmora-sql [--server-dir DIR] [--database NAME] (--query TEXT | --input FILE)\n"
    "  velmora-sql --help\n"
    "\n"
    "Runs T-SQL on the stand-in server, through the plug-in's own data access.\n"
    "  --server-dir DIR  the server's directory (default: VELMORA_SERVER_DIR, or\n"
    "                    ~/.local/state/velmora/server)\n"
    "  --database NAME   the database to connect to (default: master)\n"
    "  --query TEXT      one batch to run\n"
    "  --input FILE      batches to run, separated by lines that hold only GO\n"
    "\n"
    "Each result set prints as a header line and one line per row, values separated\n"
    "by tabs (NULL as NULL, fractional numbers with four decimals); INSERT, UPDATE and\n"
    "DELETE print \"(N rows affected)\". The first server error prints as\n"
    "\"Msg N, Level 16, State 1: text\" on stderr, followed by the messages the server\n"
    "sends after it (a failed RESTORE's 3119 and 3013), and ends the run with exit code 1.\n"
    "The service is not started: while it is stopped, connecting fails.\n";

int UsageError(const std::string& message)
{
    std::cerr << "velmora-sql: " << message << "\nTry 'velmora-sql --help'.\n";
    return ExitUsage;
}

// Batches of a script: a line holding only GO (any case, blanks around) ends one.
std::vector<std::string> Batches(const std::string& script)
{
    std::vector<std::string> batches(1);
    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (SameText(Trim(line), "GO")) {
            batches.emplace_back();
            continue;
        }
        batches.back() += line + "\n";
    }
    return batches;
}

// The statements of a batch, cut at semicolons outside parentheses, so that each
// one's answer is shown.
std::vector<std::string> Statements(const std::string& batch)
{
    std::vector<std::string> statements(1);
    int depth = 0;
    for (const Standin::TToken& token : Standin::Tokenize(batch)) {
        if (Standin::IsSymbol(token, "(")) ++depth;
        if (Standin::IsSymbol(token, ")")) --depth;
        if (depth == 0 && Standin::IsSymbol(token, ";")) {
            statements.emplace_back();
            continue;
        }
        statements.back() += token.Text;
    }
    std::vector<std::string> meaningful;
    for (const std::string& statement : statements) {
        if (!Standin::Significant(Standin::Tokenize(statement)).empty()) meaningful.push_back(statement);
    }
    return meaningful;
}

std::string Shown(const TFieldValue& value)
{
    switch (value.Kind()) {
    case TFieldValue::TKind::Null:
        return "NULL";
    case TFieldValue::TKind::Float: {
        char text[64];
        std::snprintf(text, sizeof text, "%.4f", value.AsFloat());
        return text;
    }
    default:
        return value.AsString();
    }
}

void Print(const TStandinAnswer& answer)
{
    if (!answer.Columns.empty()) {
        for (std::size_t c = 0; c < answer.Columns.size(); ++c) std::cout << (c > 0 ? "\t" : "") << answer.Columns[c];
        std::cout << "\n";
        for (const auto& row : answer.Rows) {
            for (std::size_t c = 0; c < row.size(); ++c) std::cout << (c > 0 ? "\t" : "") << Shown(row[c]);
            std::cout << "\n";
        }
    } else if (answer.RowsAffected >= 0) {
        std::cout << "(" << answer.RowsAffected << (answer.RowsAffected == 1 ? " row" : " rows") << " affected)\n";
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string serverDir, database = "master", query, input;
    bool hasQuery = false, hasInput = false;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--help" || arg == "-h") {
            std::cout << Usage;
            return 0;
        }
        auto value = [&](std::string& into) {
            if (k + 1 >= argc) return false;
            into = argv[++k];
            return true;
        };
        bool ok = true;
        if (arg == "--server-dir") ok = value(serverDir);
        else if (arg == "--database") ok = value(database);
        else if (arg == "--query") ok = hasQuery = value(query);
        else if (arg == "--input") ok = hasInput = value(input);
        else return UsageError("unexpected argument '" + arg + "'");
        if (!ok) return UsageError(arg + " needs a value");
    }
    if (hasQuery == hasInput) return UsageError("give either --query TEXT or --input FILE");
    if (database.empty()) return UsageError("--database needs a name");

    std::string script = query;
    if (hasInput) {
        std::ifstream in(input, std::ios::binary);
        if (!in) {
            std::cerr << "velmora-sql: cannot read '" << input << "'\n";
            return ExitFailure;
        }
        script.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (serverDir.empty()) serverDir = DefaultServerDirectory();

    try {
        TStandinDataAccess access(serverDir);
        const auto connection = access.CreateConnection();
        connection->SetConnectionString(
            "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=" + database +
            ";Data Source=(local)");
        connection->Open();
        for (const std::string& batch : Batches(script)) {
            for (const std::string& statement : Statements(batch)) Print(ExecuteOnStandin(*connection, statement));
        }
    } catch (const EProviderError& error) {
        std::cout.flush();
        const int number = error.Number() != 0 ? error.Number() : Standin::ServerErrorNumber(error.what());
        std::cerr << "Msg " << number << ", Level 16, State 1: " << error.what() << "\n";
        if (const auto* server = dynamic_cast<const Standin::EServerError*>(&error)) {
            for (const auto& message : server->Following()) {
                std::cerr << "Msg " << message.Number << ", Level 16, State 1: " << message.Text << "\n";
            }
        }
        return ExitFailure;
    } catch (const std::exception& error) {
        std::cout.flush();
        std::cerr << "velmora-sql: " << error.what() << "\n";
        return ExitFailure;
    }
    return 0;
}
