// The stand-in's SQL behaviour, written as scripts under sql/ in the record form
// of SQLite's and DuckDB's test suites, so a database engineer can review each
// case as plain T-SQL and replay the file against a real server:
//
//   statement ok                  the statement succeeds
//   statement error 8152          it fails with that server message number
//   query ITR [nosort|rowsort]    a column each (Integer, Real, Text), then after
//   ----                          "----" a line per row, values between tabs:
//                                 NULL, (empty) for '', numbers as the client reads them
//
// A blank line ends a record; a line starting with # is a comment. Each file runs
// in a database of its own, through the adapter the plug-in connects with.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "StandinTestSupport.h"

namespace Velmora::StandinTests {
namespace {

struct TRecord {
    int Line = 0;
    std::string Kind, Expect;  // "statement" with "ok" or a number; "query" with its column types
    bool SortRows = false;
    std::string Sql;
    std::vector<std::string> Rows;
};

std::vector<TRecord> ParseScript(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::vector<TRecord> records;
    for (std::size_t at = 0; at < lines.size();) {
        if (lines[at].empty() || lines[at][0] == '#') {
            ++at;
            continue;
        }
        TRecord record;
        record.Line = static_cast<int>(at + 1);
        std::istringstream header(lines[at]);
        std::string word;
        header >> record.Kind >> record.Expect;
        if (record.Kind == "statement" && record.Expect == "error") header >> record.Expect;
        record.SortRows = header >> word && word == "rowsort";
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

// The row as a line of the script, or why it cannot be one.
std::string RowText(const std::vector<TFieldValue>& values, const std::string& types)
{
    static const std::map<char, TFieldValue::TKind> kinds = {
        {'I', TFieldValue::TKind::Integer}, {'R', TFieldValue::TKind::Float}, {'T', TFieldValue::TKind::Text}};
    if (values.size() != types.size()) return std::to_string(values.size()) + " columns";
    std::string row;
    for (std::size_t c = 0; c < values.size(); ++c) {
        const auto kind = kinds.find(types[c]);
        std::string text = values[c].IsNull() ? "NULL" : values[c].AsString();
        if (text.empty()) text = "(empty)";
        if (!values[c].IsNull() && (kind == kinds.end() || values[c].Kind() != kind->second)) {
            text += " (not of type " + types.substr(c, 1) + ")";
        }
        row += (c == 0 ? "" : "\t") + text;
    }
    return row;
}

std::vector<std::string> ScriptNames()
{
    std::vector<std::string> names;
    std::istringstream list(VELMORA_SQL_SCRIPTS);
    for (std::string name; std::getline(list, name, ',');) names.push_back(name);
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
        if (record.Kind != "statement" && record.Kind != "query") {
            ADD_FAILURE_AT(file.c_str(), record.Line) << "not a record: " << record.Kind;
            continue;
        }
        std::string outcome = "ok";
        std::vector<std::string> rows;
        try {
            if (record.Kind == "statement") {
                Exec(*connection, record.Sql);
            } else {
                for (const auto& values : Standin::ExecuteOnStandin(*connection, record.Sql).Rows) {
                    rows.push_back(RowText(values, record.Expect));
                }
            }
        } catch (const EProviderError& error) {
            outcome = std::to_string(error.Number()) + ": " + error.what();
        }
        if (record.Kind == "statement") {
            if (outcome.rfind(record.Expect == "ok" ? "ok" : record.Expect + ":", 0) != 0) {
                ADD_FAILURE_AT(file.c_str(), record.Line) << "expected " << record.Expect << ", got " << outcome;
            }
        } else if (outcome != "ok") {
            ADD_FAILURE_AT(file.c_str(), record.Line) << "query failed with " << outcome;
        } else {
            std::vector<std::string> expected = record.Rows;
            if (record.SortRows) {
                std::sort(rows.begin(), rows.end());
                std::sort(expected.begin(), expected.end());
            }
            std::string got;
            for (const std::string& row : rows) got += "\n" + row;
            if (rows != expected) ADD_FAILURE_AT(file.c_str(), record.Line) << "rows differ; got:" << got;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, SqlScriptTest, ::testing::ValuesIn(ScriptNames()),
                         [](const ::testing::TestParamInfo<std::string>& script) {
                             return std::filesystem::path(script.param).stem().string();
                         });

}  // namespace
}  // namespace Velmora::StandinTests
