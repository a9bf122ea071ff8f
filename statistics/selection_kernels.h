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

#include "framework/simd/isa.h"
#include "framework/types/element_types.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace virda_detail {

/// Element type number of a block of keys already made: the number after
/// the real element types' (kernel_index).
inline constexpr int key_block = [] {
    int n = 0;
#define VIRDA_COUNT_REAL_ROW(T) ++n;
    VIRDA_FOR_EACH_REAL_TYPE(VIRDA_COUNT_REAL_ROW)
#undef VIRDA_COUNT_REAL_ROW
    return n;
}();

/// The widest digit a pass counts: 2^16 counts per prefix.
inline constexpr int widest_digit = 16;

struct selection_kernel_table {
    /// Adds each element's top `bits` bits (key >> (64 - bits), 1 <= bits <=
    /// widest_digit) into one of `copies` sub-histograms of 2^bits counts
    /// laid side by side in `sub`, and returns the number of NaN elements.
    /// v_type: 0 double, 1 float, 2 int.
    std::size_t (*count_top)(int v_type, const void* v, std::size_t n, int bits, std::uint32_t* sub, int copies);
    /// For the elements whose key's bits above `shift + bits` (< 64) equal
    /// prefixes[j] (j < nprefix, all distinct), adds the digit
    /// (key >> shift) & (2^bits - 1) into slot j * 2^bits + digit of one of
    /// `copies` sub-histograms of nprefix * 2^bits + 1 counts; the others go
    /// to the last slot. v_type as count_top, or key_block for a block of
    /// keys.
    void (*count_digit)(int v_type, const void* v, std::size_t n, int shift, int bits,
                        const std::uint64_t* prefixes, int nprefix, std::uint32_t* sub, int copies);
    /// Writes the keys that match one of the prefixes (as count_digit) to
    /// `out`, in element order, and returns how many. `out` never overlaps v.
    std::size_t (*gather)(int v_type, const void* v, std::size_t n, int shift, int bits,
                          const std::uint64_t* prefixes, int nprefix, std::uint64_t* out);
};

VIRDA_DECLARE_PATH_TABLES(selection_kernel_table, selection_table)

/// The table of the path in use.
const selection_kernel_table& selection_kernels();

// The key conversions have internal linkage: the per-path kernel sources use
// them too, and no copy built for a wider instruction set may serve another
// source.
namespace {

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

} // namespace

/// counts[d] += the number of v[0..n) whose top `bits` bits are d (2^bits
/// counts), through sub-histograms where they pay; returns the number of NaN.
std::size_t count_top_digits(int v_type, const void* v, std::size_t n, int bits, std::uint64_t* counts);

/// counts[j * 2^bits + d] += the number of v[0..n) (v_type as in the table)
/// that match prefixes[j] above `shift + bits` with digit d below.
void count_digits(int v_type, const void* v, std::size_t n, int shift, int bits, const std::uint64_t* prefixes,
                  int nprefix, std::uint64_t* counts);

} // namespace virda_detail

#endif
