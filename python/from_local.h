#ifndef VIRDA_PYTHON_FROM_LOCAL_H
#define VIRDA_PYTHON_FROM_LOCAL_H

// from_local: an array made of the rows each rank holds.

#include <pybind11/pybind11.h>

namespace virda_python {

/// Defines virdastatistics.from_local.
void bind_from_local(pybind11::module_& m);

} // namespace virda_python

#endif
