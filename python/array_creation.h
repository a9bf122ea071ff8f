#ifndef VIRDA_PYTHON_ARRAY_CREATION_H
#define VIRDA_PYTHON_ARRAY_CREATION_H

// Creating arrays from Python: empty, zeros, full, astype, and the step they
// share with from_local and polyval.

#include "dist_array.h"

#include <memory>

namespace virda_python {

/// The shape an argument names (an int, or a sequence of ints): at least one
/// axis, no negative extent, no zero extent after the first, and at most
/// 2^59 elements (their bytes fit a 64-bit count). Raises TypeError or
/// ValueError, from the argument alone. Local.
std::vector<pybind11::ssize_t> shape_of(pybind11::handle shape);

/// A new array of this element type and shape over `comm`, its blocks not
/// initialised. Local when every block takes at most a mebibyte; above that
/// the ranks agree, in one MPI_Allreduce over comm (collective), that each
/// allocated its block, and a rank that could not makes every rank raise
/// MemoryError naming it.
std::unique_ptr<dist_array> create_array(const char* operation, element_type type,
                                         const std::vector<pybind11::ssize_t>& shape, const communicator& comm);

/// Defines empty, zeros, full and Array.astype.
void bind_array_creation(pybind11::module_& m, pybind11::class_<dist_array>& array_class);

} // namespace virda_python

#endif
