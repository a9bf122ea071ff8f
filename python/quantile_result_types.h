#ifndef VIRDA_PYTHON_QUANTILE_RESULT_TYPES_H
#define VIRDA_PYTHON_QUANTILE_RESULT_TYPES_H

// NumPy's result dtypes of the quantile functions, which follow the method,
// the data's dtype and the probabilities' dtype. Local: no communication.

#include "quantile_functions.h"

#include "engine/quantile_method.h"

#include <pybind11/numpy.h>

namespace virda_python {

/// Whether NumPy's positions of the probabilities are integers, so that it
/// takes the values there without interpolating (an infinity stays itself):
/// integer probabilities (0 or 1) of quantile (not percentile) by a method
/// without fractional plotting positions and other than midpoint.
bool integer_positions(const function_kind& f, const pybind11::array& q, virda::engine::quantile_method m);

/// NumPy's result dtype for the method, values and probabilities.
pybind11::dtype result_dtype(const function_kind& f, const pybind11::dtype& values, const pybind11::array& q,
                             virda::engine::quantile_method m);

} // namespace virda_python

#endif
