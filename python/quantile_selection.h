#ifndef VIRDA_PYTHON_QUANTILE_SELECTION_H
#define VIRDA_PYTHON_QUANTILE_SELECTION_H

// The order statistics of a (reduced x kept) table selected by the engine
// over the ranks, and NumPy's quantiles made of them: exact values,
// interpolated as NumPy interpolates, weighted where weights are given.

#include "axes.h"
#include "communicator.h"
#include "quantile_functions.h"
#include "quantile_slices.h"

#include "engine/call_agreement.h"
#include "engine/number_type.h"
#include "engine/quantile_method.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace virda_python {

/// The results of a (reduced x kept) table (`table`, or without one the
/// block's `tables` in place): result[i][c] for probability i and column c,
/// as NumPy's values of dtype `out` (float64 or the data's own type), in a
/// (nq, columns) array, with what the counts tell of the slices in `facts`
/// (warned or raised on every rank alike). Collective over `agreeing` where
/// axis 0 is reduced, else one agreement over it on the slices; `reading`,
/// when not null, is the reading's pending agreement, carried in the count.
pybind11::array reduce_table(const function_kind& f, const reduction_tables& tables, const pybind11::array* table,
                             const pybind11::array* weight_table, virda::engine::number_type weight_type,
                             const pybind11::array& probabilities, virda::engine::quantile_method m, bool at_integers,
                             const pybind11::dtype& out, char data_char, const communicator& agreeing,
                             const axis_split& split, bool scalar, slice_facts* facts,
                             virda::engine::call_agreement* reading);

/// The order statistics a column of n values needs (n > 0): the middle pair
/// for the median, else each probability's two neighbours by method m;
/// appended to `where`, and their ranks, below then above, to `ranks`.
void column_positions(bool median, std::uint64_t n, const std::vector<double>& qs, virda::engine::quantile_method m,
                      std::vector<virda::engine::quantile_position>& where, std::vector<std::uint64_t>& ranks);

} // namespace virda_python

#endif
