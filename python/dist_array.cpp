#include "dist_array.h"

#include "mpi_environment.h"

#include <boost/variant/get.hpp>

#include <numeric>
#include <string>

namespace py = pybind11;

namespace virda_python {

dist_array::dist_array(array_registry::entry* e, communicator comm, element_type type, std::vector<py::ssize_t> shape)
    : entry_(e), comm_(std::move(comm)), type_(type), shape_(std::move(shape))
{
}

dist_array::~dist_array()
{
    if (entry_ != nullptr) {
        registry().abandon(entry_);
    }
}

py::ssize_t dist_array::size() const
{
    return std::accumulate(shape_.begin(), shape_.end(), py::ssize_t{1}, std::multiplies<>());
}

py::ssize_t dist_array::row_length() const
{
    return std::accumulate(shape_.begin() + 1, shape_.end(), py::ssize_t{1}, std::multiplies<>());
}

Attribute& dist_array::attribute(const char* operation)
{
    if (entry_ == nullptr) {
        throw py::value_error(std::string(operation) + ": the array has been freed");
    }
    return entry_->attribute();
}

template <typename T>
va<T>& dist_array::array(const char* operation)
{
    // The attribute owns a non-const array and hands out only a const view
    // of it; writing to the block is what the owning rank may do.
    auto* held = const_cast<array_variant*>(attribute(operation).held());
    return boost::get<va<T>>(*held);
}

template va<double>& dist_array::array<double>(const char*);
template va<float>& dist_array::array<float>(const char*);
template va<int>& dist_array::array<int>(const char*);

std::pair<py::ssize_t, py::ssize_t> dist_array::local_rows() const
{
    if (entry_ == nullptr) {
        return {0, 0};
    }
    const va_range range = with_element_type(
        type_, [&](auto v) { return boost::get<va<decltype(v)>>(*entry_->attribute().held()).va_local_range(); });
    const py::ssize_t row = row_length();
    return {range.first / row, range.count / row};
}

py::array block_view(dist_array& a, const char* operation, py::handle base)
{
    void* data =
        with_element_type(a.type(), [&](auto v) -> void* { return a.array<decltype(v)>(operation).va_local_data(); });
    std::vector<py::ssize_t> shape = a.shape();
    shape[0] = a.local_rows().second;
    return py::array(dtype_of(a.type()), shape, data, base);
}

void dist_array::free()
{
    if (entry_ == nullptr) {
        return;
    }
    if (!registry().release(entry_, exports_ == 0)) {
        throw py::buffer_error(exports_ > 0
                                   ? "free(): a NumPy view of this array's block (.local) is still alive on this "
                                     "rank; delete the views, then free() on every rank"
                                   : "free(): a NumPy view of this array's block (.local) is still alive on "
                                     "another rank; nothing was released");
    }
    entry_ = nullptr;
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
    require_mpi_running();
    a.attribute("local"); // raises for a freed array before anything is counted
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
A distributed array with the library's row layout.

Made by empty, zeros, full, from_local or astype, collectively over a
communicator. The array is split by whole rows of its first axis: with n
ranks and N rows, the first N % n ranks hold N // n + 1 rows and the others
N // n (with fewer rows than ranks the last ranks hold none). Each rank holds
its own block, ``local``: a writable NumPy view of it, not a copy.

Lifetime: ``free()`` (or leaving a ``with`` block) releases the array at
once; it is collective. An Array whose Python object goes away without
free() is queued and released at a later collective point where every rank
has queued it (see the module's documentation).
)doc");
    array_class.def_property_readonly("shape", &shape_tuple, "The global shape (the same on every rank). Local.")
        .def_property_readonly(
            "dtype", [](const dist_array& a) { return dtype_of(a.type()); },
            "The element type: float64, float32 or int32. Local.")
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
(local rows, *shape[1:]). Writes show in the next statistic on every rank;
the module publishes blocks itself before any rank reads another's (see the
module's documentation). Views keep the Array alive; free() refuses, on every
rank, while a view is alive on any rank. Local.
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
Releases the array's block and MPI window. Collective over the array's
communicator: every rank calls it, in the same order as its other
collective calls. Queued releases of other arrays happen here too. A second
call does nothing. Raises BufferError on every rank, releasing nothing,
while a view of .local is alive on any rank.
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
