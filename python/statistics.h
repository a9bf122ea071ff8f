#ifndef VIRDA_PYTHON_STATISTICS_H
#define VIRDA_PYTHON_STATISTICS_H

// The statistics from Python: mean, std, histogram, bin_data, polyfit,
// polyval, quantile and median, named and ordered as NumPy's.

#include <pybind11/pybind11.h>

namespace virda_python {

/// Defines the statistics in module `m`.
void bind_statistics(pybind11::module_& m);

} // namespace virda_python

#endif
