#ifndef VIRDA_PYTHON_FLOAT_TO_INTEGER_H
#define VIRDA_PYTHON_FLOAT_TO_INTEGER_H

// Floating-point values cast to an integer dtype as NumPy's sum(dtype=...)
// casts each element on x86-64: truncation toward zero, and for NaN, ±inf
// and values beyond the type the hardware's answer (the conversion's
// "integer indefinite" value, 0x80000000 or 0x8000000000000000, cut to the
// type's width). Narrow types go through a 32-bit conversion, uint32 and
// the 64-bit types through a 64-bit one; uint64 above 2^63 subtracts 2^63
// first. Written out, so that no conversion here is undefined behaviour.

#include <pybind11/numpy.h>

#include <cstdint>

namespace virda_python {

/// The values of `block` (floating point) each cast to the integer dtype
/// `to`, as int64 holding the cast value's bits (sign- or zero-extended):
/// their sum modulo 2^64, cut to `to`'s width, is NumPy's wrapping sum in
/// `to`. With `nan_as_zero` NaN becomes 0 (nansum). `*invalid` counts the
/// values that were NaN, infinite or beyond the type (NumPy's "invalid
/// value" warning). A new array of the block's shape. Local: no
/// communication.
pybind11::array cast_to_integers(const pybind11::array& block, const pybind11::dtype& to, bool nan_as_zero,
                                 std::int64_t* invalid);

} // namespace virda_python

#endif
