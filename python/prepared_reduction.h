#ifndef VIRDA_PYTHON_PREPARED_REDUCTION_H
#define VIRDA_PYTHON_PREPARED_REDUCTION_H

// A reduction's input read and agreed over the ranks before it reduces: the
// block, the communicator, the axes, the where= mask and the engine tables
// with their accumulator, so that a block refused on one rank is raised on
// every rank before any collective of the reduction itself.

#include "axes.h"
#include "communicator.h"
#include "dist_array.h"
#include "local_values.h"
#include "masked_values.h"
#include "mpi_environment.h"

#include "engine/extremes.h"
#include "engine/moments.h"

#include <pybind11/numpy.h>

#include <cstddef>
#include <exception>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace virda_python {

/// The block a reduction reads and the communicator over which it reduces.
struct reduction_input {
    pybind11::array block;
    communicator comm;
    dist_array* array = nullptr;
    /// Whether the global array is 0-d: one rank holds a 0-d block and every
    /// other rank an empty one. Its reductions are 0-d even with keepdims.
    bool zero_d = false;
};

/// A reduction's input, its axes and (where asked) its tables, agreed over
/// the communicator.
struct prepared {
    reduction_input in;
    axis_split split;
    reduction_tables tables;
    std::unique_ptr<virda::engine::moments> moments;
    std::unique_ptr<virda::engine::extremes> extremes;
    pybind11::dtype given; ///< the data's own dtype (bool and float16 are read as uint8 and float32)
    pybind11::object kept_nans = pybind11::none(); ///< masking::count_nans: int64 per kept element
};

/// A where= mask (none when `where` is None or null) and what the elements
/// it leaves out become; with `count_nans`, the NaN values it keeps are
/// counted per kept element first (prepared::kept_nans), for reductions
/// whose NaN propagates though the mask's elements are left out as NaN.
struct masking {
    pybind11::handle where;
    left_out fill = left_out::zero;
    pybind11::handle initial;
    bool count_nans = false;

    bool given() const { return where && !where.is_none(); }
};

/// NumPy's where= and initial= of a reduction (None when not given).
struct mask_and_initial {
    pybind11::handle where = pybind11::none();
    pybind11::handle initial = pybind11::none();
};

/// Something else a reduction reads beside its block (its weights), after
/// the block and agreed in the same exchange: a rank whose `read` throws
/// raises its own exception and the others ValueError naming the lowest such
/// rank and `what` it could not read.
struct side_reading {
    const char* what = nullptr;
    std::function<void(const reduction_input&)> read;
};

/// Which accumulator prepare_reduction makes for the tables.
enum class accumulator { none, moments, moments_with_squares, extremes };

/// Runs `read()` and agrees over comm whether every rank could, as
/// prepare_reduction does (read_together without an argument's name).
template <typename F>
void read_alike(const char* operation, const communicator& comm, F&& read)
{
    read_together(operation, nullptr, comm, std::forward<F>(read));
}

/// The input of a reduction: a's block, its axes for `axis` and, with
/// `tables`, its engine tables. Every rank agrees, in one MPI_Allgather on
/// two or more ranks, that each could read its block (its dtype, a masked
/// element, a copy it could not allocate, the axes) and that the blocks'
/// trailing shapes and dtypes are alike: a rank that could not raises its
/// own exception and the others ValueError naming the lowest such rank;
/// blocks unlike raise RuntimeError on every rank. The same exchange gives
/// each rank its first row, for a where= mask along the global rows (as
/// NumPy broadcasts it against the global shape); only when some rank holds
/// such a mask is its reading agreed in one more collective. Nobody is left
/// in a collective alone. `side`, when given, is read after the block and
/// agreed in the same exchange.
prepared prepare_reduction(const char* operation, pybind11::handle a, pybind11::handle axis, pybind11::handle comm,
                           bool tuples, bool tables, accumulator made = accumulator::none, const masking& mask = {},
                           const side_reading& side = {});

/// Where axis 0 is reduced, `n` values of `type` at `data` (one per kept
/// element) summed over p's communicator in place; left as they are for a
/// reduction of each rank's own rows. One MPI_Allreduce where axis 0 is
/// reduced on two or more ranks and n > 0; `what` names it in an MPI error.
void summed_over_ranks(const char* operation, const char* what, const prepared& p, void* data, std::size_t n,
                       MPI_Datatype type);

} // namespace virda_python

#endif
