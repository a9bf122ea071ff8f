#ifndef VIRDA_ENGINE_EXACT_SUM_KERNELS_H
#define VIRDA_ENGINE_EXACT_SUM_KERNELS_H

// The exact sum's fast path for one block of doubles, compiled once per
// instruction set (exact_sum_kernels_isa.cpp); exact_sum.cpp picks the path
// in use (framework/simd/isa.h).
//
// A block is summed into two or three fixed-boundary accumulators per lane
// (levels): two first, which take every value within about 2^-28 of the
// block's largest magnitude, three if two leave a rest. Level k holds
// sigma_k = 1.5 * 2^a_k plus what it has absorbed, a_0 chosen from the
// block's largest magnitude and a_(k+1) = max(a_k - fold_bits, -1022).
// Each element r passes the levels with error-free steps
//     s = S + r;  q = s - S;  r = r - q;  S = s
// which leave S a multiple of its unit 2^(a_k - 52) and pass the exact rest
// on. With a_0 >= e_max + 13 for |x| < 2^(e_max + 1) and at most 2^11
// elements, S stays within (2^a_k, 2^(a_k + 1)), so q and r - q are exact. If
// the rest after the last level is zero for every element, the block's exact
// total is the sum over levels and lanes of S - sigma_k, an integer multiple
// of 2^(a_k - 52) read from S's significand.

#include "framework/simd/isa.h"

#include <cstddef>
#include <cstdint>

namespace virda_detail {

constexpr int exact_levels = 3;
constexpr int exact_fold_bits = 40;
constexpr std::size_t exact_block = 2048;

struct exact_block_kernels {
    /// Over x[0..n): the largest |x| that is not NaN (NaN is left to the
    /// deposit, where it leaves a rest), 0 for an empty block.
    void (*scan)(const double* x, std::size_t n, double* max_abs);
    /// Deposits x[0..n), n <= exact_block, into the first `levels` levels
    /// (2 or 3) with a_0 = top (-1022 <= top <= 1022). units[k] = the
    /// block's total at level k in units of 2^(a_k - 52), 0 for levels not
    /// used. False when some rest is left (or x held a NaN or an infinity):
    /// the block needs more levels or the table. `ahead`, if not null, is
    /// the next block, fetched into the cache meanwhile (n values of it).
    bool (*deposit)(const double* x, std::size_t n, int top, int levels, const double* ahead,
                    std::int64_t* units);
};

VIRDA_DECLARE_PATH_TABLES(exact_block_kernels, exact_kernels)

/// a_k of the level below `a` (not below the smallest normal exponent).
constexpr int exact_next_level(int a)
{
    return a - exact_fold_bits < -1022 ? -1022 : a - exact_fold_bits;
}

} // namespace virda_detail

#endif
