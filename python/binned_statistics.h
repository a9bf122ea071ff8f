#ifndef VIRDA_PYTHON_BINNED_STATISTICS_H
#define VIRDA_PYTHON_BINNED_STATISTICS_H

// binned_statistic, binned_statistic_2d and binned_statistic_dd with
// SciPy's signatures, edges, bin numbers and empty-bin values: every rank
// holds its own points; the statistics are of every rank's points, exact
// per bin, on every rank.

#include <pybind11/pybind11.h>

namespace virda_python {

/// Defines binned_statistic, binned_statistic_2d, binned_statistic_dd and
/// their result types in module `m`.
void bind_binned_statistics(pybind11::module_& m);

} // namespace virda_python

#endif
