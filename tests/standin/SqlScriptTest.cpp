// The stand-in's SQL behaviour, written as scripts under sql/ in the record form
// SQLite's and DuckDB's test suites use, so a database engineer can review each
// case as plain T-SQL and replay the file against a real server:
//
//   statement ok                  the statement succeeds
//   statement error 8152          the statement fails with that server message number
//   query ITR [nosort|rowsort]    one letter per column (I integer, R float, T text),
//   <statement>                   then "----" and one line per row, its values
//   ----                          separated by tabs: NULL for a null, (empty)
//   <rows>                        for an empty text, a number as the client reads it
//
// A blank line ends a record; a line starting with # is a comment. Each file
// runs in a database of its own, through the adapter the plug-in connects with.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "StandinTestSupport.h"

namespace Velmora::StandinTests {
namespace {

struct TRecord {
    enum class TKind { Statement, Query } Kind = TKind::Statement;
    int Line = 0;
    int ErrorNumber = 0;  // for a statement: 0 when it must succeed
    std::string Types;
    bool SortRows = false;
    std::string Sql;
    std::vector<std::string> Rows;
};

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// Records in file order; a header the driver does not know fails the test at its line.
std::vector<TRecord> ParseScript(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    std::vector<TRecord> records;
    std::size_t at = 0;
    while (at < lines.size()) {
        if (lines[at].empty() || lines[at][0] == '#') {
            ++at;
            continue;
        }
        TRecord record;
        record.Line = static_cast<int>(at + 1);
        const std::vector<std::string> header = Split(lines[at], ' ');
        if (header.size() == 2 && header[0] == "statement" && header[1] == "ok") {
        } else if (header.size() == 3 && header[0] == "statement" && header[1] == "error") {
            record.ErrorNumber = std::atoi(header[2].c_str());
        } else if (header.size() >= 2 && header.size() <= 3 && header[0] == "query") {
            record.Kind = TRecord::TKind::Query;
            record.Types = header[1];
            record.SortRows = header.size() == 3 && header[2] == "rowsort";
        } else {
            ADD_FAILURE_AT(path.string().c_str(), record.Line) << "unknown record: " << lines[at];
            return records;
        }
        for (++at; at < lines.size() && !lines[at].empty() && lines[at] != "----"; ++at) {
            record.Sql += (record.Sql.empty() ? "" : "\n") + lines[at];
        }
        if (at < lines.size() && lines[at] == "----") {
            for (++at; at < lines.size() && !lines[at].empty(); ++at) record.Rows.push_back(lines[at]);
        }
        records.push_back(record);
    }
    return records;
}

std::string ValueText(const TFieldValue& value)
{
    if (value.IsNull()) return "NULL";
    const std::string text = value.AsString();
    return text.empty() ? "(empty)" : text;
}

bool HasType(const TFieldValue& value, char type)
{
    switch (type) {
    case 'I': return value.IsNull() || value.Kind() == TFieldValue::TKind::Integer;
    case 'R': return value.IsNull() || value.Kind() == TFieldValue::TKind::Float;
    case 'T': return value.IsNull() || value.Kind() == TFieldValue::TKind::Text;
    default: return false;
    }
}

std::vector<std::string> ScriptNames()
{
    std::vector<std::string> names = Split(VELMORA_SQL_SCRIPTS, ',');
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    return names;
}

class SqlScriptTest : public TStandinTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(SqlScriptTest, EveryRecordGetsItsAnswer)
{
    const std::filesystem::path path = std::filesystem::path(VELMORA_SQL_SCRIPT_DIR) / GetParam();
    const std::string file = path.string();
    Exec(*Connect(MasterConnection), "CREATE DATABASE sqltest");
    const std::unique_ptr<IConnection> connection = Connect(ConnectionTo("sqltest"));

    const std::vector<TRecord> records = ParseScript(path);
    ASSERT_FALSE(records.empty()) << file << " holds no record";
    for (const TRecord& record : records) {
        if (record.Kind == TRecord::TKind::Statement) {
            int number = -1;
            std::string message;
            try {
                Exec(*connection, record.Sql);
            } catch (const EProviderError& error) {
                number = error.Number();
                message = error.what();
            }
            if (record.ErrorNumber == 0 && number != -1) {
                ADD_FAILURE_AT(file.c_str(), record.Line) << "failed with " << number << ": " << message;
            } else if (record.ErrorNumber != 0 && number != record.ErrorNumber) {
                ADD_FAILURE_AT(file.c_str(), record.Line)
                    << "expected error " << record.ErrorNumber << ", got "
                    << (number == -1 ? std::string("success") : std::to_string(number) + ": " + message);
            }
            continue;
        }
        TStandinAnswer answer;
        try {
            answer = ExecuteOnStandin(*connection, record.Sql);
        } catch (const EProviderError& error) {
            ADD_FAILURE_AT(file.c_str(), record.Line) << "query failed with " << error.Number() << ": " << error.what();
            continue;
        }
        std::vector<std::string> rows;
        for (const std::vector<TFieldValue>& values : answer.Rows) {
            std::string row;
            for (std::size_t c = 0; c < values.size(); ++c) {
                const char type = c < record.Types.size() ? record.Types[c] : '?';
                if (!HasType(values[c], type)) {
                    ADD_FAILURE_AT(file.c_str(), record.Line)
                        << "column " << c + 1 << " holds " << ValueText(values[c]) << ", not of type " << type;
                }
                row += (c == 0 ? "" : "\t") + ValueText(values[c]);
            }
            rows.push_back(row);
        }
        std::vector<std::string> expected = record.Rows;
        if (record.SortRows) {
            std::sort(rows.begin(), rows.end());
            std::sort(expected.begin(), expected.end());
        }
        if (answer.Columns.size() != record.Types.size()) {
            ADD_FAILURE_AT(file.c_str(), record.Line)
                << answer.Columns.size() << " columns, " << record.Types.size() << " expected";
        }
        if (rows != expected) {
            std::string got;
            for (const std::string& row : rows) got += "\n" + row;
            ADD_FAILURE_AT(file.c_str(), record.Line) << "rows differ; got:" << got;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, SqlScriptTest, ::testing::ValuesIn(ScriptNames()),
                         [](const ::testing::TestParamInfo<std::string>& script) {
                             return std::filesystem::path(script.param).stem().string();
                         });

}  // namespace
}  // namespace Velmora::StandinTests
