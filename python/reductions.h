#ifndef VIRDA_PYTHON_REDUCTIONS_H
#define VIRDA_PYTHON_REDUCTIONS_H

// NumPy's reductions over the rows of every rank: sum, mean, average, var,
// std, min, max, amin, amax, ptp, argmin, argmax, count_nonzero and the NaN
// functions, with NumPy's signatures, axes, result types and warnings.

#include <pybind11/pybind11.h>

namespace virda_python {

/// Defines the reductions in module `m`.
void bind_reductions(pybind11::module_& m);

} // namespace virda_python

#endif
