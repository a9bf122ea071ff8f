#ifndef VIRDA_PYTHON_QUANTILE_TABLES_H
#define VIRDA_PYTHON_QUANTILE_TABLES_H

// A rank's block (and its weights) laid out for the quantile functions: the
// reduced axes first, as one table of reduced x kept elements, with the
// weights laid out as the values by NumPy's rules. Local: no communication.

#include "axes.h"
#include "quantile_functions.h"

#include "engine/number_type.h"
#include "engine/views.h"

#include <pybind11/numpy.h>

#include <vector>

namespace virda_python {

/// A shape as a Python tuple.
pybind11::tuple tuple_of(const std::vector<pybind11::ssize_t>& shape);

/// A two-axis array (reduced elements x kept elements) as an engine table.
virda::engine::table_view table_of_array(const pybind11::array& t, virda::engine::number_type type);

/// The block with the reduced axes first, as (reduced elements, kept
/// elements): a view where NumPy can make one, else a copy.
pybind11::array split_of(const pybind11::array& block, const std::vector<int>& reduced, const std::vector<int>& kept);

/// The weights laid out as the block: the same shape, or (NumPy's rule for
/// one axis) a 1-D array along that axis. TypeError and ValueError as
/// NumPy's for weights of another layout.
pybind11::array weights_as_block(const function_kind& f, const pybind11::array& weights, const pybind11::array& block,
                                 const pybind11::object& axis, const axis_split& split);

} // namespace virda_python

#endif
