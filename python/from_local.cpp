#include "from_local.h"

#include "agreed_allocation.h"
#include "array_creation.h"
#include "mpi_environment.h"

#include "frontend/row_exchange.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace py = pybind11;

namespace virda_python {

namespace {

// NumPy arrays have at most 32 axes.
constexpr int max_axes = 32;

/// Why a rank's block could not be looked at: the exception it raised.
enum class block_failure : std::int32_t { none, value_error, type_error, memory_error, other };

/// What each rank says about its block before anything is created; every
/// rank gets every rank's and decides from them alike.
struct block_header {
    std::int64_t rows = 0;
    std::int32_t axes = 0;
    std::int32_t type = -1;  ///< element_type, or -1: a dtype that is refused
    std::int32_t masked = 0; ///< 1: a masked array with masked elements
    std::int32_t copied = 0; ///< 1: moving the rows needs a converted copy
    block_failure failure = block_failure::none;
    std::int64_t extents[max_axes - 1] = {}; ///< the extents after the first
    char message[256] = {};                  ///< the exception's text, with a failure
};

/// The block as a NumPy array: NumPy's conversion, and the data of a masked
/// array with nothing masked.
py::array block_array(const py::object& block, block_header& h)
{
    auto np = py::module_::import("numpy");
    if (py::isinstance(block, np.attr("ma").attr("MaskedArray"))) {
        h.masked = np.attr("ma").attr("is_masked")(block).cast<bool>() ? 1 : 0;
        return np.attr("ma").attr("getdata")(block);
    }
    return np.attr("asarray")(block);
}

void describe(const py::array& block, block_header& h)
{
    h.axes = static_cast<std::int32_t>(block.ndim());
    if (h.axes == 0) {
        return;
    }
    h.rows = block.shape(0);
    for (int i = 1; i < h.axes; ++i) {
        h.extents[i - 1] = block.shape(i);
    }
    if (const auto conversion = conversion_of(block.dtype())) {
        h.type = static_cast<std::int32_t>(*conversion);
        // Equal dtypes: the same type and byte order.
        const bool ready = block.dtype().attr("__eq__")(dtype_of(*conversion)).cast<bool>();
        h.copied = ready && (block.flags() & py::array::c_style) != 0 ? 0 : 1;
    }
}

/// Looks at this rank's block without raising: what NumPy makes of it, or
/// the exception it raised, goes into the header for every rank to see.
py::array look_at(const py::object& block, block_header& h)
{
    const auto fail = [&](block_failure why, const std::string& text) {
        h.failure = why;
        std::snprintf(h.message, sizeof h.message, "%s", text.c_str());
    };
    try {
        py::array given = block_array(block, h);
        describe(given, h);
        return given;
    } catch (py::error_already_set& e) {
        fail(e.matches(PyExc_MemoryError)  ? block_failure::memory_error
             : e.matches(PyExc_ValueError) ? block_failure::value_error
             : e.matches(PyExc_TypeError)  ? block_failure::type_error
                                           : block_failure::other,
             std::string(py::str(py::type::of(e.value()).attr("__name__"))) + ": " + std::string(py::str(e.value())));
    } catch (const std::bad_alloc&) {
        fail(block_failure::memory_error, "MemoryError");
    }
    return py::array();
}

/// Raises an exception of the kind `why` with this text.
[[noreturn]] void raise(block_failure why, const std::string& text)
{
    PyObject* type = why == block_failure::value_error    ? PyExc_ValueError
                     : why == block_failure::type_error   ? PyExc_TypeError
                     : why == block_failure::memory_error ? PyExc_MemoryError
                                                          : PyExc_RuntimeError;
    PyErr_SetString(type, text.c_str());
    throw py::error_already_set();
}

/// "rank 1" or "ranks 0, 2": the ranks for which `bad` holds.
template <typename Bad>
std::string ranks_where(const std::vector<block_header>& all, Bad bad)
{
    std::vector<std::size_t> ranks;
    for (std::size_t r = 0; r < all.size(); ++r) {
        if (bad(all[r])) {
            ranks.push_back(r);
        }
    }
    std::string text = ranks.size() == 1 ? "rank " : "ranks ";
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        text += (i > 0 ? ", " : "") + std::to_string(ranks[i]);
    }
    return ranks.empty() ? std::string() : text;
}

bool same_row_shape(const block_header& a, const block_header& b)
{
    if (a.axes != b.axes) {
        return false;
    }
    for (int i = 0; i + 1 < a.axes; ++i) {
        if (a.extents[i] != b.extents[i]) {
            return false;
        }
    }
    return true;
}

/// Raises, on every rank alike, unless the blocks make one array: every
/// block has an axis, the same extents after the first, a dtype that
/// converts to the same element type and values that fit it. `local_dtype`
/// names this rank's own dtype in a refusal.
void check_blocks_agree(const std::vector<block_header>& all, const std::string& local_dtype)
{
    std::string ranks = ranks_where(all, [](const block_header& h) { return h.failure != block_failure::none; });
    if (!ranks.empty()) {
        // The first failing rank's exception, alike on every rank.
        const auto first = std::find_if(all.begin(), all.end(),
                                        [](const block_header& h) { return h.failure != block_failure::none; });
        raise(first->failure, "from_local: the block on " + ranks + " could not be converted (rank " +
                                  std::to_string(first - all.begin()) + ": " + first->message + ")");
    }
    ranks = ranks_where(all, [](const block_header& h) { return h.masked != 0; });
    if (!ranks.empty()) {
        throw py::value_error("from_local: the blocks have masked elements on " + ranks +
                              ", and an array has no mask: give the values to keep (compressed() or filled())");
    }
    ranks = ranks_where(all, [](const block_header& h) { return h.axes == 0; });
    if (!ranks.empty()) {
        throw py::value_error("from_local: the block on " + ranks + " has no axis (give rows, e.g. shape (0,))");
    }
    ranks = ranks_where(all, [&](const block_header& h) { return !same_row_shape(h, all[0]); });
    if (!ranks.empty()) {
        throw py::value_error("from_local: the blocks' shapes after the first axis differ from rank 0's on " + ranks);
    }
    ranks = ranks_where(all, [](const block_header& h) { return h.type < 0; });
    if (!ranks.empty()) {
        throw py::type_error(
            refused_message("from_local: the block on " + ranks + " (this rank's dtype: " + local_dtype + ")"));
    }
    ranks = ranks_where(all, [&](const block_header& h) { return h.type != all[0].type; });
    if (!ranks.empty()) {
        throw py::type_error("from_local: the blocks on " + ranks + " convert to another element type than rank 0's (" +
                             dtype_name(dtype_of(static_cast<element_type>(all[0].type))) +
                             "): give every rank blocks of one dtype");
    }
}

/// The shape of the whole array the blocks make.
std::vector<py::ssize_t> shape_of_blocks(const std::vector<block_header>& all)
{
    long long rows = 0;
    for (const block_header& h : all) {
        rows += h.rows;
    }
    py::list shape;
    shape.append(rows);
    for (int i = 0; i + 1 < all[0].axes; ++i) {
        shape.append(all[0].extents[i]);
    }
    return shape_of(shape);
}

std::unique_ptr<dist_array> from_local(const py::object& block, const py::object& comm_argument)
{
    require_mpi_running();
    const communicator comm = communicator_of(comm_argument);
    auto np = py::module_::import("numpy");

    // Whatever this rank's block is, every rank learns it before any rank
    // raises: a block NumPy cannot convert raises on every rank alike.
    block_header mine;
    const py::array given = look_at(block, mine);
    std::vector<block_header> all(comm.size);
    check_mpi(MPI_Allgather(&mine, sizeof mine, MPI_BYTE, all.data(), sizeof mine, MPI_BYTE, comm.handle),
              "from_local: agreeing on the blocks");
    check_blocks_agree(all, dtype_name(given.dtype()));
    const auto type = static_cast<element_type>(all[0].type);

    auto a = create_array("from_local", type, shape_of_blocks(all), comm);
    if (a->shape()[0] == 0) {
        return a;
    }
    std::vector<std::int64_t> given_rows(static_cast<std::size_t>(comm.size));
    std::vector<virda::frontend::row_range> target(static_cast<std::size_t>(comm.size));
    bool in_place = true;
    for (int r = 0; r < comm.size; ++r) {
        given_rows[r] = all[r].rows;
        target[r] = virda::frontend::balanced_rows(a->shape()[0], comm.size, r);
        in_place = in_place && target[r].count == all[r].rows;
    }
    py::array target_block = a->block("from_local");
    if (in_place) {
        // Every rank holds the rows the layout gives it: copy (and convert) them.
        np.attr("copyto")(target_block, given, py::arg("casting") = "unsafe");
        return a;
    }
    // The rows are sent from a C-ordered block of the element type: a
    // converted copy where the given block is not one, which the ranks
    // agree they could make before they exchange anything.
    py::array rows = given;
    if (std::any_of(all.begin(), all.end(), [](const block_header& h) { return h.copied != 0; })) {
        allocation_outcome copied;
        copied.attempt([&] { rows = np.attr("ascontiguousarray")(given, dtype_of(type)); });
        long long first_failed = copied.failed() ? comm.rank : comm.size;
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &first_failed, 1, MPI_LONG_LONG, MPI_MIN, comm.handle),
                  "from_local: agreeing on the copies");
        if (first_failed < comm.size) {
            raise(block_failure::memory_error,
                  allocation_failure("from_local", "the converted copy of its block",
                                     static_cast<std::size_t>(all[first_failed].rows * a->row_length()) *
                                         static_cast<std::size_t>(dtype_of(type).itemsize()),
                                     static_cast<int>(first_failed)));
        }
    }
    // Whole rows from the given layout to the balanced one; whether every
    // rank's exchange went through is agreed, so that none goes on alone.
    const auto row_bytes = static_cast<std::int64_t>(a->row_length() * dtype_of(type).itemsize());
    int moved = virda::frontend::exchange_rows(rows.data(), target_block.mutable_data(), row_bytes,
                                               virda::frontend::layout_of(given_rows), target, comm.handle)
                    ? 1
                    : 0;
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, &moved, 1, MPI_INT, MPI_MIN, comm.handle), "from_local: moving the rows");
    if (moved == 0) {
        throw std::runtime_error("from_local: an MPI call failed while the rows were moved to their ranks");
    }
    return a;
}

} // namespace

void bind_from_local(py::module_& m)
{
    m.def("from_local", &from_local, py::arg("block"), py::arg("comm") = py::none(), R"doc(
A new array made of the rows every rank gives: the array's rows are rank
0's block, then rank 1's, and so on. Blocks may hold any number of rows (none
on some ranks: shape (0, *rest)); their shapes after the first axis must
agree, as must the element type they convert to (float64, float32 and the
integers of 8 to 64 bits as they are; bool to uint8; float16 to float32;
others are refused). Rows already where the balanced layout puts them are
only copied into the blocks; otherwise they are moved there, point to point
between the ranks that hold and need them. Every rank
raises alike when the blocks do not agree. Collective over comm (default
MPI.COMM_WORLD).
)doc");
}

} // namespace virda_python
