#ifndef VIRDA_PYTHON_ARGUMENT_CHECKS_H
#define VIRDA_PYTHON_ARGUMENT_CHECKS_H

// The checks of the statistics' arguments other than arrays: numbers given
// as Python or NumPy objects, histogram ranges, bin centres. Each decides
// from its argument alone, which the collective contract makes the same on
// every rank, so every rank raises alike before any communication. The
// exceptions are NumPy's for the same arguments (TypeError for what is not a
// real number, ValueError for shapes and ranges NumPy refuses), their texts
// naming the operation and the argument.

#include <pybind11/numpy.h>

namespace virda_python {

using doubles = pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast>;

/// `value` (a number, a sequence of numbers, a NumPy array) as a C-ordered
/// float64 NumPy array of its shape (a copy only when needed). TypeError
/// "<operation>: <name> ..." for complex numbers, strings, dates, objects and
/// anything else that is not real numbers; NumPy's ValueError, with that
/// prefix, for what NumPy cannot make an array of (ragged sequences);
/// ValueError for a masked array with masked elements (the mask cannot be
/// honoured), unless `keep_mask`: then the data are taken as they are and the
/// caller applies the mask.
doubles real_numbers(const char* operation, const char* name, pybind11::handle value, bool keep_mask = false);

/// polyval's coefficients: a 1-D sequence of real numbers (TypeError for a
/// single number, as numpy.polyval, and ValueError for more axes).
doubles polynomial_coefficients(pybind11::handle p);

/// histogram's bins: nbins >= 0, lower and the top edge lower + nbins * width
/// finite, width > 0 (NaN included), as numpy.histogram requires of its range.
void check_histogram_bins(double lower, double width, int nbins);

/// bin_data's centres: a 1-D sequence of at least two real numbers whose
/// first entry and spacing centres[1] - centres[0] are finite, the spacing
/// not zero.
doubles bin_centres(pybind11::handle centres);

} // namespace virda_python

#endif
