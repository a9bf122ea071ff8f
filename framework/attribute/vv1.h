#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_VV1_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_VV1_H

/// \file
/// VV1, one element value of any element type.

#include "framework/types/element_types.h"

#include <boost/variant.hpp>

#include <type_traits>

/// One element value of any element type. The order of the alternatives is
/// fixed: double, int, float, Vector3, Vector2, char, fftw_complex.
using element_variant = boost::variant<double, int, float, Vector3, Vector2, char, fftw_complex>;
static_assert(virda_detail::same_types<virda_detail::element_type_list, element_variant>::value,
              "element_variant must hold each element type once");

/// An index or a rank, as the second operand of two-variant visitors.
using index_variant = boost::variant<int>;

/// One element value, as read from an attribute or totalled by the
/// framework's sum. It keeps the element's own type: nothing is converted
/// until the value is converted to a number.
class VV1 {
public:
    /// Holds the argument's alternative and value.
    VV1(element_variant v);

    /// The value as a floating-point number: the real element types (double,
    /// float, int) convert exactly to double; the others (char, Vector2,
    /// Vector3, fftw_complex) raise boost::bad_get. A float target rounds the double.
    template <typename R, std::enable_if_t<std::is_floating_point_v<R>, int> = 0>
    operator R() const
    {
        return static_cast<R>(to_double());
    }

    /// The held value and its alternative.
    const element_variant& value() const { return element; }

private:
    double to_double() const;

    element_variant element;
};

#endif
