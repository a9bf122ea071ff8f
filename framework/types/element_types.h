#ifndef VIRDA_FRAMEWORK_TYPES_ELEMENT_TYPES_H
#define VIRDA_FRAMEWORK_TYPES_ELEMENT_TYPES_H

// The seven element types of a distributed array, listed once. Everything that
// must cover all of them (explicit instantiations, variants, typed tests) is
// generated from this list.
#include "framework/types/complex_operators.h"
#include "framework/types/vector2.h"
#include "framework/types/vector3.h"

#define VIRDA_FOR_EACH_ELEMENT_TYPE(X) \
    X(double)                          \
    X(float)                           \
    X(int)                             \
    X(char)                            \
    X(Vector2)                         \
    X(Vector3)                         \
    X(fftw_complex)

/// The same list again, for generating every ordered pair: the preprocessor
/// cannot expand one list macro inside itself. M(T, U) for each U.
#define VIRDA_FOR_EACH_ELEMENT_TYPE_PAIRED_WITH(M, T) \
    M(T, double)                                      \
    M(T, float)                                       \
    M(T, int)                                         \
    M(T, char)                                        \
    M(T, Vector2)                                     \
    M(T, Vector3)                                     \
    M(T, fftw_complex)

/// Scalar operand types of array-with-scalar arithmetic, for pairs.
#define VIRDA_FOR_EACH_SCALAR_TYPE_PAIRED_WITH(M, T) \
    M(T, double)                                     \
    M(T, float)                                      \
    M(T, int)                                        \
    M(T, fftw_complex)

/// The element types that a range read (va_get) and the statistics accept as numbers.
#define VIRDA_FOR_EACH_REAL_TYPE(X) \
    X(double)                       \
    X(float)                        \
    X(int)

/// Scalar operand types of array-with-scalar arithmetic.
#define VIRDA_FOR_EACH_SCALAR_TYPE(X) \
    X(double)                         \
    X(float)                          \
    X(int)                            \
    X(fftw_complex)

namespace virda_detail {
template <typename... Ts>
struct type_list {
};
using element_type_list = type_list<double, float, int, char, Vector2, Vector3, fftw_complex>;
} // namespace virda_detail

#endif
