#pragma once
// Money in whole ten-thousandths, and the decimal text of a number as the
// balance table receives it.
//
// Sums arrive from the server as money values read into doubles. They are scaled
// to whole ten-thousandths with the difference and the product formed in extended
// precision and rounded half to even, so that a sum such as 0.1 + 0.2 becomes
// exactly 3000. Totals are then added in 64-bit integers.

#include <cstdint>
#include <string>

namespace Velmora {

constexpr std::int64_t TenThousand = 10000;

// round(value × 10000), ties to the even neighbour. EVelmoraError when the value
// is not finite or its ten-thousandths do not fit in 64 bits.
std::int64_t ToTenThousandths(double value);

// round((minuend − subtrahend) × 10000), ties to the even neighbour, the
// difference taken before the scaling. Errors as ToTenThousandths.
std::int64_t DifferenceToTenThousandths(double minuend, double subtrahend);

// a + b and a − b, or EVelmoraError when the result does not fit in 64 bits.
std::int64_t CheckedAdd(std::int64_t a, std::int64_t b);
std::int64_t CheckedSubtract(std::int64_t a, std::int64_t b);

// The general rendering of a number: at most 15 significant digits, no trailing
// zeros, no grouping, no decimal point for a whole number; plain notation while
// 0.0001 <= |value| < 10^15, otherwise an exponent such as 1E15, 1E-5 or -1.5E20.
// The decimal separator is always a period, whatever the user's locale: the text
// goes into SQL. Ties at the 15th digit follow the C library's correctly rounded
// conversion (to even).
std::string FloatToText(long double value);

// The decimal text of amount ÷ 10000, the quotient formed in extended precision.
// Every amount of up to 15 digits comes out exact: 12500000 gives "1250",
// -35000 gives "-3.5", 1 gives "0.0001".
std::string TenThousandthsToText(std::int64_t amount);

// Both ways of scaling, reachable for tests whatever the compiler's long double.
namespace DecimalDetail {
// Whether long double arithmetic carries a 64-bit mantissa right now; the public
// functions above take the extended path only then.
bool ExtendedPrecisionInEffect();
// Where long double carries a 64-bit mantissa (x87 extended precision).
std::int64_t DifferenceToTenThousandthsExtended(double minuend, double subtrahend);
std::int64_t ToTenThousandthsExtended(double value);
// Otherwise (MSVC, or x87 set to 53-bit precision): the same computation carried
// out exactly on integers, each rounding to 64 bits and the last one to a whole
// number done as x87 extended precision does it, so that both paths agree on
// every pair of doubles, whatever their magnitude.
std::int64_t DifferenceToTenThousandthsDouble(double minuend, double subtrahend);
std::int64_t ToTenThousandthsDouble(double value);
// The extended path's last step: to a whole number, ties to even.
std::int64_t RoundHalfEven(long double value);
}  // namespace DecimalDetail

}  // namespace Velmora
