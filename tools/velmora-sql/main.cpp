// velmora-sql: the stand-in server's command-line client. Statements go through
// the same data access and T-SQL shim as the plug-in's, so what works here works
// for the plug-in, and a server error reads as the server words it.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iostream>
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

// Standard output could not take the answers (a full disk, a closed pipe).
struct EOutputError {};

int UsageError(const std::string& message)
{
    std::cerr << "velmora-sql: " << message << "\nTry 'velmora-sql --help'.\n";
    return ExitUsage;
}

// Cuts a script into its statements as its lines arrive: a line holding only GO (any
// case, blanks around) ends a batch, and a semicolon outside parentheses ends a
// statement, so that each one's answer is shown. A batch's statements run once the
// whole batch has been read, so that one with an unclosed quotation mark runs none of
// them, as the server compiles a batch before running it; only their texts are kept,
// never a whole batch's tokens.
class TStatementCutter {
public:
    explicit TStatementCutter(std::function<void(const std::string&)> run) : FRun(std::move(run)) {}

    void Line(std::string line)
    {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (SameText(Trim(line), "GO")) return EndBatch();
        FPending += line;
        FPending += '\n';
        if (line.find(';') != std::string::npos && FPending.size() >= FRetryAt) Cut(false);
    }

    void EndBatch()
    {
        Cut(true);
        FPending.clear();
        std::vector<std::string> statements;
        statements.swap(FStatements);
        for (const std::string& statement : statements) FRun(statement);
    }

private:
    // Takes every complete statement of the text in hand and keeps the rest. Until
    // the batch ends, text that does not tokenize yet (a string literal still open) waits
    // until it has doubled, so that a long literal is not tokenized again at every line.
    void Cut(bool batchEnds)
    {
        std::vector<Standin::TToken> tokens;
        try {
            tokens = Standin::Tokenize(FPending);
        } catch (const EProviderError&) {
            if (batchEnds) throw;
            FRetryAt = FPending.size() * 2;
            return;
        }
        FRetryAt = 0;
        std::string statement;
        int depth = 0;
        for (const Standin::TToken& token : tokens) {
            if (Standin::IsSymbol(token, "(")) ++depth;
            if (Standin::IsSymbol(token, ")")) --depth;
            if (depth == 0 && Standin::IsSymbol(token, ";")) {
                Take(statement);
                statement.clear();
                continue;
            }
            statement += token.Text;
        }
        tokens = {};
        if (batchEnds) Take(statement);
        else FPending = std::move(statement);
    }

    void Take(const std::string& statement)
    {
        if (!Standin::Significant(Standin::Tokenize(statement)).empty()) FStatements.push_back(statement);
    }

    std::function<void(const std::string&)> FRun;
    std::vector<std::string> FStatements;
    std::string FPending;
    std::size_t FRetryAt = 0;
};

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

void Print(const Standin::TStandinAnswer& answer)
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

    std::ifstream in;
    if (hasInput) {
        std::error_code error;
        if (std::filesystem::is_directory(input, error)) {
            std::cerr << "velmora-sql: cannot read '" << input << "': it is a folder, not a file\n";
            return ExitFailure;
        }
        in.open(input, std::ios::binary);
        if (!in) {
            std::cerr << "velmora-sql: cannot read '" << input << "': " << std::strerror(errno) << "\n";
            return ExitFailure;
        }
    }
    if (serverDir.empty()) serverDir = Standin::DefaultServerDirectory();

    try {
        Standin::TStandinDataAccess access(serverDir);
        const auto connection = access.CreateConnection();
        connection->SetConnectionString(
            "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=true;Initial Catalog=" + database +
            ";Data Source=(local)");
        connection->Open();
        TStatementCutter cutter([&connection](const std::string& statement) {
            Print(Standin::ExecuteOnStandin(*connection, statement));
            // Nothing more is run once its answers can no longer be shown.
            if (!std::cout) throw EOutputError();
        });
        std::istringstream queryLines(query);
        std::istream& lines = hasInput ? static_cast<std::istream&>(in) : queryLines;
        std::string line;
        while (std::getline(lines, line)) cutter.Line(std::move(line));
        if (lines.bad()) {
            std::cerr << "velmora-sql: cannot read '" << input << "'\n";
            return ExitFailure;
        }
        cutter.EndBatch();
        if (!std::cout.flush()) throw EOutputError();
    } catch (const EOutputError&) {
        std::cerr << "velmora-sql: cannot write the output: " << std::strerror(errno) << "\n";
        return ExitFailure;
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
