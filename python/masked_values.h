#ifndef VIRDA_PYTHON_MASKED_VALUES_H
#define VIRDA_PYTHON_MASKED_VALUES_H

// NumPy's `where=` mask of a reduction applied to a rank's block: the
// elements it leaves out are replaced by what the reduction ignores (0 for
// a sum, NaN where NaN is left out, `initial` for min and max), so that the
// engine reduces the block as it is. Local: no communication.

#include "axes.h"

#include <pybind11/numpy.h>

namespace virda_python {

/// What the elements a mask leaves out become.
enum class left_out { zero, nan, initial };

/// The mask of `where` for `block`: a boolean array of the block's shape
/// (this rank's rows of a mask shaped like the global array) or one that
/// broadcasts against the block (the same on every rank). TypeError for a
/// mask that is not boolean, ValueError for one that does not broadcast.
pybind11::array mask_for(const char* operation, pybind11::handle where, const pybind11::array& block);

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
