#ifndef VIRDA_PYTHON_ARG_REDUCTIONS_H
#define VIRDA_PYTHON_ARG_REDUCTIONS_H

// The results of argmin and argmax and their NaN-omitting forms: the global
// index of the first extreme of every slice (flat for axis=None), returned
// or written into out= as NumPy's.

#include "prepared_reduction.h"

#include "engine/extremes.h"

#include <pybind11/pybind11.h>

#include <optional>

namespace virda_python {

/// The positions of the least (`least`) or greatest values in `s` as
/// NumPy's argmin or argmax gives them: ValueError "All-NaN slice
/// encountered" when `all_nan` (agreed over the ranks); into out= (not for
/// an Array reduced along its own rows, whose result is a new Array).
/// Collective over p's communicator only for that new Array.
pybind11::object positions_result(const char* operation, bool least,
                                  const std::optional<virda::engine::extremes_summary>& s, bool all_nan,
                                  const prepared& p, bool keepdims, const pybind11::object& out);

} // namespace virda_python

#endif
