#ifndef VIRDA_PYTHON_LONG_DOUBLE_REDUCTIONS_H
#define VIRDA_PYTHON_LONG_DOUBLE_REDUCTIONS_H

// sum, mean, var, std, min, max, ptp, argmin and argmax (and the NaN-omitting
// forms) of NumPy arrays of numpy.longdouble, results in long double as
// NumPy's. Sums are exact (long_double_totals.h) and rounded once, so a
// result is the same bits at every rank count and split; values outside
// float64's range are refused with OverflowError on every rank alike.
// Extremes compare as long double; of two equal zeros min takes -0.0 and
// max +0.0, whatever their order, and arg* the first.

#include "extreme_reductions.h"
#include "moment_reductions.h"
#include "prepared_reduction.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <vector>

namespace virda_python {

/// Whether `a` is a NumPy array (not an Array) of numpy.longdouble in the
/// 80-bit extended format.
bool is_long_double_data(pybind11::handle a);

/// The values as a flat numpy.longdouble array, each value's padding bytes
/// zero, so that results are the same bytes on every rank.
pybind11::array long_double_array(const std::vector<long double>& v);

/// moment_reduction for long double data. Collective as it is.
pybind11::object long_double_moments(const char* operation, moment_kind kind, virda::engine::nan_policy policy,
                                     pybind11::handle a, pybind11::handle axis, pybind11::handle dtype,
                                     const pybind11::object& out, double ddof, pybind11::handle keepdims,
                                     pybind11::handle comm, const mask_and_initial& extra);

/// extreme_reduction for long double data. Collective as it is.
pybind11::object long_double_extremes(const char* operation, extreme_kind kind, virda::engine::nan_policy policy,
                                      pybind11::handle a, pybind11::handle axis, const pybind11::object& out,
                                      pybind11::handle keepdims, pybind11::handle comm,
                                      const mask_and_initial& extra);

} // namespace virda_python

#endif
