#include "axes.h"

#include "array_creation.h"
#include "local_values.h"
#include "mpi_environment.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace py = pybind11;
using virda::engine::number_type;
using virda::engine::table_view;

namespace virda_python {

namespace {

/// One axis of a block: its extent and the bytes from one element to the next.
struct strided_axis {
    std::int64_t extent;
    std::int64_t stride;
};

/// The axes of `block` named in `which` (in that order), those of extent 1 left out.
std::vector<strided_axis> axes_named(const py::array& block, const std::vector<int>& which)
{
    std::vector<strided_axis> out;
    for (int k : which) {
        const auto n = static_cast<std::int64_t>(block.shape(k));
        if (n != 1) {
            out.push_back({n, static_cast<std::int64_t>(block.strides(k))});
        }
    }
    return out;
}

/// Neighbouring axes joined where the outer one steps over the inner one
/// whole; the result in the same order, outermost first.
std::vector<strided_axis> merged(const std::vector<strided_axis>& axes)
{
    std::vector<strided_axis> out;
    for (const strided_axis& x : axes) {
        if (!out.empty() && out.back().stride == x.stride * x.extent) {
            out.back() = {out.back().extent * x.extent, x.stride};
        } else {
            out.push_back(x);
        }
    }
    return out;
}

/// NumPy's AxisError for `axis` and an array of ndim axes.
[[noreturn]] void raise_axis_error(py::handle axis, int ndim)
{
    py::object error = py::module_::import("numpy").attr("AxisError")(axis, ndim);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

/// One axis argument as an index in [0, ndim).
int axis_index(py::handle axis, int ndim)
{
    PyObject* index = PyNumber_Index(axis.ptr());
    if (index == nullptr) {
        throw py::error_already_set();
    }
    const py::object owned = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    const long long k = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (overflow != 0 || k < -ndim || k >= ndim) {
        raise_axis_error(owned, ndim);
    }
    return static_cast<int>(k < 0 ? k + ndim : k);
}

} // namespace

bool axis_split::is_reduced(int k) const
{
    return std::binary_search(reduced.begin(), reduced.end(), k);
}

std::vector<py::ssize_t> axis_split::result_shape(const std::vector<py::ssize_t>& shape, bool keepdims) const
{
    std::vector<py::ssize_t> out;
    for (int k = 0; k < ndim; ++k) {
        const py::ssize_t n = static_cast<std::size_t>(k) < shape.size() ? shape[static_cast<std::size_t>(k)] : 1;
        if (!is_reduced(k)) {
            out.push_back(n);
        } else if (keepdims) {
            out.push_back(1);
        }
    }
    return out;
}

std::int64_t axis_split::reduced_count(const std::vector<py::ssize_t>& shape) const
{
    std::int64_t n = 1;
    for (int k : reduced) {
        n *= static_cast<std::int64_t>(shape.at(static_cast<std::size_t>(k)));
    }
    return n;
}

std::int64_t axis_split::kept_count(const std::vector<py::ssize_t>& shape) const
{
    std::int64_t n = 1;
    for (int k : kept) {
        n *= static_cast<std::int64_t>(shape.at(static_cast<std::size_t>(k)));
    }
    return n;
}

axis_split split_axes(py::handle axis, int ndim, bool tuples)
{
    axis_split s;
    s.ndim = std::max(ndim, 1);
    if (axis.is_none()) {
        for (int k = 0; k < s.ndim; ++k) {
            s.reduced.push_back(k);
        }
        return s;
    }
    s.all = false;
    if (tuples && py::isinstance<py::tuple>(axis)) {
        for (py::handle item : py::reinterpret_borrow<py::tuple>(axis)) {
            s.reduced.push_back(axis_index(item, s.ndim));
        }
        std::vector<int> sorted = s.reduced;
        std::sort(sorted.begin(), sorted.end());
        if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
            throw py::value_error("duplicate value in 'axis'");
        }
        s.reduced = sorted;
    } else {
        s.reduced.push_back(axis_index(axis, s.ndim));
    }
    for (int k = 0; k < s.ndim; ++k) {
        if (!s.is_reduced(k)) {
            s.kept.push_back(k);
        }
    }
    return s;
}

std::vector<py::ssize_t> block_shape(const py::array& block)
{
    if (block.ndim() == 0) {
        return {1};
    }
    return std::vector<py::ssize_t>(block.shape(), block.shape() + block.ndim());
}

reduction_tables tables_for(const py::array& given, const axis_split& split)
{
    const py::array block = given.ndim() == 0 ? py::array(given.attr("reshape")(1)) : given;
    reduction_tables r;
    r.owner = block;
    number_type_of_dtype(block.dtype(), &r.type);
    const std::vector<py::ssize_t> shape = block_shape(block);
    r.rows = split.reduced_count(shape);
    r.columns = split.kept_count(shape);
    if (r.rows == 0 || r.columns == 0) {
        return r;
    }
    const std::vector<strided_axis> kept = merged(axes_named(block, split.kept));
    if (kept.size() > 1) {
        // The kept elements are no single strided axis: a C-ordered copy with
        // the reduced axes first, whose kept axes join into one.
        std::vector<int> order = split.reduced;
        order.insert(order.end(), split.kept.begin(), split.kept.end());
        auto numpy = py::module_::import("numpy");
        const py::array copy = numpy.attr("ascontiguousarray")(numpy.attr("transpose")(block, py::cast(order)));
        axis_split moved = split;
        moved.reduced.clear();
        moved.kept.clear();
        for (int k = 0; k < split.ndim; ++k) {
            (k < static_cast<int>(split.reduced.size()) ? moved.reduced : moved.kept).push_back(k);
        }
        return tables_for(copy, moved);
    }
    const auto size = static_cast<std::int64_t>(block.itemsize());
    const std::int64_t column_stride = kept.empty() ? size : kept[0].stride;
    std::vector<strided_axis> reduced = merged(axes_named(block, split.reduced));
    if (reduced.empty()) {
        reduced.push_back({1, size});
    }
    const strided_axis inner = reduced.back();
    reduced.pop_back();
    // The outer reduced axes in C order, each index one table.
    const char* base = static_cast<const char*>(block.data());
    std::vector<std::int64_t> index(reduced.size(), 0);
    std::int64_t offset = 0;
    for (;;) {
        r.tables.push_back(table_view{base + offset, r.type, inner.extent, r.columns, inner.stride, column_stride});
        std::size_t d = reduced.size();
        for (; d > 0; --d) {
            strided_axis& x = reduced[d - 1];
            if (++index[d - 1] < x.extent) {
                offset += x.stride;
                break;
            }
            offset -= x.stride * (x.extent - 1);
            index[d - 1] = 0;
        }
        if (d == 0) {
            return r;
        }
    }
}

py::object shaped_result(const py::array& flat, const std::vector<py::ssize_t>& shape, bool keep_array)
{
    if (shape.empty() && !keep_array) {
        // NumPy's scalar of the one element, without looking up a method.
        PyObject* item = PySequence_GetItem(flat.ptr(), 0);
        if (item == nullptr) {
            throw py::error_already_set();
        }
        return py::reinterpret_steal<py::object>(item);
    }
    return flat.attr("reshape")(py::tuple(py::cast(shape)));
}

py::object local_array_result(const char* operation, const dist_array& a, const axis_split& split, bool keepdims,
                              const py::array& rows)
{
    number_type type;
    number_type_of_dtype(rows.dtype(), &type);
    const std::vector<py::ssize_t> shape = split.result_shape(a.shape(), keepdims);
    std::unique_ptr<dist_array> result = create_array(operation, type, shape, a.comm());
    py::array block = result->block(operation);
    const py::array contiguous = py::module_::import("numpy").attr("ascontiguousarray")(rows);
    if (block.nbytes() != contiguous.nbytes()) {
        throw std::logic_error(std::string(operation) + ": this rank's rows of the result do not fit its block");
    }
    if (block.nbytes() > 0) {
        std::memcpy(block.mutable_data(), contiguous.data(), static_cast<std::size_t>(block.nbytes()));
    }
    return py::cast(result.release(), py::return_value_policy::take_ownership);
}

py::object into_out(const char* operation, const py::object& result, const py::object& out, bool broadcast)
{
    if (!py::isinstance<py::array>(out)) {
        throw py::type_error(std::string(operation) + ": out must be a NumPy array");
    }
    const py::array target = out;
    const py::array value = py::module_::import("numpy").attr("asarray")(result);
    const bool same_shape =
        target.ndim() == value.ndim() && std::equal(value.shape(), value.shape() + value.ndim(), target.shape());
    bool fits = same_shape;
    if (!same_shape && broadcast) {
        try {
            fits = py::module_::import("numpy")
                       .attr("broadcast_shapes")(value.attr("shape"), target.attr("shape"))
                       .equal(py::tuple(target.attr("shape")));
        } catch (const py::error_already_set&) {
            fits = false;
        }
    }
    if (!fits) {
        throw py::value_error(std::string(operation) + ": out has shape " + py::str(out.attr("shape")).cast<std::string>() +
                              ", the result " + py::str(value.attr("shape")).cast<std::string>());
    }
    py::module_::import("numpy").attr("copyto")(target, value, py::arg("casting") = "same_kind");
    return out;
}

void agreed_counts(const char* operation, const communicator& comm, const axis_split& split, std::int64_t* counts,
                   int n)
{
    if (split.distributed_reduced() || comm.size <= 1) {
        return;
    }
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, counts, n, MPI_INT64_T, MPI_SUM, comm.handle),
              (std::string(operation) + ": agreeing on empty and all-NaN slices").c_str());
}

unsigned agreed_flags(const char* operation, const communicator& comm, const axis_split& split, unsigned flags)
{
    if (split.distributed_reduced() || comm.size <= 1) {
        return flags;
    }
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, &flags, 1, MPI_UNSIGNED, MPI_BOR, comm.handle),
              (std::string(operation) + ": agreeing on empty and all-NaN slices").c_str());
    return flags;
}

} // namespace virda_python
