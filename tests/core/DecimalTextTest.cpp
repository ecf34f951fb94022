#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <locale>
#include <random>
#include <string>

#include "platform/Errors.h"
#include "preprocess/DecimalText.h"

#if __has_include(<fpu_control.h>) && (defined(__x86_64__) || defined(__i386__))
#include <fpu_control.h>
#define VELMORA_CAN_SET_X87_PRECISION 1
#endif

namespace Velmora {
namespace {

// ------------------------------------------------------------------ references

// Exact decimal arithmetic on the integer: sign, whole part, four decimals, no zeros at the end.
std::string ExactTenThousandths(std::int64_t amount)
{
    const bool negative = amount < 0;
    const std::uint64_t magnitude =
        negative ? static_cast<std::uint64_t>(-(amount + 1)) + 1 : static_cast<std::uint64_t>(amount);
    std::string fraction = std::to_string(magnitude % 10000);
    fraction.insert(0, 4 - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    std::string text = std::to_string(magnitude / 10000);
    if (!fraction.empty()) text += "." + fraction;
    if (negative && text != "0") text.insert(0, "-");
    return text;
}

// Decimal digits of a non-negative integer held as a string, multiplied by a small factor.
std::string MultiplyDigits(const std::string& digits, int factor)
{
    std::string out(digits.size(), '0');
    int carry = 0;
    for (std::size_t i = digits.size(); i-- > 0;) {
        const int v = (digits[i] - '0') * factor + carry;
        out[i] = static_cast<char>('0' + v % 10);
        carry = v / 10;
    }
    while (carry > 0) {
        out.insert(out.begin(), static_cast<char>('0' + carry % 10));
        carry /= 10;
    }
    return out;
}

// The general 15-digit rendering computed from the exact binary value of the number,
// by schoolbook arithmetic on digit strings: value = M × 2^E = digits × 10^-shift.
std::string ReferenceText(long double value)
{
    if (value == 0) return "0";
    const bool negative = value < 0;
    int exponent2 = 0;
    const long double mantissa = std::frexp(negative ? -value : value, &exponent2);
    const int bits = std::numeric_limits<long double>::digits;
    const auto integer = static_cast<std::uint64_t>(std::ldexp(mantissa, bits));
    exponent2 -= bits;
    std::string digits = std::to_string(integer);
    int shift = 0;
    for (; exponent2 > 0; --exponent2) digits = MultiplyDigits(digits, 2);
    for (; exponent2 < 0; ++exponent2, ++shift) digits = MultiplyDigits(digits, 5);
    digits.erase(0, digits.find_first_not_of('0'));
    int exponent10 = static_cast<int>(digits.size()) - 1 - shift;

    if (digits.size() > 15) {
        const std::string rest = digits.substr(15);
        digits.resize(15);
        const bool beyondHalf =
            rest[0] > '5' || (rest[0] == '5' && rest.find_first_not_of('0', 1) != std::string::npos);
        const bool tie = rest[0] == '5' && rest.find_first_not_of('0', 1) == std::string::npos;
        if (beyondHalf || (tie && (digits.back() - '0') % 2 == 1)) {
            std::size_t i = digits.size();
            while (i > 0 && digits[i - 1] == '9') digits[--i] = '0';
            if (i == 0) {
                digits.insert(digits.begin(), '1');
                digits.pop_back();
                ++exponent10;
            } else {
                ++digits[i - 1];
            }
        }
    }
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    std::string text;
    if (exponent10 < -4 || exponent10 >= 15) {
        text = digits.substr(0, 1);
        if (digits.size() > 1) text += "." + digits.substr(1);
        text += "E" + std::to_string(exponent10);
    } else if (exponent10 >= 0) {
        const auto wholeDigits = static_cast<std::size_t>(exponent10) + 1;
        if (digits.size() <= wholeDigits) {
            text = digits + std::string(wholeDigits - digits.size(), '0');
        } else {
            text = digits.substr(0, wholeDigits) + "." + digits.substr(wholeDigits);
        }
    } else {
        text = "0." + std::string(static_cast<std::size_t>(-exponent10 - 1), '0') + digits;
    }
    return negative ? "-" + text : text;
}

// ------------------------------------------------------------------ decimal text

TEST(DecimalText, DocumentedExamples)
{
    EXPECT_EQ(TenThousandthsToText(0), "0");
    EXPECT_EQ(TenThousandthsToText(12500000), "1250");
    EXPECT_EQ(TenThousandthsToText(-35000), "-3.5");
    EXPECT_EQ(TenThousandthsToText(1), "0.0001");
    EXPECT_EQ(TenThousandthsToText(-1), "-0.0001");
    EXPECT_EQ(TenThousandthsToText(1000000), "100");
    EXPECT_EQ(TenThousandthsToText(-1000000), "-100");
    EXPECT_EQ(TenThousandthsToText(3000), "0.3");
    EXPECT_EQ(TenThousandthsToText(123456789), "12345.6789");
    EXPECT_EQ(TenThousandthsToText(10), "0.001");

    EXPECT_EQ(FloatToText(1e15L), "1E15");
    EXPECT_EQ(FloatToText(1e-5L), "1E-5");
    EXPECT_EQ(FloatToText(-1.5e20L), "-1.5E20");
    EXPECT_EQ(FloatToText(0.0001L), "0.0001");
    EXPECT_EQ(FloatToText(999999999999999.0L), "999999999999999");
    EXPECT_EQ(FloatToText(-0.0L), "0");
    EXPECT_EQ(FloatToText(1.0L / 3), "0.333333333333333");
    EXPECT_EQ(FloatToText(2.0L / 3), "0.666666666666667");
    EXPECT_EQ(FloatToText(1e-100L), "1E-100");
    EXPECT_EQ(FloatToText(1.25e300L), "1.25E300");
    EXPECT_EQ(FloatToText(1234567.0L), "1234567");  // never grouped
}

TEST(DecimalText, LargestAmountsStayPlainAndRoundAtTheFifteenthDigit)
{
    // The int64 range ends below 10^15 in units, so no balance is ever written with an exponent.
    EXPECT_EQ(TenThousandthsToText(std::numeric_limits<std::int64_t>::max()), "922337203685478");
    EXPECT_EQ(TenThousandthsToText(std::numeric_limits<std::int64_t>::min()), "-922337203685478");
    EXPECT_EQ(TenThousandthsToText(999999999999999LL), "99999999999.9999");  // 15 digits: exact
    EXPECT_EQ(TenThousandthsToText(9999999999999999LL), "1000000000000");    // 16 nines round up
    EXPECT_EQ(TenThousandthsToText(1234567890123456789LL), "123456789012346");
}

TEST(DecimalText, AgreesWithExactArithmeticOverEveryMagnitude)
{
    std::mt19937_64 random(20250101);
    for (int digits = 1; digits <= 19; ++digits) {
        const std::uint64_t top = digits == 19 ? static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                                               : static_cast<std::uint64_t>(std::pow(10.0L, digits)) - 1;
        for (int k = 0; k < 2000; ++k) {
            auto amount = static_cast<std::int64_t>(random() % (top + 1));
            if (k % 2 == 1) amount = -amount;
            if (k % 7 == 0) amount -= amount % 1000;  // plenty of trailing zeros too
            const long double quotient = static_cast<long double>(amount) / 10000;
            ASSERT_EQ(TenThousandthsToText(amount), ReferenceText(quotient)) << amount;
            if (digits <= 15) {
                ASSERT_EQ(TenThousandthsToText(amount), ExactTenThousandths(amount)) << amount;
            }
        }
    }
}

TEST(DecimalText, GeneralRenderingAgreesWithExactArithmeticIncludingExponents)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(1.0, 10.0);
    for (int exponent = -40; exponent <= 40; ++exponent) {
        for (int k = 0; k < 300; ++k) {
            long double value = static_cast<long double>(unit(random)) * std::pow(10.0L, exponent);
            if (k % 3 == 0) value = std::round(value * 1000) / 1000;  // short decimals
            if (k % 2 == 1) value = -value;
            ASSERT_EQ(FloatToText(value), ReferenceText(value)) << static_cast<double>(value);
        }
        const long double power = std::pow(10.0L, exponent);
        ASSERT_EQ(FloatToText(power), ReferenceText(power));
    }
    // The borders of plain notation.
    EXPECT_EQ(FloatToText(0.0001L), ReferenceText(0.0001L));
    EXPECT_EQ(FloatToText(0.00009999L), "9.999E-5");
    EXPECT_EQ(FloatToText(999999999999999.4L), "999999999999999");
    EXPECT_EQ(FloatToText(9999999999999999.0L), "1E16");
}

class TCommaDecimals : public std::numpunct<char> {
protected:
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(DecimalText, PeriodWhateverTheLocale)
{
    const std::locale previous = std::locale::global(std::locale(std::locale::classic(), new TCommaDecimals));
    // And a C library locale with a comma, where the machine has one.
    const std::string previousC = std::setlocale(LC_NUMERIC, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "ru_RU.UTF-8"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr) break;
    }
    const std::string small = TenThousandthsToText(-35000);
    const std::string large = TenThousandthsToText(12345678912345LL);
    const std::string exponent = FloatToText(-1.5e20L);
    std::setlocale(LC_NUMERIC, previousC.c_str());
    std::locale::global(previous);

    EXPECT_EQ(small, "-3.5");
    EXPECT_EQ(large, "1234567891.2345");
    EXPECT_EQ(exponent, "-1.5E20");
}

// ------------------------------------------------------------------ scaling

TEST(MoneyScaling, DocumentedCases)
{
    EXPECT_EQ(ToTenThousandths(0.1 + 0.2), 3000);
    EXPECT_EQ(DifferenceToTenThousandths(0.1 + 0.2, 0.0), 3000);
    EXPECT_EQ(DifferenceToTenThousandths(100.0, 30.0), 700000);
    EXPECT_EQ(DifferenceToTenThousandths(30.0, 100.0), -700000);
    EXPECT_EQ(ToTenThousandths(0.0), 0);
    EXPECT_EQ(ToTenThousandths(-0.0), 0);
    EXPECT_EQ(ToTenThousandths(0.0001), 1);
    EXPECT_EQ(ToTenThousandths(1.0005), 10005);
}

TEST(MoneyScaling, ExactTiesGoToTheEvenNeighbourOnBothPaths)
{
    using namespace DecimalDetail;
    // 1/32 × 10000 = 312.5 and 3/32 × 10000 = 937.5 exactly.
    for (auto scale : {ToTenThousandthsExtended, ToTenThousandthsDouble}) {
        EXPECT_EQ(scale(0.03125), 312);
        EXPECT_EQ(scale(0.09375), 938);
        EXPECT_EQ(scale(-0.03125), -312);
        EXPECT_EQ(scale(-0.09375), -938);
        EXPECT_EQ(scale(2.03125), 20312);
    }
    EXPECT_EQ(DifferenceToTenThousandthsExtended(1.03125, 1.0), 312);
    EXPECT_EQ(DifferenceToTenThousandthsExtended(1.0, 1.09375), -938);
    EXPECT_EQ(RoundHalfEven(2.5L), 2);
    EXPECT_EQ(RoundHalfEven(3.5L), 4);
    EXPECT_EQ(RoundHalfEven(-2.5L), -2);
    EXPECT_EQ(RoundHalfEven(-0.5L), 0);
    EXPECT_EQ(RoundHalfEven(-0.75L), -1);
    EXPECT_EQ(RoundHalfEven(0.49999999999999999L), 0);
}

TEST(MoneyScaling, BothPathsRecoverEveryMoneyValue)
{
    using namespace DecimalDetail;
    std::mt19937_64 random(42);
    for (int k = 0; k < 200000; ++k) {
        // Up to 2^49 ten-thousandths: every such value is within a double's reach.
        const auto a = static_cast<std::int64_t>(random() % (1ULL << 49)) - (1LL << 48);
        const auto b = static_cast<std::int64_t>(random() % (1ULL << (k % 49 + 1)));
        const double x = static_cast<double>(a) / 10000;
        const double y = static_cast<double>(b) / 10000;
        ASSERT_EQ(ToTenThousandthsExtended(x), a) << a;
        ASSERT_EQ(ToTenThousandthsDouble(x), a) << a;
        ASSERT_EQ(DifferenceToTenThousandthsExtended(x, y), a - b) << a << " " << b;
        ASSERT_EQ(DifferenceToTenThousandthsDouble(x, y), a - b) << a << " " << b;
    }
}

// What a path gives for a pair: the amount, or that it refused the pair.
struct TScaled {
    bool Refused = false;
    std::int64_t Amount = 0;
    bool operator==(const TScaled& other) const { return Refused == other.Refused && Amount == other.Amount; }
};

template <typename TPath>
TScaled Scale(TPath path, double minuend, double subtrahend)
{
    try {
        return {false, path(minuend, subtrahend)};
    } catch (const EVelmoraError&) {
        return {true, 0};
    }
}

// Where this machine computes in x87 extended precision, the integer path must give
// what the hardware gives, for every pair of doubles up to the 64-bit limit and past it.
TEST(MoneyScaling, TheIntegerPathGivesWhatExtendedPrecisionGivesAtEveryMagnitude)
{
    using namespace DecimalDetail;
    if (!ExtendedPrecisionInEffect()) GTEST_SKIP() << "no x87 extended precision to compare with";
    int compared = 0;
    auto same = [&](double x, double y) {
        ++compared;
        const TScaled extended = Scale(DifferenceToTenThousandthsExtended, x, y);
        const TScaled exact = Scale(DifferenceToTenThousandthsDouble, x, y);
        return extended == exact && Scale([](double v, double) { return ToTenThousandthsExtended(v); }, x, 0) ==
                                        Scale([](double v, double) { return ToTenThousandthsDouble(v); }, x, 0);
    };
    std::mt19937_64 random(63);
    auto anyMantissa = [&](int exponent) {
        return std::ldexp(1.0 + static_cast<double>(random() >> 12) * 0x1p-52, exponent) * (random() % 2 ? -1 : 1);
    };
    // Arbitrary doubles: the minuend from 2^-40 to past 2^63 ten-thousandths, the
    // subtrahend from 2^5 times larger down to far below the minuend's last place.
    for (int exponent = -40; exponent <= 50; ++exponent) {
        for (int apart = -5; apart <= 90; ++apart) {
            for (int k = 0; k < 20; ++k) {
                const double x = anyMantissa(exponent);
                const double y = anyMantissa(exponent - apart);
                ASSERT_TRUE(same(x, y)) << std::hexfloat << x << " - " << y;
            }
        }
    }
    // Money values (the nearest double to n ten-thousandths) at every magnitude of n.
    for (int bits = 1; bits <= 63; ++bits) {
        for (int k = 0; k < 2000; ++k) {
            const auto n = static_cast<std::int64_t>(random() >> (64 - bits));
            const auto m = static_cast<std::int64_t>(random() >> (64 - 1 - static_cast<int>(random() % 63)));
            const double x = static_cast<double>(n) / 10000;
            const double y = static_cast<double>(k % 2 ? -m : m) / 10000;
            ASSERT_TRUE(same(x, y)) << n << " " << m;
        }
    }
    // Exact halves at every magnitude: k/32 × 10000 = k × 312.5; and near 2^63.
    for (int bits = 1; bits <= 52; ++bits) {
        const double half = static_cast<double>((random() >> (64 - bits)) | 1) / 32;
        ASSERT_TRUE(same(half, 0.0)) << half;
        ASSERT_TRUE(same(half, -1.0 / 32)) << half;
        ASSERT_TRUE(same(1.0 / 32, -half)) << half;
    }
    const double limit = 922337203685477.5808;  // 2^63 ten-thousandths
    double below = limit;
    double above = limit;
    for (int k = 0; k < 64; ++k) {
        below = std::nextafter(below, 0.0);
        above = std::nextafter(above, 1e300);
        for (const double y : {0.0, 0.00005, -0.00005, 0.0001, 0x1p-40, -0x1p-40}) {
            ASSERT_TRUE(same(below, y)) << std::hexfloat << below << " - " << y;
            ASSERT_TRUE(same(-below, y)) << std::hexfloat << below << " - " << y;
            ASSERT_TRUE(same(above, y)) << std::hexfloat << above << " - " << y;
        }
    }
    EXPECT_GT(compared, 200000);
}

#ifdef VELMORA_CAN_SET_X87_PRECISION
TEST(MoneyScaling, AHostRunningTheFpuAtDoublePrecisionStillGetsExactFigures)
{
    using DecimalDetail::ExtendedPrecisionInEffect;
    EXPECT_TRUE(ExtendedPrecisionInEffect());

    fpu_control_t saved;
    _FPU_GETCW(saved);
    const fpu_control_t doublePrecision = static_cast<fpu_control_t>((saved & ~_FPU_EXTENDED) | _FPU_DOUBLE);
    _FPU_SETCW(doublePrecision);
    const bool extended = ExtendedPrecisionInEffect();
    const std::int64_t sum = ToTenThousandths(0.1 + 0.2);
    const std::int64_t tie = ToTenThousandths(0.09375);
    const std::int64_t difference = DifferenceToTenThousandths(100.0, 30.0);
    const std::int64_t big = DifferenceToTenThousandths(12345678901.2345, -0.0001);
    const std::string text = TenThousandthsToText(-123456789012345LL);
    _FPU_SETCW(saved);

    EXPECT_FALSE(extended);
    EXPECT_EQ(sum, 3000);
    EXPECT_EQ(tie, 938);
    EXPECT_EQ(difference, 700000);
    EXPECT_EQ(big, 123456789012346LL);
    EXPECT_EQ(text, "-12345678901.2345");
    EXPECT_TRUE(ExtendedPrecisionInEffect());
}
#endif

TEST(MoneyScaling, OutOfRangeIsAClearErrorNotGarbage)
{
    using namespace DecimalDetail;
    for (auto scale : {ToTenThousandthsExtended, ToTenThousandthsDouble}) {
        EXPECT_THROW(scale(1e16), EVelmoraError);
        EXPECT_THROW(scale(-1e16), EVelmoraError);
        EXPECT_THROW(scale(std::numeric_limits<double>::infinity()), EVelmoraError);
        EXPECT_THROW(scale(std::numeric_limits<double>::quiet_NaN()), EVelmoraError);
        EXPECT_EQ(scale(9e14), 9000000000000000000LL);
    }
    EXPECT_THROW(DifferenceToTenThousandths(9e14, -9e14), EVelmoraError);
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    const std::int64_t min = std::numeric_limits<std::int64_t>::min();
    EXPECT_THROW(CheckedAdd(max, 1), EVelmoraError);
    EXPECT_THROW(CheckedAdd(min, -1), EVelmoraError);
    EXPECT_THROW(CheckedSubtract(min, 1), EVelmoraError);
    EXPECT_THROW(CheckedSubtract(0, min), EVelmoraError);
    EXPECT_EQ(CheckedAdd(max, min), -1);
    EXPECT_EQ(CheckedSubtract(-1, min), max);
}

}  // namespace
}  // namespace Velmora
