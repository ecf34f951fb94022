#include "standin/TsqlRules.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/Errors.h"
#include "platform/Utf.h"
#include "platform/posix/IconvTextConversion.h"
#include "preprocess/DecimalText.h"
#include "standin/SqlShim.h"
#include "standin/Sqlite.h"

namespace Velmora::Standin {

namespace {

unsigned char Folded(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c; }

// As the server compares: the shorter text is padded with blanks.
int CompareText(int lengthA, const void* a, int lengthB, const void* b, bool foldCase)
{
    const auto* x = static_cast<const unsigned char*>(a);
    const auto* y = static_cast<const unsigned char*>(b);
    const int common = lengthA < lengthB ? lengthA : lengthB;
    for (int k = 0; k < common; ++k) {
        const unsigned char p = foldCase ? Folded(x[k]) : x[k];
        const unsigned char q = foldCase ? Folded(y[k]) : y[k];
        if (p != q) return p < q ? -1 : 1;
    }
    const auto* rest = lengthA > lengthB ? x : y;
    const int sign = lengthA > lengthB ? 1 : -1;
    for (int k = common; k < (lengthA > lengthB ? lengthA : lengthB); ++k) {
        if (rest[k] != ' ') return rest[k] < ' ' ? -sign : sign;
    }
    return 0;
}

int CompareCaseInsensitive(void*, int lengthA, const void* a, int lengthB, const void* b)
{
    return CompareText(lengthA, a, lengthB, b, true);
}

int CompareCaseSensitive(void*, int lengthA, const void* a, int lengthB, const void* b)
{
    return CompareText(lengthA, a, lengthB, b, false);
}

std::string ValueText(sqlite3_value* value)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return text != nullptr ? std::string(text, static_cast<std::size_t>(sqlite3_value_bytes(value))) : std::string();
}

// Bytes of text in code page 936 as Windows converts it: a character the code
// page lacks becomes '?', one byte for each of its UTF-16 units.
std::size_t CodePage936Length(const std::string& text)
{
    bool ascii = true;
    for (const char c : text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return text.size();
    // One converter per thread: sessions may run on several, and a descriptor keeps state.
    thread_local TIconvTextConversion codePage("CP936");
    try {
        return codePage.Utf8ToAnsi(text).size();
    } catch (const EVelmoraError&) {
    }
    std::size_t length = 0;
    for (std::size_t i = 0; i < text.size();) {
        const TUtf8Char next = DecodeUtf8(text, i);
        std::size_t bytes = next.CodePoint >= 0x10000 ? 2 : 1;
        if (next.Valid) {
            try {
                bytes = codePage.Utf8ToAnsi(text.substr(i, next.Length)).size();
            } catch (const EVelmoraError&) {
            }
        }
        length += bytes;
        i += next.Length;
    }
    return length;
}

// The length the server measures: bytes in the Chinese code page for varchar,
// UTF-16 units for nvarchar; blanks at the end do not count, as the server
// drops those that do not fit without complaint.
std::size_t ServerLength(const std::string& text, bool national)
{
    std::size_t end = text.size();
    while (end > 0 && text[end - 1] == ' ') --end;
    if (!national) return CodePage936Length(text.substr(0, end));
    std::size_t length = 0;
    for (std::size_t i = 0; i < end;) {
        const TUtf8Char next = DecodeUtf8(text, i);
        length += next.Valid && next.CodePoint >= 0x10000 ? 2 : 1;
        i += next.Length;
    }
    return length;
}

struct TRange {
    const char* Type;
    double Low;
    double High;
};

// Ranges of the integer types, exact as doubles; a fraction is cut off (toward
// zero) before the check, as the server converts a decimal.
const TRange* IntegerRangeOf(const std::string& kind)
{
    static const TRange ranges[] = {
        {"int", -2147483648.0, 2147483647.0},
        {"smallint", -32768.0, 32767.0},
        {"tinyint", 0.0, 255.0},
        // 2^63 - 1 is no double; below 2^63 is exact.
        {"bigint", -0x1p63, 0x1.fffffffffffffp62},
    };
    for (const TRange& range : ranges) {
        if (kind == range.Type) return &range;
    }
    return nullptr;
}

// Money is a 64-bit count of ten-thousandths (smallmoney a 32-bit one); the
// double's value is counted exactly, not compared with a rounded bound.
bool FitsMoney(sqlite3_value* value, bool small)
{
    const std::int64_t limit = small ? std::int64_t{2147483647} : std::numeric_limits<std::int64_t>::max();
    std::int64_t units = 0;
    if (sqlite3_value_type(value) == SQLITE_INTEGER) {
        const std::int64_t whole = sqlite3_value_int64(value);
        if (whole > limit / TenThousand || whole < (-limit - 1) / TenThousand) return false;
        units = whole * TenThousand;
    } else {
        try {
            units = ToTenThousandths(sqlite3_value_double(value));
        } catch (const EVelmoraError&) {
            return false;
        }
    }
    return units <= limit && units >= -limit - 1;
}

void Fail(sqlite3_context* context, const std::string& message)
{
    sqlite3_result_error(context, message.c_str(), static_cast<int>(message.size()));
}

// tsql_check(kind, length, value): 1 when the column's type holds value; otherwise
// the statement fails with the server's error.
void CheckFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    sqlite3_value* value = values[2];
    const int type = sqlite3_value_type(value);
    if (type == SQLITE_NULL) {
        sqlite3_result_int(context, 1);
        return;
    }
    const std::string kind = ValueText(values[0]);
    if (kind == "varchar" || kind == "nvarchar") {
        const long long limit = sqlite3_value_int64(values[1]);
        if (limit > 0 && ServerLength(ValueText(value), kind == "nvarchar") > static_cast<std::size_t>(limit)) {
            Fail(context, TruncationMessage());
            return;
        }
    } else if (kind == "bit" || kind == "money" || kind == "smallmoney" || IntegerRangeOf(kind) != nullptr) {
        if (type == SQLITE_TEXT || type == SQLITE_BLOB) {
            const std::string text = ValueText(value);
            if (kind == "bit" && (SameText(text, "true") || SameText(text, "false"))) {
                sqlite3_result_int(context, 1);
                return;
            }
            if (kind == "money" || kind == "smallmoney") {
                Fail(context, "Cannot convert a char value to money. The char value has incorrect syntax.");
            } else {
                Fail(context, "Conversion failed when converting the varchar value '" + text + "' to data type " +
                                  kind + ".");
            }
            return;
        }
        bool fits = true;
        if (kind == "money" || kind == "smallmoney") {
            fits = FitsMoney(value, kind == "smallmoney");
        } else if (const TRange* range = IntegerRangeOf(kind)) {
            // Every 64-bit integer is a bigint; the other ranges lie far inside 2^53.
            const double number = type == SQLITE_INTEGER ? static_cast<double>(sqlite3_value_int64(value))
                                                         : std::trunc(sqlite3_value_double(value));
            fits = (kind == "bigint" && type == SQLITE_INTEGER) || (number >= range->Low && number <= range->High);
        }
        if (!fits) {
            Fail(context, OverflowMessage(kind));
            return;
        }
    }
    sqlite3_result_int(context, 1);
}

// Half away from zero at the fourth decimal of the number as it was written: the
// double's shortest faithful decimal (15 digits), not its binary expansion.
double RoundMoney(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.14e", value);
    const bool negative = text[0] == '-';
    const char* p = text + (negative ? 1 : 0);
    std::int64_t digits = *p - '0';
    for (p += 2; *p >= '0' && *p <= '9'; ++p) digits = digits * 10 + (*p - '0');
    const int exponent = std::atoi(p + 1);
    // value = digits * 10^(exponent - 14); in ten-thousandths: digits * 10^(exponent - 10).
    const int shift = 10 - exponent;
    if (shift <= 0) return value;
    if (shift > 15) return 0.0;
    std::int64_t scale = 1;
    for (int k = 0; k < shift; ++k) scale *= 10;
    std::int64_t units = digits / scale;
    if (2 * (digits % scale) >= scale) ++units;
    const double rounded = static_cast<double>(units) / 10000.0;
    return negative ? -rounded : rounded;
}

// tsql_stored(kind, value): what a money, bit or integer column keeps of value.
void StoredFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    sqlite3_value* value = values[1];
    const int type = sqlite3_value_type(value);
    const std::string kind = ValueText(values[0]);
    if (type == SQLITE_NULL) {
        sqlite3_result_null(context);
    } else if (kind == "bit") {
        const bool set = type == SQLITE_TEXT ? SameText(ValueText(value), "true") || sqlite3_value_double(value) != 0
                                             : sqlite3_value_double(value) != 0;
        sqlite3_result_int(context, set ? 1 : 0);
    } else if (kind == "integer" && type == SQLITE_FLOAT) {
        // A decimal stored in an integer column loses its fraction, as a conversion to int does.
        const double whole = std::trunc(sqlite3_value_double(value));
        if (whole >= -0x1p63 && whole < 0x1p63) {
            sqlite3_result_int64(context, static_cast<sqlite3_int64>(whole));
        } else {
            sqlite3_result_value(context, value);
        }
    } else if (kind == "money" && type == SQLITE_FLOAT) {
        sqlite3_result_double(context, RoundMoney(sqlite3_value_double(value)));
    } else {
        sqlite3_result_value(context, value);
    }
}

// tsql_view_columns_unique(view, select): 1, or the server's error for a view
// whose select names a column twice.
void ViewColumnsFunction(sqlite3_context* context, int, sqlite3_value** values)
{
    sqlite3* db = sqlite3_context_db_handle(context);
    const std::string view = ValueText(values[0]);
    const std::string select = ValueText(values[1]);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, select.c_str(), static_cast<int>(select.size()), &statement, nullptr) != SQLITE_OK) {
        Fail(context, sqlite3_errmsg(db));
        return;
    }
    std::vector<std::string> names;
    for (int c = 0; c < sqlite3_column_count(statement); ++c) {
        const char* name = sqlite3_column_name(statement, c);
        names.emplace_back(name != nullptr ? name : "");
    }
    sqlite3_finalize(statement);
    for (std::size_t a = 0; a < names.size(); ++a) {
        for (std::size_t b = a + 1; b < names.size(); ++b) {
            if (SameText(names[a], names[b])) {
                Fail(context, "Column names in each view or function must be unique. Column name '" + names[b] +
                                  "' in view or function '" + view + "' is specified more than once.");
                return;
            }
        }
    }
    sqlite3_result_int(context, 1);
}

void Exec(sqlite3* db, const std::string& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error != nullptr ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw EProviderError(message, ServerErrorNumber(message));
    }
}

// Tables made outside the shim (a backup script's SQLite dialect) get the
// collation, the checks and the triggers the shim gives the tables it creates.
// Their definitions are rewritten in place, which SQLite allows for changes
// that leave the stored rows as they are; indexes are rebuilt for the new collation.
void AdoptTables(sqlite3* db)
{
    if (sqlite3_db_readonly(db, "main") != 0) return;
    struct TPending {
        std::string Name;
        TTranslation Translation;
    };
    std::vector<TPending> pending;
    {
        TSqliteStatement tables(db, "SELECT name, sql FROM main.sqlite_master WHERE type = 'table' AND sql IS NOT NULL");
        while (tables.Step()) {
            const std::string name = tables.Text(0);
            const std::string sql = tables.Text(1);
            // The server's own catalog is no user database.
            if (SameText(name, "sysdatabases")) return;
            if (LowerAscii(name).rfind("sqlite_", 0) == 0 || sql.find("tsql_check(") != std::string::npos) continue;
            TTranslation translation = TranslateStatement(sql);
            if (translation.Statement == sql && translation.Companions.empty()) continue;
            pending.push_back(TPending{name, std::move(translation)});
        }
    }
    if (pending.empty()) return;
    Exec(db, "BEGIN IMMEDIATE");
    try {
        long long version = 0;
        {
            TSqliteStatement read(db, "PRAGMA schema_version");
            if (read.Step()) version = read.Integer(0);
        }
        Exec(db, "PRAGMA writable_schema = ON");
        {
            TSqliteStatement update(db, "UPDATE main.sqlite_master SET sql = ?1 WHERE type = 'table' AND name = ?2");
            for (const TPending& table : pending) {
                update.Bind(1, table.Translation.Statement);
                update.Bind(2, table.Name);
                update.Step();
                update.Reset();
            }
        }
        Exec(db, "PRAGMA schema_version = " + std::to_string(version + 1));
        Exec(db, "PRAGMA writable_schema = OFF");
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_exec(db, "PRAGMA writable_schema = OFF", nullptr, nullptr, nullptr);
        throw;
    }
    Exec(db, "BEGIN IMMEDIATE");
    try {
        for (const TPending& table : pending) {
            Exec(db, "REINDEX " + QuoteName(table.Name));
            for (const std::string& statement : table.Translation.Companions) Exec(db, statement);
        }
        Exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace

std::string TruncationMessage() { return "String or binary data would be truncated."; }

std::string OverflowMessage(const std::string& typeName)
{
    return "Arithmetic overflow error converting expression to data type " + typeName + ".";
}

std::string AdHocCatalogUpdateMessage() { return "Ad hoc updates to system catalogs are not allowed."; }

int ServerErrorNumber(const std::string& message)
{
    static const std::pair<const char*, int> known[] = {
        {"String or binary data would be truncated.", ErrorTruncation},
        {"Arithmetic overflow error converting", ErrorArithmeticOverflow},
        {"Column names in each view or function must be unique.", ErrorViewColumnsRepeat},
        {"Conversion failed when converting", ErrorConversion},
        {"Cannot convert a char value to money.", 235},
        {"Incorrect syntax near", ErrorSyntax},
        {"Invalid object name", ErrorInvalidObject},
        {"Invalid column name", ErrorInvalidColumn},
        {"Unclosed quotation mark", 105},
        {"Missing end comment mark", 113},
        {"Cannot open database", 4060},
        {"SQL Server does not exist or access denied.", 17},
    };
    for (const auto& [text, number] : known) {
        if (message.rfind(text, 0) == 0) return number;
    }
    return 0;
}

void RegisterTsqlRules(sqlite3* db)
{
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
    int rc = sqlite3_create_collation(db, CaseInsensitiveCollation, SQLITE_UTF8, nullptr, CompareCaseInsensitive);
    if (rc == SQLITE_OK) rc = sqlite3_create_collation(db, CaseSensitiveCollation, SQLITE_UTF8, nullptr, CompareCaseSensitive);
    if (rc == SQLITE_OK) rc = sqlite3_create_function(db, "tsql_check", 3, flags, nullptr, CheckFunction, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_create_function(db, "tsql_stored", 2, flags, nullptr, StoredFunction, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_create_function(db, "tsql_view_columns_unique", 2, SQLITE_UTF8, nullptr, ViewColumnsFunction,
                                     nullptr, nullptr);
    }
    if (rc != SQLITE_OK) RaiseSqliteError(db, rc);
    // An automatic index misses rows whose texts differ only in trailing blanks
    // (seen with SQLite 3.40), though the column's collation makes them equal.
    Exec(db, "PRAGMA automatic_index = OFF");
    AdoptTables(db);
}

}  // namespace Velmora::Standin
