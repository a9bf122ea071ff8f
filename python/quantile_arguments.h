#ifndef VIRDA_PYTHON_QUANTILE_ARGUMENTS_H
#define VIRDA_PYTHON_QUANTILE_ARGUMENTS_H

// The arguments of the quantile functions other than the data: the method
// (with NumPy's deprecated `interpolation`), the probabilities, checked as
// NumPy checks them, and their fingerprint, which every rank of a
// collective call must be given alike. Local: no communication.

#include "quantile_functions.h"

#include "engine/quantile_method.h"

#include <pybind11/numpy.h>

#include <cstdint>

namespace virda_python {

/// The probabilities of a median: 0.5 as a 0-d float64 array, made once and
/// read-only.
const pybind11::array& one_half();

/// The method a call names, with NumPy's handling of the deprecated
/// `interpolation` and of unknown names.
virda::engine::quantile_method method_of(const function_kind& f, const pybind11::object& method,
                                         const pybind11::object& interpolation);

/// The probabilities as NumPy takes them (percent divided by 100), checked.
pybind11::array probabilities_of(const function_kind& f, const pybind11::object& q);

/// A fingerprint of the probabilities (their shape and bits) and the
/// method, which every rank of a collective call must be given alike.
std::uint64_t probabilities_print(const pybind11::array& probabilities, virda::engine::quantile_method m);

} // namespace virda_python

#endif
