#ifndef VIRDA_PYTHON_ELEMENT_TYPES_H
#define VIRDA_PYTHON_ELEMENT_TYPES_H

// The element types of arrays made from Python, and what happens to NumPy
// data of other types.
//
// Arrays hold float64, float32 or int32 (the library's double, float and
// int). Blocks given to from_local and fill values given to full are
// converted when the conversion is exact:
//   - bool, int8, int16, uint8, uint16     -> int32  (always exact);
//   - float16                              -> float32 (always exact);
//   - int64, uint32, uint64                -> int32  when every value on every
//                                                    rank lies in int32's range;
// either byte order is taken. Everything else (complex, longdouble,
// datetime, object, string, structured and void types) is refused with a
// TypeError, as are int64, uint32 and uint64 values outside int32's range.
// Functions that take a dtype (empty, zeros, full, astype) take only the
// three element types.

#include <pybind11/numpy.h>

#include <optional>
#include <string>

namespace virda_python {

enum class element_type { float64, float32, int32 };

/// The C++ element type of each.
template <element_type E>
struct element_of;
template <>
struct element_of<element_type::float64> {
    using type = double;
};
template <>
struct element_of<element_type::float32> {
    using type = float;
};
template <>
struct element_of<element_type::int32> {
    using type = int;
};

/// Calls f(T{}) with the C++ element type of `e`.
template <typename F>
decltype(auto) with_element_type(element_type e, F&& f)
{
    switch (e) {
    case element_type::float32:
        return f(float{});
    case element_type::int32:
        return f(int{});
    case element_type::float64:
    default:
        return f(double{});
    }
}

/// A dtype's name ("float64").
std::string dtype_name(const pybind11::dtype& dt);

/// The NumPy dtype of arrays of element type e (native byte order).
pybind11::dtype dtype_of(element_type e);

/// The element type a dtype argument (anything numpy.dtype takes) names;
/// TypeError unless it is float64, float32 or int32.
element_type element_type_of(pybind11::handle dtype);

/// How data of a NumPy dtype becomes array elements.
struct data_conversion {
    element_type type;
    bool check_range; ///< int64, uint32, uint64: exact only for values in int32's range
};

/// The conversion of data of this dtype, or nothing when it is refused.
std::optional<data_conversion> conversion_of(const pybind11::dtype& dt);

/// The TypeError text for refused data (`what` names it and its dtype).
std::string refused_message(const std::string& what);

} // namespace virda_python

#endif
