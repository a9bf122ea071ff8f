#ifndef VIRDA_PYTHON_REDUCTION_RESULTS_H
#define VIRDA_PYTHON_REDUCTION_RESULTS_H

// A reduction's flat results (one per kept element) returned as NumPy
// returns them: shaped with or without keepdims, written into out=, or for
// an Array reduced along its own rows a new Array of its layout.

#include "axes.h"
#include "prepared_reduction.h"

#include <pybind11/numpy.h>

namespace virda_python {

/// NumPy's keepdims argument: its default (None here) is False.
bool keepdims_of(pybind11::handle keepdims);

/// The result shape (global where axis 0 is reduced, this rank's rows
/// otherwise) and the result as NumPy gives it, or into out, or for an
/// Array's local result a new Array (collective over its communicator).
pybind11::object finish_reduction(const char* operation, const reduction_input& in, const axis_split& split,
                                  bool keepdims, const pybind11::array& flat, const pybind11::object& out);

} // namespace virda_python

#endif
