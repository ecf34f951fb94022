#include "preprocess/DecimalText.h"

#include <cmath>
#include <limits>
#include <locale>
#include <sstream>

#include "platform/Errors.h"

namespace Velmora {

namespace {

[[noreturn]] void ThrowOutOfRange() { throw EVelmoraError("金额超出可计算的范围"); }

}  // namespace

namespace DecimalDetail {

bool ExtendedPrecisionInEffect()
{
    // MSVC maps long double to double. And on x87 the precision is a setting of
    // the thread, which belongs to the host: one that runs with 53-bit precision
    // (the Windows default for 64-bit programs, and what some libraries set)
    // turns long double arithmetic into double arithmetic. So it is measured at
    // the moment of use rather than assumed.
    if constexpr (std::numeric_limits<long double>::digits < 64) {
        return false;
    } else {
        volatile long double one = 1.0L;
        volatile long double tiny = 0x1p-60L;
        volatile long double sum = one + tiny;
        return sum != one;
    }
}

std::int64_t RoundHalfEven(long double value)
{
    if (!std::isfinite(value)) ThrowOutOfRange();
    // 2^63: the first magnitude that no longer fits.
    constexpr long double Limit = 9223372036854775808.0L;
    const bool negative = value < 0;
    const long double magnitude = negative ? -value : value;
    if (magnitude >= Limit) ThrowOutOfRange();
    // For a non-negative value the fraction below is exact; the sign is put back at
    // the end, and ties to even are symmetric, so nothing is lost by it.
    long double whole = std::floor(magnitude);
    const long double fraction = magnitude - whole;
    if (fraction > 0.5L || (fraction == 0.5L && std::fmod(whole, 2.0L) != 0)) whole += 1;
    if (whole >= Limit) ThrowOutOfRange();
    const auto result = static_cast<std::int64_t>(whole);
    return negative ? -result : result;
}

std::int64_t RoundHalfEven(double hi, double lo)
{
    // The exact value is hi + lo. Its whole and fractional parts are split off each
    // double separately (x − trunc(x) is exact), and the two fractions are added
    // without error, so the comparisons with the halfway point below are exact.
    // This relies on plain double arithmetic (SSE2, no fused or wider evaluation),
    // as on every target that lacks an extended long double.
    if (!std::isfinite(hi) || !std::isfinite(lo)) ThrowOutOfRange();
    constexpr double Limit = 9223372036854775808.0;  // 2^63
    if (std::fabs(hi) >= Limit || std::fabs(lo) >= Limit / 2) ThrowOutOfRange();
    const double wholeHi = std::trunc(hi);
    const double wholeLo = std::trunc(lo);
    const double fractionHi = hi - wholeHi;
    const double fractionLo = lo - wholeLo;
    const std::int64_t whole = CheckedAdd(static_cast<std::int64_t>(wholeHi), static_cast<std::int64_t>(wholeLo));

    // Error-free sum: sum + error == fractionHi + fractionLo exactly, sum the nearest double.
    const double sum = fractionHi + fractionLo;
    const double back = sum - fractionHi;
    const double error = (fractionHi - (sum - back)) + (fractionLo - back);

    // Since sum is the nearest double to the exact fraction, it compares with any
    // double the way the exact fraction does, except when equal: then error decides.
    double floorPart = std::floor(sum);
    if (sum == floorPart && error < 0) floorPart -= 1;
    const double half = floorPart + 0.5;
    auto step = static_cast<std::int64_t>(floorPart);
    if (sum > half || (sum == half && error > 0)) {
        step += 1;
    } else if (sum == half && error == 0) {
        if ((CheckedAdd(whole, step) & 1) != 0) step += 1;
    }
    return CheckedAdd(whole, step);
}

std::int64_t ToTenThousandthsExtended(double value)
{
    return RoundHalfEven(static_cast<long double>(value) * static_cast<long double>(TenThousand));
}

std::int64_t DifferenceToTenThousandthsExtended(double minuend, double subtrahend)
{
    const long double difference = static_cast<long double>(minuend) - static_cast<long double>(subtrahend);
    return RoundHalfEven(difference * static_cast<long double>(TenThousand));
}

std::int64_t ToTenThousandthsDouble(double value)
{
    const double product = value * static_cast<double>(TenThousand);
    if (!std::isfinite(product)) ThrowOutOfRange();
    // The rounding error of the product, exactly: product + error == value × 10000.
    const double error = std::fma(value, static_cast<double>(TenThousand), -product);
    return RoundHalfEven(product, error);
}

std::int64_t DifferenceToTenThousandthsDouble(double minuend, double subtrahend)
{
    return CheckedSubtract(ToTenThousandthsDouble(minuend), ToTenThousandthsDouble(subtrahend));
}

}  // namespace DecimalDetail

std::int64_t ToTenThousandths(double value)
{
    if (DecimalDetail::ExtendedPrecisionInEffect()) {
        return DecimalDetail::ToTenThousandthsExtended(value);
    } else {
        return DecimalDetail::ToTenThousandthsDouble(value);
    }
}

std::int64_t DifferenceToTenThousandths(double minuend, double subtrahend)
{
    if (DecimalDetail::ExtendedPrecisionInEffect()) {
        return DecimalDetail::DifferenceToTenThousandthsExtended(minuend, subtrahend);
    } else {
        return DecimalDetail::DifferenceToTenThousandthsDouble(minuend, subtrahend);
    }
}

std::int64_t CheckedAdd(std::int64_t a, std::int64_t b)
{
    if ((b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) ||
        (b < 0 && a < std::numeric_limits<std::int64_t>::min() - b)) {
        ThrowOutOfRange();
    }
    return a + b;
}

std::int64_t CheckedSubtract(std::int64_t a, std::int64_t b)
{
    if ((b < 0 && a > std::numeric_limits<std::int64_t>::max() + b) ||
        (b > 0 && a < std::numeric_limits<std::int64_t>::min() + b)) {
        ThrowOutOfRange();
    }
    return a - b;
}

std::string FloatToText(long double value)
{
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
    if (value == 0) return "0";  // also for −0

    // The stream's general format already drops trailing zeros and the point of a
    // whole number, and switches to an exponent outside [1E-4, 1E15) at precision
    // 15. The classic locale keeps the period and leaves out any grouping.
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(15);
    out << value;
    const std::string text = out.str();

    const std::size_t e = text.find_first_of("eE");
    if (e == std::string::npos) return text;
    // "1e+15" becomes "1E15", "1e-05" becomes "1E-5".
    std::string result = text.substr(0, e) + "E";
    std::size_t i = e + 1;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-') result += '-';
        ++i;
    }
    while (i + 1 < text.size() && text[i] == '0') ++i;
    result += text.substr(i);
    return result;
}

std::string TenThousandthsToText(std::int64_t amount)
{
    // An amount of up to 15 digits is within 2^-64 of its exact quotient, far
    // closer than half a unit of the 15th digit, so its text is exact. Where long
    // double is only a double the same holds: a double keeps 15 decimal digits.
    const long double quotient = static_cast<long double>(amount) / static_cast<long double>(TenThousand);
    return FloatToText(quotient);
}

}  // namespace Velmora
