#include "numpy_module.h"

namespace py = pybind11;

namespace virda_python {

const py::module_& numpy()
{
    static const py::module_* module = new py::module_(py::module_::import("numpy"));
    return *module;
}

} // namespace virda_python
