#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_ARRAY_VARIANT_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_ARRAY_VARIANT_H

/// \file
/// array_variant, one distributed array of any element type, and its type codes.

#include "framework/array/va.h"

#include <boost/variant.hpp>

/// One distributed array of any element type. The order of the alternatives
/// (which()) is fixed: va<double>, va<float>, va<int>, va<Vector3>, va<char>,
/// va<Vector2>, va<fftw_complex>. A default-constructed one holds a
/// placeholder va<double> (a collective window creation over VIRDA_COMM).
using array_variant =
    boost::variant<va<double>, va<float>, va<int>, va<Vector3>, va<char>, va<Vector2>, va<fftw_complex>>;

static_assert(virda_detail::same_types<virda_detail::wrap_each<va, virda_detail::element_type_list>, array_variant>::value,
              "array_variant must hold one va of each element type");

/// The type code of an element type (the element type table's code column);
/// 0 stands for no array held.
template <typename T>
struct type_code : std::integral_constant<int, virda_detail::element_traits<T>::code> {
};

/// The type code of the array that `v` holds.
int find_variant_type(const array_variant& v);

#endif
