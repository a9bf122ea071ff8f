#ifndef VIRDA_PYTHON_STATISTICS_H
#define VIRDA_PYTHON_STATISTICS_H

// The statistics from Python: histogram, bin_data, polyfit and polyval,
// named and ordered as NumPy's.

#include "dist_array.h"

#include <pybind11/pybind11.h>

#include <memory>
#include <vector>

namespace virda_python {

/// polyval of an Array: a new float64 Array of x's shape and communicator
/// holding the polynomial with coefficients p (highest power first) at every
/// element, computed from each rank's own block in one pass (horner), the
/// same bits as numpy.polyval on the gathered data converted to float64.
/// ValueError when x has been freed. Collective over x's communicator (the
/// new array's creation).
std::unique_ptr<dist_array> polyval_array(const std::vector<double>& p, dist_array& x);

/// Defines the statistics in module `m`.
void bind_statistics(pybind11::module_& m);

} // namespace virda_python

#endif
