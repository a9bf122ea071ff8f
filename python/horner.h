#ifndef VIRDA_PYTHON_HORNER_H
#define VIRDA_PYTHON_HORNER_H

// The evaluation behind the module's polyval: Horner's rule in double, in
// numpy.polyval's order of operations, one pass over a block.

#include "engine/views.h"

#include <cstddef>
#include <vector>

namespace virda_python {

/// out[j] = the polynomial with coefficients p (highest power first) at
/// x[j], for j < n (x.count): y = 0.0, then y = y * x[j] + c for each c of p in turn,
/// every product and sum rounded on its own (never fused into one rounding).
/// That is what numpy.polyval computes on float64 data, so the values are
/// bitwise numpy.polyval(p, x.astype(float64)); a NaN or infinite x[j] gives
/// NaN (0 * inf), and an empty p gives 0.0. Local.
/// The values of any number type are converted to double first, as
/// astype(float64) converts them.
void horner(const std::vector<double>& p, const virda::engine::values_view& x, double* out);
void horner(const std::vector<double>& p, const double* x, double* out, std::size_t n);

} // namespace virda_python

#endif
