#ifndef VIRDA_PYTHON_WEIGHTED_REDUCTIONS_H
#define VIRDA_PYTHON_WEIGHTED_REDUCTIONS_H

// Weighted reductions: numpy.average with or without weights (over every
// element from the engine's exact weighted moments, or along an axis from
// exact totals), and the weighted moments of mean and std.

#include "engine/weighted_moments.h"

#include <pybind11/pybind11.h>

namespace virda_python {

/// The weighted summary of a and weights of one shape (both NumPy arrays of
/// this rank's values, or both Arrays of one layout), over every element.
/// ZeroDivisionError when the weights sum to zero, as numpy.average.
/// Collective over a's communicator.
virda::engine::weighted_summary weighted_of(const char* operation, pybind11::handle a, pybind11::handle weights,
                                            pybind11::handle comm);

/// numpy.average of a over `axis` with `weights` (None: the mean), with the
/// sum of the weights where `returned`. Collective over a's communicator.
pybind11::object average_of(pybind11::handle a, pybind11::handle axis, pybind11::handle weights, bool returned,
                            pybind11::handle keepdims, pybind11::handle comm);

} // namespace virda_python

#endif
