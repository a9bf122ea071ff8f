#ifndef VIRDA_PYTHON_ELEMENT_TYPES_H
#define VIRDA_PYTHON_ELEMENT_TYPES_H

// The element types of arrays made from Python: the engine's number types
// (engine/number_type.h), float64, float32 and the signed and unsigned
// integers of 8 to 64 bits, each stored in native byte order. Data given to
// from_local (and fill values given to full) keep their dtype when it is one
// of them (either byte order); two others are converted, exactly:
//   - bool    -> uint8;
//   - float16 -> float32.
// Everything else (complex, longdouble, datetime, object, string,
// structured and void types) is refused with a TypeError. Functions that
// take a dtype (empty, zeros, full, astype) take exactly the engine's types.

#include "engine/number_type.h"

#include <pybind11/numpy.h>

#include <optional>
#include <string>

namespace virda_python {

using element_type = virda::engine::number_type;

/// Calls f(T{}) with the C++ element type of `e`.
template <typename F>
decltype(auto) with_element_type(element_type e, F&& f)
{
    return virda::engine::visit_number_type(e, [&](auto* p) { return f(std::remove_pointer_t<decltype(p)>{}); });
}

/// A dtype's name ("float64").
std::string dtype_name(const pybind11::dtype& dt);

/// The NumPy dtype of arrays of element type e (native byte order).
pybind11::dtype dtype_of(element_type e);

/// The element type a dtype argument (anything numpy.dtype takes) names;
/// TypeError unless it is one of the engine's number types (either byte order).
element_type element_type_of(pybind11::handle dtype);

/// The element type data of this dtype is stored as, or nothing when it is
/// refused.
std::optional<element_type> conversion_of(const pybind11::dtype& dt);

/// The TypeError text for refused data (`what` names it and its dtype).
std::string refused_message(const std::string& what);

} // namespace virda_python

#endif
