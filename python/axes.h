#ifndef VIRDA_PYTHON_AXES_H
#define VIRDA_PYTHON_AXES_H

// The axes of a reduction: NumPy's `axis` argument normalised for an array
// of some number of axes, the split into reduced and kept axes, the result's
// shape, a rank's block as engine tables of reduced x kept elements, and a
// flat vector of results shaped as NumPy's result.
//
// The global array is split by rows of its first axis (the distributed
// axis); a 0-d block is one value along it, so a block has at least one
// axis. Everything here is decided from the arguments alone (the same on
// every rank) or is local: no communication.

#include "communicator.h"
#include "dist_array.h"

#include "engine/number_type.h"
#include "engine/views.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace virda_python {

/// Which axes a reduction runs over.
struct axis_split {
    int ndim = 1;              ///< axes of the array (at least 1)
    bool all = true;           ///< axis=None: every axis
    std::vector<int> reduced;  ///< the reduced axes, increasing
    std::vector<int> kept;     ///< the other axes, increasing

    /// Whether the distributed axis (0) is reduced: the reduction is then
    /// collective and its result the same on every rank; otherwise each rank
    /// reduces its own rows and holds its rows of the result.
    bool distributed_reduced() const { return !reduced.empty() && reduced.front() == 0; }
    /// Whether axis k is reduced.
    bool is_reduced(int k) const;
    /// The result's shape for an array of `shape` (a block's or the global
    /// one): the kept extents, or with keepdims every axis, the reduced ones 1.
    std::vector<pybind11::ssize_t> result_shape(const std::vector<pybind11::ssize_t>& shape, bool keepdims) const;
    /// Elements along the reduced axes, and along the kept ones, of `shape`.
    ///@{
    std::int64_t reduced_count(const std::vector<pybind11::ssize_t>& shape) const;
    std::int64_t kept_count(const std::vector<pybind11::ssize_t>& shape) const;
    ///@}
};

/// `axis` (None, an int or, when `tuples` is true, a tuple of ints) for an
/// array of `ndim` axes (0 counts as 1): negative axes counted from the end.
/// Raises as NumPy does: numpy.AxisError "axis 2 is out of bounds for array
/// of dimension 2", ValueError "duplicate value in 'axis'", TypeError for
/// anything that is not an integer (a tuple where tuples are not taken).
/// An empty tuple reduces nothing. From the arguments alone.
axis_split split_axes(pybind11::handle axis, int ndim, bool tuples = true);

/// The shape of a block as a vector, a 0-d block as one value: (1,).
std::vector<pybind11::ssize_t> block_shape(const pybind11::array& block);

/// A block's values as engine tables: each table holds every kept element
/// as a column (in C order of the kept axes) and consecutive reduced
/// elements as rows; the tables in order hold the reduced elements in C order
/// of the reduced axes (so the position of a value among the rows added so
/// far is its flat index along the reduced axes). Read in place; a
/// C-ordered copy (reduced axes first) only when the kept axes cannot be
/// one strided axis.
struct reduction_tables {
    pybind11::object owner;  ///< what the views point into
    virda::engine::number_type type = virda::engine::number_type::float64;
    std::int64_t rows = 0;    ///< reduced elements in all tables
    std::int64_t columns = 1; ///< kept elements
    std::vector<virda::engine::table_view> tables; ///< none when the block has no elements

    /// Calls add(table) for every table.
    template <typename A>
    void add_to(A& accumulator) const
    {
        for (const auto& t : tables) {
            accumulator.add(t);
        }
    }
};

/// The tables of `block` (a NumPy array of one of the engine's number types)
/// for `split`. Local; a copy's allocation failure raises MemoryError here.
reduction_tables tables_for(const pybind11::array& block, const axis_split& split);

/// A flat vector of results (C order) as NumPy's result of `shape`: a NumPy
/// scalar of its dtype for shape () (unless `keep_array`), else an array of
/// that shape. Local.
pybind11::object shaped_result(const pybind11::array& flat, const std::vector<pybind11::ssize_t>& shape,
                               bool keep_array = false);

/// A reduction's local result for an Array (axis 0 kept): a new Array over
/// a's communicator of the global result shape whose block here is `rows`
/// (this rank's rows of the result, C order, any of the engine's dtypes).
/// Collective over a's communicator (the new array's creation).
pybind11::object local_array_result(const char* operation, const dist_array& a, const axis_split& split,
                                    bool keepdims, const pybind11::array& rows);

/// Whether some rank's slices warn or raise: for a reduction local to each
/// rank's rows (axis 0 kept) the bitwise OR of every rank's `flags` over
/// comm, so that every rank warns or raises alike (NumPy would, for the
/// whole array) and none goes on alone to make an Array; `flags` as they
/// are where axis 0 is reduced (the results are alike everywhere already).
/// One MPI_Allreduce for a local reduction on two or more ranks: every rank
/// must call it.
unsigned agreed_flags(const char* operation, const communicator& comm, const axis_split& split, unsigned flags);

/// As agreed_flags for counts: the sums over comm of `counts[0..n)` for a
/// reduction local to each rank's rows, as they are otherwise. One
/// MPI_Allreduce for a local reduction on two or more ranks.
void agreed_counts(const char* operation, const communicator& comm, const axis_split& split, std::int64_t* counts,
                   int n);

/// `result` written into `out` (an ndarray of the result's shape, cast as
/// NumPy's same_kind rule allows), returned as NumPy returns it: `out`.
/// ValueError for another shape (with `broadcast`, for a shape the result
/// does not broadcast to), TypeError for anything but an ndarray. Local.
pybind11::object into_out(const char* operation, const pybind11::object& result, const pybind11::object& out,
                          bool broadcast = false);

} // namespace virda_python

#endif
