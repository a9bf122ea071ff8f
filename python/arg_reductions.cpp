#include "arg_reductions.h"

#include "numpy_module.h"
#include "reduction_results.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <string>

namespace py = pybind11;

namespace virda_python {

namespace {

/// Indices written into out as NumPy's argmin and argmax write them: out
/// must be an ndarray of the result's shape exactly (ValueError) whose dtype
/// the index type casts from safely (TypeError; a 0-d out by its value, as
/// NumPy 1.24 decides), then the indices are stored in its dtype. Local.
py::object positions_into_out(const char* name, const py::object& positions, const py::object& out)
{
    if (!py::isinstance<py::array>(out)) {
        throw py::type_error("output must be an array");
    }
    const py::array target = out;
    const py::array value = numpy().attr("asarray")(positions);
    if (target.ndim() != value.ndim() || !std::equal(value.shape(), value.shape() + value.ndim(), target.shape())) {
        throw py::value_error(std::string("output array does not match result of np.") + name + ".");
    }
    const py::object intp = numpy().attr("intp");
    const py::object from = target.ndim() == 0 ? py::object(target) : py::object(target.dtype());
    if (!numpy().attr("can_cast")(from, intp, "safe").cast<bool>()) {
        throw py::type_error(std::string("Cannot cast ") + (target.ndim() == 0 ? "scalar" : "array data") + " from " +
                             py::repr(target.dtype()).cast<std::string>() + " to " +
                             py::repr(numpy().attr("dtype")(intp)).cast<std::string>() +
                             " according to the rule 'safe'");
    }
    numpy().attr("copyto")(target, value, py::arg("casting") = "unsafe");
    return out;
}

} // namespace

py::object positions_result(const char* operation, bool least, const std::optional<virda::engine::extremes_summary>& s,
                            bool all_nan, const prepared& p, bool keepdims, const py::object& out)
{
    const reduction_input& in = p.in;
    const axis_split& split = p.split;
    const std::size_t columns = s ? s->columns() : 0;
    py::array_t<std::int64_t> at(static_cast<py::ssize_t>(columns));
    for (std::size_t j = 0; j < columns; ++j) {
        at.mutable_data()[j] = least ? s->argmin(j) : s->argmax(j);
    }
    if (all_nan) {
        throw py::value_error("All-NaN slice encountered");
    }
    const py::object positions = finish_reduction(operation, in, split, keepdims, at, py::none());
    if (out.is_none() || (in.array != nullptr && !split.distributed_reduced())) {
        return positions;
    }
    return positions_into_out(least ? "argmin" : "argmax", positions, out);
}

} // namespace virda_python
