#ifndef VIRDA_STATISTICS_SELECTION_KERNELS_H
#define VIRDA_STATISTICS_SELECTION_KERNELS_H

// The counting passes of quantile's radix selection, compiled once per
// instruction set (selection_kernels_isa.cpp) and called through the table of
// the path in use (framework/simd/isa.h).
//
// Every element is compared through its order key: the bits of its value as
// a double (float and int convert exactly), with -0.0 taken as +0.0, the sign
// bit flipped for positive values and every bit flipped for negative ones, so
// that keys compare as unsigned integers in the order of the values
// (-inf lowest, +inf highest). A NaN gets a key too; callers count NaN apart
// and never use its key. The passes only count and copy keys, so every path
// gives the same results.

#include "framework/simd/array_kernels.h"

#include "framework/simd/isa.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace virda_detail {

/// Element type number of a block of keys already made (the others are
/// kernel_index: double, float, int).
inline constexpr int key_block = 3;

/// Bits of the first digit (the top of the key: sign, exponent and four
/// bits of the fraction) and of each later digit.
inline constexpr int top_digit_bits = 16;
inline constexpr int digit_bits = 12;

struct selection_kernel_table {
    /// Adds each element's top digit (key >> 48) into one of `copies`
    /// sub-histograms of 2^16 counts laid side by side in `sub`, and returns
    /// the number of NaN elements. v_type: 0 double, 1 float, 2 int.
    std::size_t (*count_top)(int v_type, const void* v, std::size_t n, std::uint32_t* sub, int copies);
    /// For the elements whose key's bits above `shift + 12` equal
    /// prefixes[j] (j < nprefix, all distinct), adds the 12-bit digit
    /// (key >> shift) & 4095 into slot j * 4096 + digit of one of `copies`
    /// sub-histograms of nprefix * 4096 + 1 counts; the others go to the last
    /// slot. v_type as count_top, or key_block for a block of keys.
    void (*count_digit)(int v_type, const void* v, std::size_t n, int shift, const std::uint64_t* prefixes,
                        int nprefix, std::uint32_t* sub, int copies);
    /// Writes the keys that match one of the prefixes (as count_digit) to
    /// `out`, in element order, and returns how many. `out` never overlaps v.
    std::size_t (*gather)(int v_type, const void* v, std::size_t n, int shift, const std::uint64_t* prefixes,
                          int nprefix, std::uint64_t* out);
};

VIRDA_DECLARE_PATH_TABLES(selection_kernel_table, selection_table)

/// The table of the path in use.
const selection_kernel_table& selection_kernels();

/// The order key of a double (see above).
inline std::uint64_t order_key(double x)
{
    x += 0.0; // -0.0 + 0.0 is +0.0
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    const std::uint64_t flip = static_cast<std::uint64_t>(static_cast<std::int64_t>(b) >> 63) | (1ull << 63);
    return b ^ flip;
}

/// The double whose order key is k.
inline double key_value(std::uint64_t k)
{
    const std::uint64_t b = (k >> 63) != 0 ? k ^ (1ull << 63) : ~k;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

/// counts[d] += the number of v[0..n) whose top digit is d (2^16 counts),
/// through sub-histograms where they pay; returns the number of NaN.
std::size_t count_top_digits(int v_type, const void* v, std::size_t n, std::uint64_t* counts);

/// counts[j * 4096 + d] += the number of v[0..n) (v_type as in the table)
/// that match prefixes[j] above `shift + 12` with digit d below.
void count_digits(int v_type, const void* v, std::size_t n, int shift, const std::uint64_t* prefixes, int nprefix,
                  std::uint64_t* counts);

} // namespace virda_detail

#endif
