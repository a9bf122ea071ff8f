#ifndef VIRDA_PYTHON_QUANTILE_ARITHMETIC_H
#define VIRDA_PYTHON_QUANTILE_ARITHMETIC_H

// NumPy's arithmetic on the order statistics it selects, to the bit: the
// median's mean of the two middle values in the data's type, and float16
// interpolation through float16 differences.

#include "engine/number.h"

namespace virda_python {

/// NumPy's median of the middle values a <= b (b = a for an odd count): the
/// mean of them as numpy.mean computes it in the data's type ('d', 'f', 'e'
/// for float64, float32, float16; anything else for integers).
double median_of_middle(const virda::engine::number& a, const virda::engine::number& b, bool two, char dtype_char);

/// The engine's interpolate for float16 values: NumPy takes b - a in float16
/// (computed in float32, rounded to float16), then the interpolation in
/// float64.
double interpolate_half(const virda::engine::number& a, const virda::engine::number& b, double gamma);

} // namespace virda_python

#endif
