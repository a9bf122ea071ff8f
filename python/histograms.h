#ifndef VIRDA_PYTHON_HISTOGRAMS_H
#define VIRDA_PYTHON_HISTOGRAMS_H

// NumPy's histograms from Python: histogram, histogram_bin_edges,
// histogram2d and histogramdd of every rank's values, with NumPy's edges,
// checks and messages, the counts and weight totals from the engine.

#include <pybind11/pybind11.h>

namespace virda_python {

/// Adds the histogram functions to the module.
void bind_histograms(pybind11::module_& m);

} // namespace virda_python

#endif
