#ifndef VIRDA_PYTHON_NUMPY_MODULE_H
#define VIRDA_PYTHON_NUMPY_MODULE_H

// The numpy module, for the reductions and quantiles that call its functions.

#include <pybind11/pybind11.h>

namespace virda_python {

/// The numpy module, imported once (an import per use costs a look-up in
/// the import machinery). Never released, as the interpreter keeps numpy
/// until it ends.
const pybind11::module_& numpy();

} // namespace virda_python

#endif
