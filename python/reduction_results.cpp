#include "reduction_results.h"

#include <pybind11/stl.h>

#include <vector>

namespace py = pybind11;

namespace virda_python {

bool keepdims_of(py::handle keepdims)
{
    return !keepdims.is_none() && py::bool_(py::reinterpret_borrow<py::object>(keepdims));
}

py::object finish_reduction(const char* operation, const reduction_input& in, const axis_split& split, bool keepdims,
                            const py::array& flat, const py::object& out)
{
    const std::vector<py::ssize_t> shape = split.result_shape(block_shape(in.block), keepdims && !in.zero_d);
    if (in.array != nullptr && !split.distributed_reduced()) {
        return local_array_result(operation, *in.array, split, keepdims,
                                  flat.attr("reshape")(py::tuple(py::cast(shape))));
    }
    py::object result = shaped_result(flat, shape);
    if (!out.is_none()) {
        return into_out(operation, result, out);
    }
    return result;
}

} // namespace virda_python
