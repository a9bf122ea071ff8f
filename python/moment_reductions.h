#ifndef VIRDA_PYTHON_MOMENT_REDUCTIONS_H
#define VIRDA_PYTHON_MOMENT_REDUCTIONS_H

// sum, mean, var and std and their NaN-omitting forms over every rank's
// rows: exact totals from the engine's moments, rounded once to NumPy's
// result types, with NumPy's dtype=, where=, initial= and warnings.

#include "prepared_reduction.h"

#include "engine/moments.h"

#include <pybind11/pybind11.h>

namespace virda_python {

enum class moment_kind { sum, mean, variance, stdev };

/// The sum, mean, variance or standard deviation of a over `axis`, as
/// NumPy's function `operation` gives it; the nan* forms with
/// nan_policy::omit. Collective over a's communicator: every rank calls it.
pybind11::object moment_reduction(const char* operation, moment_kind kind, virda::engine::nan_policy policy,
                                  pybind11::handle a, pybind11::handle axis, pybind11::handle dtype,
                                  const pybind11::object& out, double ddof, pybind11::handle keepdims_arg,
                                  pybind11::handle comm, const mask_and_initial& extra = {});

} // namespace virda_python

#endif
