// Money arithmetic on arbitrary numbers: both scaling paths agree, decimal texts
// read back to the amount they came from, and the exact SUM adds whole
// ten-thousandths without losing one, as an aggregate and as a window.

#include <sqlite3.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "platform/Errors.h"
#include "preprocess/DecimalText.h"
#include "standin/ExactSum.h"

using namespace Velmora;

namespace {

class TInput {
public:
    TInput(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}
    bool Empty() const { return FSize == 0; }
    template <typename T>
    T Take()
    {
        T value{};
        const std::size_t count = FSize < sizeof(T) ? FSize : sizeof(T);
        std::memcpy(&value, FData, count);
        FData += count;
        FSize -= count;
        return value;
    }

private:
    const std::uint8_t* FData;
    std::size_t FSize;
};

void Check(bool holds)
{
    if (!holds) std::abort();
}

// The scaled value, or a flag when the call refused it.
struct TScaled {
    bool Refused = false;
    std::int64_t Value = 0;
    bool operator==(const TScaled& other) const { return Refused == other.Refused && Value == other.Value; }
};

template <typename TCall>
TScaled Scaled(TCall call)
{
    try {
        return TScaled{false, call()};
    } catch (const EVelmoraError&) {
        return TScaled{true, 0};
    }
}

void ScalingPathsAgree(TInput& input)
{
    const double a = input.Take<double>();
    const double b = input.Take<double>();
    using namespace DecimalDetail;
    if (ExtendedPrecisionInEffect()) {
        Check(Scaled([&] { return ToTenThousandthsExtended(a); }) == Scaled([&] { return ToTenThousandthsDouble(a); }));
        Check(Scaled([&] { return DifferenceToTenThousandthsExtended(a, b); }) ==
              Scaled([&] { return DifferenceToTenThousandthsDouble(a, b); }));
    }
}

// "-123.4500" style text back to ten-thousandths, digit by digit.
bool ParseTenThousandths(const std::string& text, std::int64_t& amount)
{
    std::size_t k = 0;
    const bool negative = k < text.size() && text[k] == '-';
    if (negative) ++k;
    __int128 value = 0;
    int decimals = -1;
    for (; k < text.size(); ++k) {
        if (text[k] == '.' && decimals < 0) {
            decimals = 0;
            continue;
        }
        if (text[k] < '0' || text[k] > '9') return false;
        value = value * 10 + (text[k] - '0');
        if (decimals >= 0) ++decimals;
    }
    if (decimals > 4) return false;
    for (int d = decimals < 0 ? 0 : decimals; d < 4; ++d) value *= 10;
    amount = static_cast<std::int64_t>(negative ? -value : value);
    return true;
}

void TextReadsBack(TInput& input)
{
    // Up to 15 digits every amount is exact.
    constexpr std::int64_t Limit = 1000000000000000;
    const std::int64_t amount = input.Take<std::int64_t>() % Limit;
    std::int64_t parsed = 0;
    Check(ParseTenThousandths(TenThousandthsToText(amount), parsed) && parsed == amount);

    const double value = input.Take<double>();
    if (!std::isfinite(value)) return;
    const std::string text = FloatToText(value);
    const long double back = std::strtold(text.c_str(), nullptr);
    Check(std::fabs(back - static_cast<long double>(value)) <= std::fabs(static_cast<long double>(value)) * 1e-14L);
}

// The exact SUM over values of up to 2^40 ten-thousandths, which a double holds
// exactly in total; the aggregate and a sliding window both come out exact.
void SumIsExact(TInput& input)
{
    sqlite3* db = nullptr;
    Check(sqlite3_open(":memory:", &db) == SQLITE_OK && Standin::RegisterExactSum(db));
    sqlite3_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, v)", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t (v) VALUES (?)", -1, &insert, nullptr);
    const bool integers = (input.Take<std::uint8_t>() & 1) != 0;
    std::vector<std::int64_t> amounts;
    while (!input.Empty() && amounts.size() < 64) {
        const std::int64_t amount = input.Take<std::int64_t>() % (std::int64_t{1} << 40);
        amounts.push_back(amount);
        if (integers) {
            sqlite3_bind_int64(insert, 1, amount);
        } else {
            sqlite3_bind_double(insert, 1, static_cast<double>(amount) / 10000.0);
        }
        sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);

    auto expectExact = [&](sqlite3_stmt* statement, std::int64_t expected) {
        if (integers) {
            Check(sqlite3_column_type(statement, 0) == SQLITE_INTEGER && sqlite3_column_int64(statement, 0) == expected);
        } else {
            Check(std::llround(sqlite3_column_double(statement, 0) * 10000.0) == expected);
        }
    };

    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT velmora_sum(v) FROM t", -1, &query, nullptr);
    Check(sqlite3_step(query) == SQLITE_ROW);
    std::int64_t total = 0;
    for (std::int64_t amount : amounts) total += amount;
    if (amounts.empty()) {
        Check(sqlite3_column_type(query, 0) == SQLITE_NULL);
    } else {
        expectExact(query, total);
    }
    sqlite3_finalize(query);

    constexpr std::size_t Frame = 3;
    sqlite3_prepare_v2(db, "SELECT velmora_sum(v) OVER (ORDER BY id ROWS BETWEEN 2 PRECEDING AND CURRENT ROW) FROM t",
                       -1, &query, nullptr);
    for (std::size_t row = 0; row < amounts.size(); ++row) {
        Check(sqlite3_step(query) == SQLITE_ROW);
        std::int64_t expected = 0;
        for (std::size_t k = row + 1 >= Frame ? row + 1 - Frame : 0; k <= row; ++k) expected += amounts[k];
        expectExact(query, expected);
    }
    Check(sqlite3_step(query) == SQLITE_DONE);
    sqlite3_finalize(query);
    sqlite3_close(db);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TInput input(data, size);
    switch (input.Take<std::uint8_t>() % 3) {
    case 0:
        ScalingPathsAgree(input);
        break;
    case 1:
        TextReadsBack(input);
        break;
    default:
        SumIsExact(input);
        break;
    }
    return 0;
}
