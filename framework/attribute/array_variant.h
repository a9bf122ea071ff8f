#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_ARRAY_VARIANT_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_ARRAY_VARIANT_H

#include "framework/array/va.h"

#include <boost/variant.hpp>

/// One distributed array of any element type. The order of the alternatives
/// (which()) is fixed: va<double>, va<float>, va<int>, va<Vector3>, va<char>,
/// va<Vector2>, va<fftw_complex>. A default-constructed one holds a
/// placeholder va<double> (a collective window creation over VIRDA_COMM).
using array_variant =
    boost::variant<va<double>, va<float>, va<int>, va<Vector3>, va<char>, va<Vector2>, va<fftw_complex>>;

/// Type codes of the element types: int 1, float 2, double 3, char 4,
/// fftw_complex 5, Vector2 6, Vector3 7; 0 when no array is held.
template <typename T> struct type_code;
template <> struct type_code<int> { static constexpr int value = 1; };
template <> struct type_code<float> { static constexpr int value = 2; };
template <> struct type_code<double> { static constexpr int value = 3; };
template <> struct type_code<char> { static constexpr int value = 4; };
template <> struct type_code<fftw_complex> { static constexpr int value = 5; };
template <> struct type_code<Vector2> { static constexpr int value = 6; };
template <> struct type_code<Vector3> { static constexpr int value = 7; };

/// The type code of the array that `v` holds.
int find_variant_type(const array_variant& v);

#endif
