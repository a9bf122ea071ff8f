#ifndef VIRDA_PYTHON_LOCAL_VALUES_H
#define VIRDA_PYTHON_LOCAL_VALUES_H

// This rank's values handed to the engine in place: a NumPy array of any
// shape and strides (negative ones and the 0 strides of broadcast views
// included) as a few engine views, an Array as its local block, and the
// engine's errors as Python exceptions.

#include "dist_array.h"
#include "mpi_environment.h"

#include "engine/error.h"
#include "engine/number_type.h"
#include "engine/views.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace virda_python {

/// Values of one number type as tables (each the last two axes of the array
/// at one index of the axes before them), with the object that owns them.
struct local_values {
    pybind11::object owner;
    virda::engine::number_type type = virda::engine::number_type::float64;
    std::int64_t count = 0;
    std::vector<virda::engine::table_view> tables;

    /// Calls add(view) for every table.
    template <typename A>
    void add_to(A& accumulator) const
    {
        for (const auto& t : tables) {
            accumulator.add(t);
        }
    }
};

/// Whether `a` is a numpy.ndarray itself, not a subclass (so it has no mask
/// to look for: a failed attribute look-up costs an exception, more than a
/// short call's own work).
bool plain_ndarray(pybind11::handle a);

/// The engine's number type of a NumPy dtype (native byte order, one of the
/// engine table's rows: bool is refused); false for every other dtype.
bool number_type_of_dtype(const pybind11::dtype& dt, virda::engine::number_type* out);

/// The values of a NumPy array (or anything numpy.asarray makes one of,
/// without converting its dtype), read in place. TypeError "<operation>:
/// <name> ..." for a dtype the engine cannot read. Local.
local_values values_of_numpy(const char* operation, const char* name, pybind11::handle a);

/// The values of this rank's block of an Array (ValueError when it was freed).
local_values values_of_block(const char* operation, const dist_array& a);

/// Issues a Python warning of this category; raises error_already_set when
/// a warning filter turned it into an error.
void warn(PyObject* category, const std::string& text);

/// Pairs of runs (x, w) of two NumPy arrays of one shape, element by
/// element, for weighted statistics. ValueError when the shapes differ.
std::vector<std::pair<virda::engine::values_view, virda::engine::values_view>>
paired_runs(const char* operation, const pybind11::array& x, const pybind11::array& w);

/// Runs of several NumPy arrays of one shape (arrays[0]'s; checked by the
/// caller, dtypes by numpy_values), element by element: each entry holds
/// one run of every array, of one length. None when the arrays are empty.
std::vector<std::vector<virda::engine::values_view>> aligned_runs(const std::vector<pybind11::array>& arrays);

/// The array a NumPy argument names, its dtype checked (values_of_numpy).
pybind11::array numpy_values(const char* operation, const char* name, pybind11::handle a);

/// As numpy_values, also taking NumPy's bool (read as uint8, a view) and
/// float16 (read as float32, a copy), both exact; `given` is a's own dtype.
pybind11::array engine_values(const char* operation, const char* name, pybind11::handle a, pybind11::dtype* given);

/// Raises the Python exception of an engine error, by its code:
/// invalid_argument -> ValueError, out_of_memory -> MemoryError, others ->
/// RuntimeError, "<operation>: <message>", naming the rank where the cause arose.
[[noreturn]] void raise_engine_error(const char* operation, const virda::engine::error& e);

/// Runs f(); an engine error becomes its Python exception.
template <typename F>
auto engine_call(const char* operation, F&& f)
{
    try {
        return std::forward<F>(f)();
    } catch (const virda::engine::error& e) {
        raise_engine_error(operation, e);
    }
}

/// Runs `read()`, which reads this rank's own values and may refuse them
/// (their dtype, a masked element, a shape), and agrees over comm whether
/// every rank could: a block refused on some ranks only must not leave the
/// others waiting in the statistic's collectives. The refusing rank raises
/// its own exception; the others raise ValueError naming the lowest of them
/// and, when `name` is given, the argument whose values it could not read.
/// One MPI_Allreduce on communicators of two or more ranks (collective).
template <typename F>
void read_together(const char* operation, const char* name, const communicator& comm, F&& read)
{
    std::exception_ptr refusal;
    try {
        std::forward<F>(read)();
    } catch (...) {
        refusal = std::current_exception();
    }
    if (comm.size > 1) {
        int lowest = refusal ? comm.rank : std::numeric_limits<int>::max();
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_INT, MPI_MIN, comm.handle),
                  (std::string(operation) + ": agreeing on the values").c_str());
        if (!refusal && lowest != std::numeric_limits<int>::max()) {
            throw pybind11::value_error(std::string(operation) + ": rank " + std::to_string(lowest) +
                                        " could not read its values" + (name ? std::string(" of ") + name : "") +
                                        " (its exception says why)");
        }
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
}

/// Agrees over comm that every rank was given the same arguments (what
/// repr() shows of `arguments`: the calls' bins, ranges, statistics, ...),
/// before any rank checks them or starts a collective that they shape:
/// arguments that differ between ranks break the collective contract and
/// would leave ranks in different collectives, or give each rank another
/// answer. Every rank raises ValueError when they differ. One MPI_Allreduce
/// of a 64-bit fingerprint on communicators of two or more ranks
/// (collective).
inline void agree_arguments(const char* operation, const communicator& comm, const pybind11::handle& arguments)
{
    if (comm.size < 2) {
        return;
    }
    const std::uint64_t h = std::hash<std::string>{}(pybind11::repr(arguments).cast<std::string>());
    std::uint64_t both[2] = {h, ~h}; // the least of ~h is the complement of the greatest h
    MPI_Allreduce(MPI_IN_PLACE, both, 2, MPI_UINT64_T, MPI_MIN, comm.handle);
    if (both[0] != ~both[1]) {
        throw pybind11::value_error(std::string(operation) +
                                    ": the ranks were given different arguments; every rank must make the same "
                                    "call (the collective contract)");
    }
}

} // namespace virda_python

#endif
