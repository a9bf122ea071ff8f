#include "dist_array.h"

#include "mpi_environment.h"

#include "frontend/row_exchange.h"

#include <map>
#include <numeric>
#include <string>

namespace py = pybind11;

namespace virda_python {

namespace {

/// Live arrays per communicator handle, for live_arrays().
std::map<MPI_Comm, int>& live_counts()
{
    static auto* counts = new std::map<MPI_Comm, int>;
    return *counts;
}

void forget(MPI_Comm comm)
{
    auto& counts = live_counts();
    const auto found = counts.find(comm);
    if (found != counts.end() && --found->second == 0) {
        counts.erase(found);
    }
}

} // namespace

dist_array::dist_array(communicator comm, element_type type, std::vector<py::ssize_t> shape, py::array block)
    : comm_(std::move(comm)), type_(type), shape_(std::move(shape)), block_(std::move(block))
{
    ++live_counts()[comm_.handle];
}

dist_array::~dist_array()
{
    if (!freed_) {
        forget(comm_.handle);
    }
}

int live_arrays(MPI_Comm comm)
{
    const auto found = live_counts().find(comm);
    return found == live_counts().end() ? 0 : found->second;
}

py::ssize_t dist_array::size() const
{
    return std::accumulate(shape_.begin(), shape_.end(), py::ssize_t{1}, std::multiplies<>());
}

py::ssize_t dist_array::row_length() const
{
    return std::accumulate(shape_.begin() + 1, shape_.end(), py::ssize_t{1}, std::multiplies<>());
}

const py::array& dist_array::block(const char* operation) const
{
    if (freed_) {
        throw py::value_error(std::string(operation) + ": the array has been freed");
    }
    return block_;
}

std::pair<py::ssize_t, py::ssize_t> dist_array::local_rows() const
{
    const auto rows = virda::frontend::balanced_rows(shape_[0], comm_.size, comm_.rank);
    return {static_cast<py::ssize_t>(rows.first), freed_ ? 0 : static_cast<py::ssize_t>(rows.count)};
}

py::array block_view(const dist_array& a, const char* operation, py::handle base)
{
    const py::array& block = a.block(operation);
    if (base.is_none()) {
        base = block;
    }
    std::vector<py::ssize_t> shape(block.shape(), block.shape() + block.ndim());
    std::vector<py::ssize_t> strides(block.strides(), block.strides() + block.ndim());
    return py::array(block.dtype(), shape, strides, const_cast<void*>(block.data()), base);
}

void dist_array::free()
{
    if (freed_) {
        return;
    }
    int viewed = exports_ > 0 ? 1 : 0;
    if (!mpi_finalized()) {
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &viewed, 1, MPI_INT, MPI_MAX, comm_.handle),
                  "free(): agreeing that no view is alive");
    }
    if (viewed != 0) {
        throw py::buffer_error(exports_ > 0
                                   ? "free(): a NumPy view of this array's block (.local) is still alive on this "
                                     "rank; delete the views, then free() on every rank"
                                   : "free(): a NumPy view of this array's block (.local) is still alive on "
                                     "another rank; nothing was freed");
    }
    block_ = py::array();
    freed_ = true;
    forget(comm_.handle);
}

namespace {

/// What a view of a block keeps: the Array's Python object (so the block
/// outlives the view) and the count of its views.
struct view_owner {
    py::object self;
    dist_array* array;
};

/// A writable NumPy array over this rank's block. Its base keeps the Array
/// alive and counted as exported until the last view derived from it goes.
py::array local_view(const py::object& self)
{
    auto& a = self.cast<dist_array&>();
    a.block("local"); // raises for a freed array before anything is counted
    a.add_export();
    py::capsule base(new view_owner{self, &a}, [](void* p) {
        auto* owner = static_cast<view_owner*>(p);
        owner->array->drop_export();
        delete owner;
    });
    return block_view(a, "local", base);
}

py::tuple shape_tuple(const dist_array& a)
{
    py::tuple t(a.shape().size());
    for (std::size_t i = 0; i < a.shape().size(); ++i) {
        t[i] = py::int_(a.shape()[i]);
    }
    return t;
}

std::string repr(const dist_array& a)
{
    std::string shape = py::str(shape_tuple(a));
    return "virdastatistics.Array(shape=" + shape + ", dtype=" + dtype_name(dtype_of(a.type())) +
           ", ranks=" + std::to_string(a.comm().size) + (a.freed() ? ", freed" : "") + ")";
}

} // namespace

py::class_<dist_array> bind_dist_array(py::module_& m)
{
    py::class_<dist_array> array_class(m, "Array", R"doc(
A distributed array: each rank holds a block of whole rows.

Made by empty, zeros, full, from_local or astype, collectively over a
communicator. The array is split by whole rows of its first axis: with n
ranks and N rows, the first N % n ranks hold N // n + 1 rows and the others
N // n (with fewer rows than ranks the last ranks hold none). Each rank holds
its own block, ``local``: a writable NumPy view of it, not a copy.

Lifetime: the block is memory of this process only. Dropping the Array
frees it; ``free()`` (or leaving a ``with`` block) frees it at once and is
collective (it refuses, on every rank, while a view is alive on any rank).
)doc");
    array_class.def_property_readonly("shape", &shape_tuple, "The global shape (the same on every rank). Local.")
        .def_property_readonly(
            "dtype", [](const dist_array& a) { return dtype_of(a.type()); },
            "The element type: float64, float32, or an integer type of 8 to 64 bits. Local.")
        .def_property_readonly(
            "ndim", [](const dist_array& a) { return a.shape().size(); }, "Number of axes.")
        .def_property_readonly("size", &dist_array::size, "Elements over all ranks. Local.")
        .def(
            "__len__", [](const dist_array& a) { return a.shape()[0]; }, "Rows over all ranks (shape[0]).")
        .def_property_readonly(
            "comm", [](const dist_array& a) { return a.comm().object; },
            "The mpi4py communicator the array is distributed over.")
        .def_property_readonly("local", &local_view, R"doc(
This rank's block: a writable NumPy view (no copy) of shape
(local rows, *shape[1:]). Writes show in the next statistic on every rank.
Views keep the Array alive; free() refuses, on every rank, while a view is
alive on any rank. Local.
)doc")
        .def_property_readonly(
            "local_range",
            [](const dist_array& a) {
                const auto [first, rows] = a.local_rows();
                return py::module_::import("builtins").attr("range")(first, first + rows);
            },
            "The global indices of this rank's rows along the first axis, as a range "
            "(for 1-D arrays, its elements). Local.")
        .def_property_readonly("freed", &dist_array::freed, "Whether free() has released the array.")
        .def("free", &dist_array::free, R"doc(
Frees the array's block. Collective over the array's communicator (one
reduction that agrees no view is alive): every rank calls it, in the same
order as its other collective calls. A second call does nothing. Raises
BufferError on every rank, freeing nothing, while a view of .local is alive
on any rank.
)doc")
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__",
            [](dist_array& a, const py::object&, const py::object&, const py::object&) {
                a.free();
                return false;
            },
            "Frees the array (collective: every rank leaves the block alike).")
        .def("__repr__", &repr)
        .def("__array__", [](const dist_array&, const py::args&, const py::kwargs&) -> py::object {
            throw py::type_error("a distributed Array has no single NumPy form: .local is this rank's block");
        });
    return array_class;
}

} // namespace virda_python
