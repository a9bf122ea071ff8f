#ifndef VIRDA_ENGINE_WIDE_INTEGER_H
#define VIRDA_ENGINE_WIDE_INTEGER_H

// Signed integers of any width, for the few exact operations a finish makes
// on exact totals (a square, products with counts, a difference) before it
// rounds once. Slow and simple: a finish makes a handful per column. Not
// installed.

#include "engine/exact_total.h"

#include <cstdint>
#include <vector>

namespace virda::engine::detail {

class wide_integer {
public:
    wide_integer() = default;
    /// The finite part of an exact total, in its units (2^-1074).
    static wide_integer from_total(const exact_total& t);
    static wide_integer from_unsigned(u128 v);

    bool is_zero() const { return magnitude_.empty(); }
    bool negative() const { return negative_; }

    /// this * 2^bits.
    wide_integer shifted(int bits) const;
    /// this * v.
    wide_integer times(std::uint64_t v) const;
    /// this * other.
    wide_integer times(const wide_integer& other) const;
    /// this + other, this - other.
    wide_integer plus(const wide_integer& other) const;
    wide_integer minus(const wide_integer& other) const;

    /// The value rounded to the nearest long double (64-bit significand,
    /// ties to even), times 2^scale; 0 for zero.
    long double rounded(int scale) const;
    /// The value times 2^scale rounded once to the nearest double (ties to
    /// even, infinity beyond the range; a subnormal result may round twice).
    double rounded_double(int scale) const;

private:
    void trim();
    // The top `width` (<= 64) bits of the magnitude rounded to nearest even
    // by the rest, and the power of two they are in units of. Not for zero.
    std::uint64_t top_bits(int width, int* exponent) const;
    static int compare_magnitudes(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);
    static std::vector<std::uint32_t> add_magnitudes(const std::vector<std::uint32_t>& a,
                                                     const std::vector<std::uint32_t>& b);
    // a - b for |a| >= |b|.
    static std::vector<std::uint32_t> subtract_magnitudes(const std::vector<std::uint32_t>& a,
                                                          const std::vector<std::uint32_t>& b);

    bool negative_ = false;
    std::vector<std::uint32_t> magnitude_; // least significant first, no leading zeros
};

} // namespace virda::engine::detail

#endif
