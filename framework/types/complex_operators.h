#ifndef VIRDA_FRAMEWORK_TYPES_COMPLEX_OPERATORS_H
#define VIRDA_FRAMEWORK_TYPES_COMPLEX_OPERATORS_H

/// \file
/// Arithmetic on FFTW 2's double-precision complex record {re, im}. A plain
/// scalar (double, float or int) is converted to double first, which is exact
/// for all three, and then acts as the complex value {s, 0} in sums and as a
/// real factor in products. No special handling of infinities or NaN: IEEE
/// arithmetic decides those cases.
#include <fftw.h>

/// Componentwise sum.
inline fftw_complex operator+(fftw_complex a, fftw_complex b)
{
    fftw_complex r;
    r.re = a.re + b.re;
    r.im = a.im + b.im;
    return r;
}

/// Textbook complex product.
inline fftw_complex operator*(fftw_complex a, fftw_complex b)
{
    fftw_complex r;
    r.re = a.re * b.re - a.im * b.im;
    r.im = a.re * b.im + a.im * b.re;
    return r;
}

namespace virda_detail {
inline fftw_complex complex_plus_scalar(fftw_complex a, double s)
{
    fftw_complex r;
    r.re = a.re + s;
    r.im = a.im;
    return r;
}
inline fftw_complex scalar_plus_complex(double s, fftw_complex a)
{
    fftw_complex r;
    r.re = s + a.re;
    r.im = 0.0 + a.im;
    return r;
}
inline fftw_complex complex_times_scalar(fftw_complex a, double s)
{
    fftw_complex r;
    r.re = a.re * s;
    r.im = a.im * s;
    return r;
}
inline fftw_complex scalar_times_complex(double s, fftw_complex a)
{
    fftw_complex r;
    r.re = s * a.re;
    r.im = s * a.im;
    return r;
}
} // namespace virda_detail

/// \cond internal
// The twelve mixed forms, one per scalar type and order.
#define VIRDA_COMPLEX_SCALAR_OPERATORS(S)                                                          \
    inline fftw_complex operator+(fftw_complex a, S s)                                             \
    {                                                                                              \
        return virda_detail::complex_plus_scalar(a, static_cast<double>(s));                      \
    }                                                                                              \
    inline fftw_complex operator+(S s, fftw_complex a)                                             \
    {                                                                                              \
        return virda_detail::scalar_plus_complex(static_cast<double>(s), a);                      \
    }                                                                                              \
    inline fftw_complex operator*(fftw_complex a, S s)                                             \
    {                                                                                              \
        return virda_detail::complex_times_scalar(a, static_cast<double>(s));                     \
    }                                                                                              \
    inline fftw_complex operator*(S s, fftw_complex a)                                             \
    {                                                                                              \
        return virda_detail::scalar_times_complex(static_cast<double>(s), a);                     \
    }
/// \endcond

/// \name A complex number with a double, float or int scalar s
/// a + s and s + a give {a.re + s, a.im}; a * s and s * a give
/// {a.re * s, a.im * s}. The scalar is converted to double first (exact).
///@{
VIRDA_COMPLEX_SCALAR_OPERATORS(double)
VIRDA_COMPLEX_SCALAR_OPERATORS(float)
VIRDA_COMPLEX_SCALAR_OPERATORS(int)
///@}
#undef VIRDA_COMPLEX_SCALAR_OPERATORS

#endif
