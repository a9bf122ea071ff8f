#ifndef VIRDA_ENGINE_WIDE_WEIGHT_TOTALS_H
#define VIRDA_ENGINE_WIDE_WEIGHT_TOTALS_H

// Exact totals of weights in fixed point: each weight split into sign,
// odd mantissa and exponent, added into two's complement integers of a
// given number of 64-bit words, summed over the ranks exactly and rounded
// once to a double. Not installed.

#include "engine/binning_support.h"

#include <mpi.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace virda::engine::wide_weights {

/// A weight as sign * mantissa * 2^exponent with an odd mantissa (zero: a
/// mantissa of 0), or one of the values no integer holds.
struct weight_parts {
    bool negative = false;
    std::uint64_t mantissa = 0;
    int exponent = 0;
    std::uint8_t special = 0; // 1: +inf, 2: -inf, 4: NaN
};

constexpr std::uint8_t plus_infinity = 1;
constexpr std::uint8_t minus_infinity = 2;
constexpr std::uint8_t not_a_number = 4;

inline int bit_length(std::uint64_t m) { return m == 0 ? 0 : 64 - __builtin_clzll(m); }

template <typename W>
weight_parts parts_of(W w)
{
    weight_parts p;
    if constexpr (std::is_floating_point_v<W>) {
        // The fields of the double: a float is one exactly.
        const std::uint64_t bits = detail::bits_of(static_cast<double>(w));
        const auto field = static_cast<int>((bits >> 52) & 0x7ff);
        const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
        p.negative = (bits >> 63) != 0;
        if (field == 0x7ff) {
            p.special = fraction != 0 ? not_a_number : (p.negative ? minus_infinity : plus_infinity);
        } else if (field == 0) {
            p.mantissa = fraction; // subnormal, or zero
            p.exponent = -1074;
        } else {
            p.mantissa = fraction | (std::uint64_t{1} << 52);
            p.exponent = field - 1075;
        }
    } else if constexpr (std::is_signed_v<W>) {
        p.negative = w < 0;
        p.mantissa = p.negative ? static_cast<std::uint64_t>(-(static_cast<std::int64_t>(w) + 1)) + 1
                                : static_cast<std::uint64_t>(w);
    } else {
        p.mantissa = static_cast<std::uint64_t>(w);
    }
    if (p.mantissa != 0) {
        const int zeros = __builtin_ctzll(p.mantissa);
        p.mantissa >>= zeros;
        p.exponent += zeros;
    }
    return p;
}

/// Adds +-(m << shift) to the two's complement integer of `words` words
/// at w (least significant first), modulo 2^(64 words).
void add_shifted(std::uint64_t* w, int words, std::uint64_t m, int shift, bool negative);

/// The two's complement integer at w, times 2^unit, rounded once to the
/// nearest double (ties to even); +-inf beyond the range.
double round_total(const std::uint64_t* w, int words, int unit);

/// Sums `count` elements of `words` words over comm in place, exactly.
bool allreduce_wide(std::uint64_t* values, std::size_t count, int words, MPI_Comm comm);

} // namespace virda::engine::wide_weights

#endif
