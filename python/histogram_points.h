#ifndef VIRDA_PYTHON_HISTOGRAM_POINTS_H
#define VIRDA_PYTHON_HISTOGRAM_POINTS_H

// The points a histogram bins on this rank: their columns as the engine
// reads them, the global extremes NumPy's edge rules read, and their counts
// or weight totals per bin.

#include "communicator.h"

#include "engine/bin_location.h"
#include "engine/views.h"

#include <pybind11/numpy.h>

#include <vector>

namespace virda_python::histogram_detail {

namespace py = pybind11;

/// NumPy's module.
inline py::module_ numpy() { return py::module_::import("numpy"); }

/// This rank's points: one 1-D NumPy array per dimension (views where the
/// layout allows), the weights (None or 1-D), and the communicator.
struct local_points {
    std::vector<py::array> columns;
    py::object weights = py::none();
    communicator comm;
    py::dtype dtype; // the sample's dtype as NumPy would make it
};

/// The engine's view of a 1-D (or 0-D) column.
virda::engine::values_view view_of(const py::array& c);

/// The global least and greatest value of each column, as a (2, D) NumPy
/// array of the sample's dtype for NumPy's own edge rules to read (NaN where
/// a column has one), or (0, D) when there are no points. One reduction per
/// column (collective).
py::object stand_in(const char* operation, const local_points& p);

/// The engine's axis for NumPy's edges of one dimension: equal widths where
/// NumPy made them so (`equal`) and they are the engine's equal-width edges
/// bit for bit, else the edges themselves.
virda::engine::bin_axis axis_of(const py::object& edges, bool equal);

/// Counts (int64, or float64 with `as_double`) or weight totals (float64) of
/// the points per bin, shaped by the axes, on every rank. The array holds
/// the engine's own buffer (no copy): float64 counts are counted as doubles
/// in zeroed pages, and weighted calls count nothing else, so a call over
/// many bins touches them in its counting and its reduction only.
py::array bin_points(const char* operation, const local_points& p, const std::vector<virda::engine::bin_axis>& axes,
                     bool as_double = false);

/// histogram's points: a raveled, its weights checked and raveled (NumPy's
/// messages), agreed over the ranks before any collective.
local_points points_1d(const char* operation, py::handle a, py::handle weights, py::handle comm);

/// histogramdd's points: an (N, D) array's columns, or the rows of
/// numpy.atleast_2d(sample) (a sequence of D coordinate arrays), each read
/// in place where it can be.
local_points points_dd(const char* operation, py::handle sample, py::handle weights, py::handle comm);

} // namespace virda_python::histogram_detail

#endif
