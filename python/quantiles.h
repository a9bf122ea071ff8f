#ifndef VIRDA_PYTHON_QUANTILES_H
#define VIRDA_PYTHON_QUANTILES_H

// median, quantile, percentile and their NaN-omitting forms, with NumPy's
// signatures: exact order statistics over every rank's rows, NumPy's
// methods, result types and warnings.

#include <pybind11/pybind11.h>

namespace virda_python {

/// Defines median, quantile, percentile, nanmedian, nanquantile and
/// nanpercentile in module `m`.
void bind_quantiles(pybind11::module_& m);

} // namespace virda_python

#endif
