#ifndef VIRDA_PYTHON_MASKED_VALUES_H
#define VIRDA_PYTHON_MASKED_VALUES_H

// NumPy's `where=` mask of a reduction applied to a rank's block: the
// elements it leaves out are replaced by what the reduction ignores (0 for
// a sum, NaN where NaN is left out, `initial` for min and max), so that the
// engine reduces the block as it is. Local: no communication.

#include "axes.h"

#include <pybind11/numpy.h>

#include <cstdint>

namespace virda_python {

/// What the elements a mask leaves out become.
enum class left_out { zero, nan, initial };

/// A where= mask read against a rank's block: ready for the block, or
/// (`global_rows`) shaped along the first axis like the global array, of
/// which this rank takes its own rows once the ranks' row counts are known.
struct mask_reading {
    pybind11::object mask; ///< null for no mask
    bool global_rows = false;
};

/// The mask of `where` for `block`: a boolean array of the block's shape
/// (this rank's rows of a mask shaped like the global array), one that
/// broadcasts against the block with a first axis of 1 or none (the same
/// on every rank), or one of the block's number of axes whose first axis is
/// longer than 1 and not the block's: the global rows (`global_rows`, see
/// rows_of_mask). TypeError for a mask that is not boolean, ValueError for
/// one that does not broadcast. Local: no communication.
mask_reading mask_for(const char* operation, pybind11::handle where, const pybind11::array& block);

/// This rank's rows [first_row, first_row + rows of block) of `mask`, a mask
/// along the global rows, broadcast against the block. ValueError when the
/// mask does not broadcast against the global shape (global_rows rows, then
/// the block's other axes), as NumPy refuses it.
pybind11::array rows_of_mask(const char* operation, const pybind11::array& mask, const pybind11::array& block,
                             std::int64_t global_rows, std::int64_t first_row);

/// `block` with the elements `mask` leaves out replaced as `fill` says
/// (`initial` cast to the block's dtype for left_out::initial). For
/// left_out::nan integers become float64, refused (TypeError) beyond 2^53
/// in magnitude where float64 would round them. A new array.
pybind11::array masked_block(const char* operation, const pybind11::array& block, const pybind11::array& mask,
                             left_out fill, pybind11::handle initial);

/// Per kept element of `split` (C order, int64): how many NaN values of
/// `block` the mask keeps along the reduced axes.
pybind11::array kept_nans(const pybind11::array& block, const pybind11::array& mask, const axis_split& split);

} // namespace virda_python

#endif
