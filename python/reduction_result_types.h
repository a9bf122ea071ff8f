#ifndef VIRDA_PYTHON_REDUCTION_RESULT_TYPES_H
#define VIRDA_PYTHON_REDUCTION_RESULT_TYPES_H

// NumPy's result types of the reductions and the engine's results stored in
// them: inexact results (means, variances, float sums) as float32 or
// float64, extremes in the data's own dtype. Local: no communication.

#include "engine/number.h"

#include <pybind11/numpy.h>

#include <vector>

namespace virda_python {

/// Whether a's dtype is a floating one (an Array's, or what numpy.asarray
/// makes of a without copying; anything unreadable counts as floating: it
/// is refused later, alike).
bool is_floating_data(pybind11::handle a);

/// The result dtype of a mean, variance or float sum: `dtype` when given,
/// else float32 for float32 data and float64 otherwise.
pybind11::dtype inexact_dtype(const pybind11::array& block, pybind11::handle dtype);

/// Long doubles as an array of dtype, each rounded once to a double first
/// (then to float32 where asked: the long double is exact enough for it).
pybind11::array as_dtype(const std::vector<long double>& values, const pybind11::dtype& dt);

/// Numbers as an array of the block's dtype.
pybind11::array numbers_as(const std::vector<virda::engine::number>& values, const pybind11::dtype& dt);

} // namespace virda_python

#endif
