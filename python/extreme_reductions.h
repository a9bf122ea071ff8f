#ifndef VIRDA_PYTHON_EXTREME_REDUCTIONS_H
#define VIRDA_PYTHON_EXTREME_REDUCTIONS_H

// min, max, ptp, argmin and argmax and their NaN-omitting forms over every
// rank's rows: exact extremes from the engine, in the data's dtype, with
// NumPy's initial=, where=, errors and warnings.

#include "prepared_reduction.h"

#include "engine/moments.h"

#include <pybind11/pybind11.h>

namespace virda_python {

enum class extreme_kind { min, max, ptp, argmin, argmax };

/// The extreme `kind` of a over `axis`, as NumPy's function `operation`
/// gives it; the nan* forms with nan_policy::omit. Collective over a's
/// communicator: every rank calls it.
pybind11::object extreme_reduction(const char* operation, extreme_kind kind, virda::engine::nan_policy policy,
                                   pybind11::handle a, pybind11::handle axis, const pybind11::object& out,
                                   pybind11::handle keepdims_arg, pybind11::handle comm,
                                   const mask_and_initial& extra = {});

/// Raises NumPy's ValueError for the extreme `kind` of an empty slice
/// without initial= (ptp's words are max's, as NumPy's).
[[noreturn]] void raise_empty_extreme(extreme_kind kind);

} // namespace virda_python

#endif
