#ifndef VIRDA_PYTHON_LONG_DOUBLE_TOTALS_H
#define VIRDA_PYTHON_LONG_DOUBLE_TOTALS_H

// Exact totals of long double values (x86-64's 80-bit extended format) in
// the engine's fixed-point total of units of 2^-1074: a value is taken
// exactly when it lies in float64's range (|x| <= DBL_MAX and no bit below
// 2^-1074), its 64-bit significand added at its place; squares of such
// values as their exact 128-bit significand. A total rounds once to long
// double (ties to even) while it lies in float64's range.

#include "engine/exact_total.h"

namespace virda_python {

/// Whether long double is the 80-bit extended format this file reads.
constexpr bool long_double_is_extended()
{
    return sizeof(long double) == 16 && __LDBL_MANT_DIG__ == 64;
}

/// Adds x to t exactly (NaN and infinities as the total's flags); false,
/// leaving t as it was, when x lies outside float64's range.
bool add_long_double(virda::engine::detail::exact_total& t, long double x);

/// Adds x * x to t exactly; false, leaving t as it was, when x is not
/// finite or its square's bits do not fit the total's places.
bool add_square(virda::engine::detail::exact_total& t, long double x);

/// The long double nearest to the total (ties to even), its special values
/// as the engine's rounding to double gives them; false when the finite
/// total lies beyond float64's range.
bool round_to_long_double(const virda::engine::detail::exact_total& t, long double* out);

} // namespace virda_python

#endif
