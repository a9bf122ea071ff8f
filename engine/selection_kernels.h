#ifndef VIRDA_ENGINE_SELECTION_KERNELS_H
#define VIRDA_ENGINE_SELECTION_KERNELS_H

// The counting passes of the radix selection, compiled once per instruction
// set (selection_kernels_isa.cpp) and called through the table of the path
// in use (framework/simd/isa.h). Not installed.
//
// Every value is compared through its 64-bit order key, which orders keys
// of one number type as their values:
//   - floating point: the bits of the value as a double (a float converts
//     exactly), with -0.0 taken as +0.0, the sign bit flipped for positive
//     values and every bit flipped for negative ones (-inf lowest, +inf
//     highest); every NaN gets the highest key of all, ~0, so that NaN sorts
//     above every number and never moves the rank of one;
//   - signed integers: the value as int64 with its sign bit flipped;
//   - unsigned integers: the value as uint64.
// The passes only count and copy keys, so every path gives the same results.

#include "engine/number_type.h"
#include "framework/simd/isa.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace virda_detail {

/// The widest digit a pass counts: 2^16 counts per prefix.
inline constexpr int widest_digit = 16;

/// Values of a pass: `n` contiguous values of a number type, or (type -1)
/// `n` keys already made.
struct key_source {
    int type = -1; ///< virda::engine::number_type as int, or -1 for keys
    const void* values = nullptr;
    std::size_t n = 0;
};

struct selection_kernel_table {
    /// Adds each key's top `bits` bits (key >> (64 - bits), 1 <= bits <=
    /// widest_digit) into one of `copies` sub-histograms of 2^bits counts
    /// laid side by side in `sub`.
    void (*count_top)(key_source s, int bits, std::uint32_t* sub, int copies);
    /// For the keys whose bits above `shift + bits` (< 64) equal prefixes[j]
    /// (j < nprefix, all distinct), adds the digit (key >> shift) & (2^bits -
    /// 1) into slot j * 2^bits + digit of one of `copies` sub-histograms of
    /// nprefix * 2^bits + 1 counts; the others go to the last slot.
    void (*count_digit)(key_source s, int shift, int bits, const std::uint64_t* prefixes, int nprefix,
                        std::uint32_t* sub, int copies);
    /// Writes the keys that match one of the prefixes above `shift + bits`
    /// (as count_digit) to `out`, in order, and returns how many. `out`
    /// never overlaps the values.
    std::size_t (*gather)(key_source s, int shift, int bits, const std::uint64_t* prefixes, int nprefix,
                          std::uint64_t* out);
};

VIRDA_DECLARE_PATH_TABLES(selection_kernel_table, selection_table)

/// The table of the path in use.
const selection_kernel_table& selection_kernels();

// The key conversions have internal linkage: the per-path kernel sources use
// them too, and no copy built for a wider instruction set may serve another
// source.
namespace {

/// The order key of a double (see above).
inline std::uint64_t double_order_key(double x)
{
    if (x != x) {
        return ~std::uint64_t{0};
    }
    x += 0.0; // -0.0 + 0.0 is +0.0
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const std::uint64_t flip = static_cast<std::uint64_t>(static_cast<std::int64_t>(b) >> 63) | (1ull << 63);
    return b ^ flip;
}

/// The double whose order key is k.
inline double double_of_order_key(std::uint64_t k)
{
    const std::uint64_t b = (k >> 63) != 0 ? k ^ (1ull << 63) : ~k;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

/// The order key of a value of a number type T.
template <typename T>
inline std::uint64_t order_key(T v)
{
    if constexpr (std::is_floating_point_v<T>) {
        return double_order_key(static_cast<double>(v));
    } else if constexpr (std::is_signed_v<T>) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(v)) ^ (1ull << 63);
    } else {
        return static_cast<std::uint64_t>(v);
    }
}

} // namespace

} // namespace virda_detail

#endif
