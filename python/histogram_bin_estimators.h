#ifndef VIRDA_PYTHON_HISTOGRAM_BIN_ESTIMATORS_H
#define VIRDA_PYTHON_HISTOGRAM_BIN_ESTIMATORS_H

// NumPy's estimators of a histogram's bin width (bins='auto', 'fd', 'stone'
// and the others) over every rank's values.

#include "histogram_points.h"

#include <string>

namespace virda_python::histogram_detail {

/// The edges NumPy's estimator `name` gives the values of p over `range`
/// (None: their extremes). As NumPy, with a range only the values inside
/// it are looked at. Collective.
py::object estimated_edges(const char* operation, const local_points& p, const std::string& name, py::handle range);

} // namespace virda_python::histogram_detail

#endif
