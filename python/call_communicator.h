#ifndef VIRDA_PYTHON_CALL_COMMUNICATOR_H
#define VIRDA_PYTHON_CALL_COMMUNICATOR_H

// The communicator a statistic's call runs over: an Array's own, or for
// NumPy arrays of this rank's values the `comm` argument.

#include "communicator.h"

#include <pybind11/pybind11.h>

namespace virda_python {

/// For a call on an Array: TypeError "<operation>: comm is for NumPy arrays
/// ..." when `comm` is given (an Array is over its own communicator), and
/// RuntimeError unless MPI is running. Local.
void check_array_call(const char* operation, pybind11::handle comm);

/// The communicator of a call on `a`: an Array's own (checked as
/// check_array_call does), else the one `comm` names (communicator_of).
/// Local.
communicator call_communicator(const char* operation, pybind11::handle a, pybind11::handle comm);

} // namespace virda_python

#endif
