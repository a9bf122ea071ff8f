#include "array_creation.h"

#include "agreed_allocation.h"
#include "mpi_environment.h"

#include "frontend/row_exchange.h"

#include <algorithm>
#include <climits>
#include <numeric>
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
    // 2^59 elements of 8 bytes still have a byte count NumPy takes (below
    // 2^63); beyond it NumPy refuses with ValueError, not MemoryError, on the
    // ranks whose blocks are that large only.
    constexpr long long most = 1LL << 59;
    long long elements = 1;
    for (std::size_t i = 0; i < extents.size(); ++i) {
        if (extents[i] < 0) {
            throw py::value_error("negative dimensions are not allowed");
        }
        if (i > 0 && extents[i] == 0) {
            throw py::value_error("only the first axis may have extent 0 (rows are split over the ranks)");
        }
        if (extents[i] > most) {
            elements = most + 1;
            break;
        }
        // At most 2^59 * 2^59 before the bound is checked: no overflow, since
        // each factor is at most 2^59 and the product is cut at the bound.
        const long long factor = std::max<long long>(extents[i], 1);
        elements = elements > most / factor ? most + 1 : elements * factor;
    }
    if (elements > most) {
        throw py::value_error("an array holds at most 2**59 elements");
    }
    return extents;
}

std::unique_ptr<dist_array> create_array(const char* operation, element_type type,
                                         const std::vector<py::ssize_t>& shape, const communicator& comm)
{
    require_mpi_running();
    const auto rows_of = [&](int rank) { return virda::frontend::balanced_rows(shape[0], comm.size, rank).count; };
    std::vector<py::ssize_t> local_shape = shape;
    local_shape[0] = static_cast<py::ssize_t>(rows_of(comm.rank));
    const std::size_t row_bytes = virda::engine::facts_of(type).size *
                                  static_cast<std::size_t>(std::accumulate(
                                      shape.begin() + 1, shape.end(), py::ssize_t{1}, std::multiplies<>()));
    // The largest block (rank 0's) decides, alike on every rank, whether the
    // ranks agree that each got its own; below a mebibyte they do not.
    py::array block;
    const auto allocate = [&] { block = py::array(dtype_of(type), local_shape); };
    if (static_cast<std::size_t>(rows_of(0)) * row_bytes <= agreed_allocation_threshold) {
        allocate();
    } else {
        allocation_outcome outcome;
        outcome.attempt(allocate);
        int first_failed = outcome.failed() ? comm.rank : INT_MAX;
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &first_failed, 1, MPI_INT, MPI_MIN, comm.handle),
                  "agreeing on the blocks' allocation");
        if (first_failed != INT_MAX) {
            PyErr_SetString(PyExc_MemoryError,
                            allocation_failure(operation, "its block",
                                               static_cast<std::size_t>(rows_of(first_failed)) * row_bytes,
                                               first_failed)
                                .c_str());
            throw py::error_already_set();
        }
    }
    return std::make_unique<dist_array>(comm, type, shape, std::move(block));
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

/// Sets every element of this rank's block to `value` (a NumPy scalar or
/// 0-d array of the block's dtype).
void fill_block(const dist_array& a, const py::object& value)
{
    a.block("fill").attr("fill")(value);
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
A new array of this shape and dtype (float64, float32, or an integer type
of 8, 16, 32 or 64 bits, signed or unsigned) over comm
(default MPI.COMM_WORLD), its blocks not initialised: fill ``local``.
Collective over comm.
)doc");
    m.def(
        "zeros",
        [](const py::object& shape, const py::object& dtype, const py::object& comm) {
            const auto s = shape_of(shape);
            auto a = create_array("zeros", element_type_of(dtype), s, communicator_of(comm));
            fill_block(*a, py::int_(0));
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
            fill_block(*a, value);
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
            a.block("astype");
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
dtype (an element type, as for empty) as numpy's astype converts them. Always a
copy. Collective over the array's communicator.
)doc");
}

} // namespace virda_python
