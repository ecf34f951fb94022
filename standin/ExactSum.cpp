#include "standin/ExactSum.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

namespace Velmora::Standin {

namespace {

constexpr std::int64_t Scale = 10000;  // money keeps four decimals

// Wide enough that sums of 64-bit inputs, and of their ten-thousandths, never
// overflow on the way: whether the sum fits its type is asked of the frame's sum
// as it stands, so a value that has left a moving window leaves no trace.
__extension__ typedef __int128 TWide;

// A TWide kept as bytes: SQLite aligns an aggregate's state to 8 bytes only,
// where a TWide asks for 16.
struct TWideSum {
    unsigned char Bytes[sizeof(TWide)];

    TWide Value() const
    {
        TWide value;
        std::memcpy(&value, Bytes, sizeof value);
        return value;
    }
    void Add(TWide addend)
    {
        const TWide sum = Value() + addend;
        std::memcpy(Bytes, &sum, sizeof sum);
    }
};

bool FitsInt64(TWide value)
{
    return value >= std::numeric_limits<std::int64_t>::min() && value <= std::numeric_limits<std::int64_t>::max();
}

// Three sums at once, since which one answers is known only at the end: the
// integers (when every input is one, the result stays an integer, as SQLite's
// sum does), the ten-thousandths (when every input is a whole number of them),
// and a compensated float sum for everything else.
// SQLite hands the state out zero-filled, which is its starting value; it is kept
// a trivial type so that those bytes are one.
struct TExactSum {
    std::int64_t Count;        // inputs that are not NULL
    std::int64_t NonIntegers;  // of those, inputs that are not integers
    std::int64_t NotScaled;    // of those, inputs that are no whole number of ten-thousandths
    TWideSum Integers;
    TWideSum Scaled;
    double Sum;
    double Compensation;

    void AddFloat(double v)
    {
        // Neumaier's variant of Kahan summation: also right when v outweighs the sum.
        const double t = Sum + v;
        if (std::fabs(Sum) >= std::fabs(v)) {
            Compensation += (Sum - t) + v;
        } else {
            Compensation += (v - t) + Sum;
        }
        Sum = t;
    }

    // sign: +1 adds the value, -1 takes it away again (a window moving on).
    void Take(sqlite3_value* value, int sign)
    {
        const int type = sqlite3_value_numeric_type(value);
        if (type == SQLITE_NULL) return;
        Count += sign;
        if (type == SQLITE_INTEGER) {
            const std::int64_t v = sqlite3_value_int64(value);
            Integers.Add(sign * TWide{v});
            Scaled.Add(sign * TWide{v} * Scale);
            AddFloat(sign * static_cast<double>(v));
            return;
        }
        NonIntegers += sign;
        // Text that is no number counts as 0.0, as it does for SQLite's own sum.
        const double v = sqlite3_value_double(value);
        AddFloat(sign * v);
        const double scaled = v * static_cast<double>(Scale);
        // 9.2e18 is just under 2^63; beyond it (or NaN) no integer can hold the value.
        if (!(std::fabs(scaled) < 9.2e18)) {
            NotScaled += sign;
            return;
        }
        const double whole = std::nearbyint(scaled);
        // Money read back from a double is off by a rounding error of the double
        // (a few parts in 2^53), never by more; anything further off is no money.
        if (std::fabs(scaled - whole) > std::fabs(scaled) * 0x1p-50) {
            NotScaled += sign;
            return;
        }
        Scaled.Add(sign * static_cast<TWide>(static_cast<std::int64_t>(whole)));
    }
};

// scaled / 10000 as the double nearest to it.
double Quotient(std::int64_t scaled)
{
    constexpr std::int64_t ExactInDouble = std::int64_t{1} << 53;
    if (scaled >= -ExactInDouble && scaled <= ExactInDouble) {
        // Both operands are exact, and IEEE division rounds its result once.
        return static_cast<double>(scaled) / static_cast<double>(Scale);
    }
    // Beyond 2^53 the integer itself would be rounded first; the decimal text is
    // converted with one rounding instead.
    const bool negative = scaled < 0;
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(scaled) : static_cast<std::uint64_t>(scaled);
    std::string fraction = std::to_string(magnitude % Scale);
    fraction.insert(0, 4 - fraction.size(), '0');
    const std::string text = (negative ? "-" : "") + std::to_string(magnitude / Scale) + "." + fraction;
    double result = 0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

void Step(sqlite3_context* context, int, sqlite3_value** values)
{
    auto* sum = static_cast<TExactSum*>(sqlite3_aggregate_context(context, sizeof(TExactSum)));
    if (sum == nullptr) {
        sqlite3_result_error_nomem(context);
        return;
    }
    sum->Take(values[0], 1);
}

void Inverse(sqlite3_context* context, int, sqlite3_value** values)
{
    auto* sum = static_cast<TExactSum*>(sqlite3_aggregate_context(context, sizeof(TExactSum)));
    if (sum == nullptr) {
        sqlite3_result_error_nomem(context);
        return;
    }
    sum->Take(values[0], -1);
}

void Value(sqlite3_context* context)
{
    const auto* sum = static_cast<const TExactSum*>(sqlite3_aggregate_context(context, 0));
    // No rows, or only NULLs: NULL, as SQL has it.
    if (sum == nullptr || sum->Count == 0) {
        sqlite3_result_null(context);
    } else if (sum->NonIntegers == 0) {
        if (!FitsInt64(sum->Integers.Value())) {
            sqlite3_result_error(context, "Arithmetic overflow error converting expression to data type bigint.", -1);
        } else {
            sqlite3_result_int64(context, static_cast<std::int64_t>(sum->Integers.Value()));
        }
    } else if (sum->NotScaled == 0 && FitsInt64(sum->Scaled.Value())) {
        sqlite3_result_double(context, Quotient(static_cast<std::int64_t>(sum->Scaled.Value())));
    } else if (sum->NotScaled == 0) {
        // Ten-thousandths beyond 64 bits are beyond money's range.
        sqlite3_result_error(context, "Arithmetic overflow error converting expression to data type money.", -1);
    } else {
        sqlite3_result_double(context, sum->Sum + sum->Compensation);
    }
}

}  // namespace

bool RegisterExactSum(sqlite3* db)
{
    static_assert(std::is_trivial_v<TExactSum>, "the state lives in memory SQLite zero-fills");
    return sqlite3_create_window_function(db, ExactSumName, 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS,
                                          nullptr, Step, Value, Value, Inverse, nullptr) == SQLITE_OK;
}

}  // namespace Velmora::Standin
