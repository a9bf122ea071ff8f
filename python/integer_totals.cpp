#include "integer_totals.h"

#include "float_to_integer.h"
#include "local_values.h"
#include "numpy_module.h"
#include "reduction_results.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>

namespace py = pybind11;
using virda::engine::nan_policy;

namespace virda_python {

py::object sum_as_integers(const char* operation, const prepared& p, nan_policy policy, py::handle dtype,
                           py::handle initial, bool keepdims, const py::object& out)
{
    const reduction_input& in = p.in;
    const axis_split& split = p.split;
    // Integers add modulo 2^64 as NumPy's do: exact locally, then one
    // MPI_Allreduce of the 64-bit totals where axis 0 is reduced.
    // Floating-point values are each cast to the integer dtype first
    // (NumPy's unsafe cast; NaN is 0 in nansum), and how many casts were
    // invalid rides along with the totals, for NumPy's warning.
    const bool cast_floats = in.block.dtype().kind() == 'f';
    py::array values = in.block;
    std::int64_t invalid = 0;
    if (cast_floats) {
        read_alike(operation, in.comm, [&] {
            values = cast_to_integers(in.block, py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)),
                                      policy == nan_policy::omit, &invalid);
        });
    }
    const bool is_unsigned = !cast_floats && p.given.kind() == 'u'; // bools add up as int64, as NumPy's
    py::tuple axes = py::cast(split.reduced);
    py::array local = numpy().attr("sum")(values.ndim() == 0 ? values.attr("reshape")(1) : py::object(values), axes,
                                          is_unsigned ? "uint64" : "int64");
    local = numpy().attr("ascontiguousarray")(local).attr("reshape")(-1);
    if (cast_floats) {
        local = numpy().attr("append")(local, invalid);
    }
    summed_over_ranks(operation, "adding the totals", p, local.mutable_data(), static_cast<std::size_t>(local.size()),
                      MPI_UINT64_T);
    if (cast_floats) {
        invalid = local.attr("__getitem__")(-1).cast<std::int64_t>();
        local = local.attr("__getitem__")(py::slice(0, local.size() - 1, 1));
        if (agreed_flags(operation, in.comm, split, invalid != 0 ? 1u : 0u) != 0) {
            warn(PyExc_RuntimeWarning, "invalid value encountered in reduce");
        }
    }
    if (!initial.is_none()) {
        local = numpy().attr("add")(local, numpy().attr("asarray")(initial).attr("astype")(local.dtype()));
    }
    if (!dtype.is_none()) {
        local = local.attr("astype")(dtype);
    }
    return finish_reduction(operation, in, split, keepdims, local, out);
}

py::object count_nonzero_of(py::handle a, py::handle axis, bool keepdims, py::handle comm)
{
    const char* operation = "count_nonzero";
    const prepared p = prepare_reduction(operation, a, axis, comm, true, false);
    const reduction_input& in = p.in;
    const axis_split& split = p.split;
    py::tuple axes = py::cast(split.reduced);
    const py::object block = in.block.ndim() == 0 ? in.block.attr("reshape")(1) : py::object(in.block);
    py::array local = numpy().attr("count_nonzero")(block, axes);
    local = numpy().attr("ascontiguousarray")(local, "int64").attr("reshape")(-1);
    summed_over_ranks(operation, "adding the counts", p, local.mutable_data(), static_cast<std::size_t>(local.size()),
                      MPI_INT64_T);
    if (split.all && !keepdims) {
        return py::int_(local.attr("__getitem__")(0));
    }
    return finish_reduction(operation, in, split, keepdims, local, py::none());
}

} // namespace virda_python
