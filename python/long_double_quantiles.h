#ifndef VIRDA_PYTHON_LONG_DOUBLE_QUANTILES_H
#define VIRDA_PYTHON_LONG_DOUBLE_QUANTILES_H

// median, quantile, percentile and their NaN-omitting forms of NumPy arrays
// of numpy.longdouble, results in long double as NumPy's. A value x within
// float64's range is exactly hi + lo with hi = (double) x and lo =
// (double) (x - hi); rounding is monotone, so the k-th smallest x has the
// k-th smallest hi, and among the values of that hi the right lo. Both are
// selected by the engine over doubles, so a result is exact and the same
// bits at every rank count and split. Values outside float64's range are
// refused with OverflowError on every rank alike.

#include "quantile_functions.h"

#include <pybind11/pybind11.h>

namespace virda_python {

/// The quantile function `f` for long double data (is_long_double_data).
/// Collective over the call's communicator where axis 0 is reduced; else
/// each rank's own rows, with the ranks agreeing on failures and warnings.
pybind11::object long_double_quantiles(const function_kind& f, const pybind11::object& a, const pybind11::object& q,
                                       const pybind11::object& axis, const pybind11::object& out,
                                       const pybind11::object& method, bool keepdims, const pybind11::object& weights,
                                       const pybind11::object& interpolation, const pybind11::object& comm);

} // namespace virda_python

#endif
