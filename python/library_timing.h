#ifndef VIRDA_PYTHON_LIBRARY_TIMING_H
#define VIRDA_PYTHON_LIBRARY_TIMING_H

// For the benchmark (bench/python_bench.py): the library's own calls timed
// in C++, without the Python layer, so that the layer's cost per call can be
// measured in the same run.

#include <pybind11/pybind11.h>

namespace virda_python {

/// Defines virdastatistics._library_seconds.
void bind_library_timing(pybind11::module_& m);

} // namespace virda_python

#endif
