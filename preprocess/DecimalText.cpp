#include "preprocess/DecimalText.h"

#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <utility>

#include "platform/Errors.h"

namespace Velmora {

namespace {

[[noreturn]] void ThrowOutOfRange() { throw EVelmoraError("金额超出可计算的范围"); }

// Where long double is no wider than double, the extended computation is carried
// out on integers: a value is sign × Magnitude × 2^Exponent, the magnitude 128
// bits wide (two 64-bit halves, as no portable 128-bit type exists).
struct TUnsigned128 {
    std::uint64_t High = 0;
    std::uint64_t Low = 0;
};

bool operator<(const TUnsigned128& a, const TUnsigned128& b)
{
    return a.High != b.High ? a.High < b.High : a.Low < b.Low;
}

bool IsZero(const TUnsigned128& a) { return a.High == 0 && a.Low == 0; }

int BitLength(const TUnsigned128& a)
{
    int length = 0;
    for (std::uint64_t word = a.High != 0 ? a.High : a.Low; word != 0; word >>= 1) ++length;
    return a.High != 0 ? length + 64 : length;
}

bool BitAt(const TUnsigned128& a, int bit) { return ((bit < 64 ? a.Low >> bit : a.High >> (bit - 64)) & 1) != 0; }

TUnsigned128 ShiftLeft(const TUnsigned128& a, int bits)  // 0 <= bits < 128
{
    if (bits == 0) return a;
    if (bits >= 64) return {a.Low << (bits - 64), 0};
    return {(a.High << bits) | (a.Low >> (64 - bits)), a.Low << bits};
}

TUnsigned128 ShiftRight(const TUnsigned128& a, int bits)  // 0 <= bits < 128
{
    if (bits == 0) return a;
    if (bits >= 64) return {0, a.High >> (bits - 64)};
    return {a.High >> bits, (a.Low >> bits) | (a.High << (64 - bits))};
}

TUnsigned128 Plus(const TUnsigned128& a, const TUnsigned128& b)
{
    const std::uint64_t low = a.Low + b.Low;
    return {a.High + b.High + (low < a.Low ? 1 : 0), low};
}

TUnsigned128 Minus(const TUnsigned128& a, const TUnsigned128& b)  // a >= b
{
    return {a.High - b.High - (a.Low < b.Low ? 1 : 0), a.Low - b.Low};
}

TUnsigned128 MultiplySmall(const TUnsigned128& a, std::uint32_t factor)  // a below 2^96
{
    const std::uint64_t low = (a.Low & 0xFFFFFFFFu) * factor;
    const std::uint64_t middle = (a.Low >> 32) * factor + (low >> 32);
    const std::uint64_t high = (a.High & 0xFFFFFFFFu) * factor + (middle >> 32);
    return {high, (middle << 32) | (low & 0xFFFFFFFFu)};
}

// a ÷ 2^bits rounded half to even.
TUnsigned128 ShiftRightHalfEven(const TUnsigned128& a, int bits)
{
    if (bits == 0) return a;
    if (bits > 128) return {};
    TUnsigned128 quotient = bits == 128 ? TUnsigned128{} : ShiftRight(a, bits);
    const bool half = BitAt(a, bits - 1);
    const bool below = bits > 1 && !IsZero(ShiftLeft(a, 129 - bits));
    if (half && (below || (quotient.Low & 1) != 0)) quotient = Plus(quotient, {0, 1});
    return quotient;
}

struct TExact {
    bool Negative = false;
    TUnsigned128 Magnitude;
    int Exponent = 0;
};

TExact Decompose(double value)
{
    int exponent = 0;
    const double fraction = std::frexp(std::fabs(value), &exponent);
    TExact exact;
    exact.Negative = std::signbit(value);
    exact.Magnitude.Low = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    exact.Exponent = exponent - 53;
    return exact;
}

// The exact sum of two doubles' values. Magnitudes of a double are below 2^53.
TExact Add(TExact a, TExact b)
{
    if (IsZero(a.Magnitude)) return b;
    if (IsZero(b.Magnitude)) return a;
    if (a.Exponent < b.Exponent) std::swap(a, b);
    // Both magnitudes are at least 2^52 here. Past 66 places apart, b lies below a
    // quarter of a's last place in 64 bits, and a is what rounding gives anyway.
    const int shift = a.Exponent - b.Exponent;
    if (shift > 66) return a;
    a.Magnitude = ShiftLeft(a.Magnitude, shift);
    a.Exponent = b.Exponent;
    if (a.Negative == b.Negative) {
        a.Magnitude = Plus(a.Magnitude, b.Magnitude);
    } else if (b.Magnitude < a.Magnitude) {
        a.Magnitude = Minus(a.Magnitude, b.Magnitude);
    } else {
        b.Magnitude = Minus(b.Magnitude, a.Magnitude);
        return b;
    }
    return a;
}

// To the 64-bit mantissa of x87 extended precision, ties to even.
void RoundToExtended(TExact& value)
{
    const int excess = BitLength(value.Magnitude) - 64;
    if (excess <= 0) return;
    value.Magnitude = ShiftRightHalfEven(value.Magnitude, excess);
    value.Exponent += excess;
    if (value.Magnitude.High != 0) {  // rounded up to 2^64
        value.Magnitude = ShiftRight(value.Magnitude, 1);
        value.Exponent += 1;
    }
}

std::int64_t ToWholeHalfEven(const TExact& value)
{
    constexpr int LimitBits = 63;  // 2^63: the first magnitude that no longer fits
    if (IsZero(value.Magnitude)) return 0;
    TUnsigned128 whole;
    if (value.Exponent >= 0) {
        if (BitLength(value.Magnitude) + value.Exponent > LimitBits) ThrowOutOfRange();
        whole = ShiftLeft(value.Magnitude, value.Exponent);
    } else {
        whole = ShiftRightHalfEven(value.Magnitude, -value.Exponent);
    }
    if (BitLength(whole) > LimitBits) ThrowOutOfRange();
    const auto result = static_cast<std::int64_t>(whole.Low);
    return value.Negative ? -result : result;
}

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

std::int64_t ToTenThousandthsExtended(double value)
{
    return RoundHalfEven(static_cast<long double>(value) * static_cast<long double>(TenThousand));
}

std::int64_t DifferenceToTenThousandthsExtended(double minuend, double subtrahend)
{
    const long double difference = static_cast<long double>(minuend) - static_cast<long double>(subtrahend);
    return RoundHalfEven(difference * static_cast<long double>(TenThousand));
}

std::int64_t ToTenThousandthsDouble(double value) { return DifferenceToTenThousandthsDouble(value, 0.0); }

std::int64_t DifferenceToTenThousandthsDouble(double minuend, double subtrahend)
{
    if (!std::isfinite(minuend) || !std::isfinite(subtrahend)) ThrowOutOfRange();
    // The extended computation, step by step: the difference rounded to 64 bits,
    // the product rounded to 64 bits, then the whole number, ties to even each time.
    TExact difference = Add(Decompose(minuend), Decompose(-subtrahend));
    RoundToExtended(difference);
    difference.Magnitude = MultiplySmall(difference.Magnitude, static_cast<std::uint32_t>(TenThousand));
    RoundToExtended(difference);
    return ToWholeHalfEven(difference);
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
