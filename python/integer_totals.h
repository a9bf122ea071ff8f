#ifndef VIRDA_PYTHON_INTEGER_TOTALS_H
#define VIRDA_PYTHON_INTEGER_TOTALS_H

// Integer totals over the reduced axes: sums into an integer dtype (modulo
// 2^64, as NumPy's) and count_nonzero, exact on each rank and added over
// the ranks where axis 0 is reduced.

#include "prepared_reduction.h"

#include "engine/moments.h"

#include <pybind11/pybind11.h>

namespace virda_python {

/// The sum of p's block into an integer dtype: `dtype` when given (floats
/// each cast to it first, as NumPy's unsafe cast, NaN as 0 with
/// nan_policy::omit, warning where a cast was invalid), else int64 (uint64
/// for unsigned data); plus `initial` when given. Collective over p's
/// communicator, as prepare_reduction was.
pybind11::object sum_as_integers(const char* operation, const prepared& p, virda::engine::nan_policy policy,
                                 pybind11::handle dtype, pybind11::handle initial, bool keepdims,
                                 const pybind11::object& out);

/// numpy.count_nonzero over `axis`: a Python int for axis=None without
/// keepdims. Collective over a's communicator.
pybind11::object count_nonzero_of(pybind11::handle a, pybind11::handle axis, bool keepdims, pybind11::handle comm);

} // namespace virda_python

#endif
