#include "array_creation.h"

#include "library_call.h"
#include "mpi_environment.h"

#include "framework/attribute/attribute.h"

#include <boost/variant/get.hpp>

#include <algorithm>
#include <climits>
#include <string>

namespace py = pybind11;

namespace virda_python {

namespace {

/// An extent: anything with __index__ (int, numpy integers).
py::ssize_t extent_of(py::handle e)
{
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(e.ptr()));
    if (!index) {
        throw py::error_already_set();
    }
    return index.cast<py::ssize_t>();
}

} // namespace

std::vector<py::ssize_t> shape_of(py::handle shape)
{
    std::vector<py::ssize_t> extents;
    if (PyIndex_Check(shape.ptr()) != 0) {
        extents.push_back(extent_of(shape));
    } else if (py::isinstance<py::sequence>(shape) && !py::isinstance<py::str>(shape)) {
        for (py::handle e : py::reinterpret_borrow<py::sequence>(shape)) {
            extents.push_back(extent_of(e));
        }
    } else {
        throw py::type_error("shape must be an int or a sequence of ints");
    }
    if (extents.empty()) {
        throw py::value_error("shape must have at least one axis");
    }
    long long elements = 1;
    for (std::size_t i = 0; i < extents.size(); ++i) {
        if (extents[i] < 0) {
            throw py::value_error("negative dimensions are not allowed");
        }
        if (i > 0 && extents[i] == 0) {
            throw py::value_error("only the first axis may have extent 0 (rows are split over the ranks)");
        }
        if (extents[i] > INT_MAX) {
            elements = static_cast<long long>(INT_MAX) + 1;
            break;
        }
        // At most (2^31) * (2^31 - 1): no overflow.
        elements = std::min(elements * std::max<long long>(extents[i], 1), static_cast<long long>(INT_MAX) + 1);
    }
    if (elements > INT_MAX) {
        throw py::value_error("an array holds at most 2**31 - 1 elements");
    }
    return extents;
}

namespace {

/// Puts an array the library created on record as an Array of that shape
/// over `comm`. Local.
std::unique_ptr<dist_array> adopt_array(Attribute&& a, element_type type, std::vector<py::ssize_t> shape,
                                        const communicator& comm)
{
    auto* e = registry().add(std::move(a), comm.handle);
    return std::make_unique<dist_array>(e, comm, type, std::move(shape));
}

} // namespace

std::unique_ptr<dist_array> create_array(const char* operation, element_type type,
                                         const std::vector<py::ssize_t>& shape, const communicator& comm)
{
    require_mpi_running();
    registry().settle(comm.handle);
    const std::vector<int> dims(shape.begin(), shape.end());
    Attribute made = library_call(operation, comm.handle, comm.rank, [&] {
        Attribute a;
        with_element_type(type, [&](auto v) {
            using T = decltype(v);
            a.set_attribute(array_variant(va<T>(dims, comm.handle)));
        });
        return a;
    });
    // A creation that failed (on every rank alike) left an empty array
    // without a block; the library's message has been raised above.
    const bool have_block = with_element_type(
        type, [&](auto v) { return boost::get<va<decltype(v)>>(*made.held()).va_local_data() != nullptr; });
    if (!have_block) {
        throw std::runtime_error(std::string(operation) + ": the library could not create the array");
    }
    return adopt_array(std::move(made), type, shape, comm);
}

namespace {

/// `value` as an element of type e, when it converts exactly (NaN stays
/// NaN in the float types); TypeError or ValueError otherwise.
py::object exact_fill_value(const py::object& value, element_type e)
{
    auto np = py::module_::import("numpy");
    py::array given = np.attr("asarray")(value);
    if (given.ndim() != 0) {
        throw py::value_error("full: fill_value must be a single number");
    }
    if (!conversion_of(given.dtype())) {
        throw py::type_error(refused_message("full: a fill_value of dtype " + dtype_name(given.dtype())));
    }
    py::object converted;
    try {
        converted = given.attr("astype")(dtype_of(e));
    } catch (const py::error_already_set&) {
        converted = py::none();
    }
    const bool exact =
        !converted.is_none() && (np.attr("equal")(converted, given).cast<bool>() ||
                                 (np.attr("isnan")(converted).cast<bool>() && np.attr("isnan")(given).cast<bool>()));
    if (!exact) {
        throw py::value_error("full: fill_value " + std::string(py::repr(value)) + " is not exactly a " +
                              dtype_name(dtype_of(e)));
    }
    return converted;
}

template <typename T>
void fill_block(dist_array& a, T value)
{
    va<T>& v = a.array<T>("fill");
    std::fill(v.va_local_data(), v.va_local_data() + v.va_local_count(), value);
}

} // namespace

void bind_array_creation(py::module_& m, py::class_<dist_array>& array_class)
{
    m.def(
        "empty",
        [](const py::object& shape, const py::object& dtype, const py::object& comm) {
            const auto s = shape_of(shape);
            return create_array("empty", element_type_of(dtype), s, communicator_of(comm));
        },
        py::arg("shape"), py::arg("dtype") = py::str("float64"), py::arg("comm") = py::none(), R"doc(
A new array of this shape and dtype (float64, float32 or int32) over comm
(default MPI.COMM_WORLD), its blocks not initialised: fill ``local``.
Collective over comm.
)doc");
    m.def(
        "zeros",
        [](const py::object& shape, const py::object& dtype, const py::object& comm) {
            const auto s = shape_of(shape);
            auto a = create_array("zeros", element_type_of(dtype), s, communicator_of(comm));
            with_element_type(a->type(), [&](auto v) { fill_block(*a, decltype(v){}); });
            return a;
        },
        py::arg("shape"), py::arg("dtype") = py::str("float64"), py::arg("comm") = py::none(),
        "A new array of zeros, as empty(). Collective over comm.");
    m.def(
        "full",
        [](const py::object& shape, const py::object& fill_value, const py::object& dtype, const py::object& comm) {
            const auto s = shape_of(shape);
            const element_type e = element_type_of(dtype);
            const py::object value = exact_fill_value(fill_value, e);
            auto a = create_array("full", e, s, communicator_of(comm));
            with_element_type(e, [&](auto v) { fill_block(*a, value.cast<decltype(v)>()); });
            return a;
        },
        py::arg("shape"), py::arg("fill_value"), py::arg("dtype") = py::str("float64"), py::arg("comm") = py::none(),
        R"doc(
A new array with every element fill_value, as empty(). The value must be
exactly an element of dtype (default float64: unlike numpy.full, the dtype
is not taken from the value). Collective over comm.
)doc");
    array_class.def(
        "astype",
        [](dist_array& a, const py::object& dtype) {
            // Checked before the copy is created (a collective): a freed
            // array or a dtype that is no element type.
            a.attribute("astype");
            const element_type e = element_type_of(dtype);
            auto copy = create_array("astype", e, a.shape(), a.comm());
            // Views for this call only: both arrays outlive them.
            py::module_::import("numpy").attr("copyto")(block_view(*copy, "astype", py::none()),
                                                        block_view(a, "astype", py::none()),
                                                        py::arg("casting") = "unsafe");
            return copy;
        },
        py::arg("dtype"), R"doc(
A new array of this shape and communicator with the elements converted to
dtype (float64, float32 or int32) as numpy's astype converts them. Always a
copy. Collective over the array's communicator.
)doc");
}

} // namespace virda_python
