#ifndef VIRDA_ENGINE_MOMENT_KERNELS_H
#define VIRDA_ENGINE_MOMENT_KERNELS_H

// The moments' passes over one block of doubles, compiled once per
// instruction set (moment_kernels_isa.cpp); moments.cpp picks the path in
// use (framework/simd/isa.h). Every result is exact or a plain comparison,
// so every path gives the same bits.

#include "framework/simd/isa.h"

#include <cstddef>
#include <cstdint>

namespace virda_detail {

/// What one pass learns of a block.
struct moment_scan {
    std::size_t nan = 0;      ///< NaN values
    double least = 0;         ///< the least value that is not NaN (+inf when none)
    double greatest = 0;      ///< the greatest (-inf when none)
    double largest_abs = 0;   ///< the largest |x| that is not NaN (0 when none)
    double smallest_abs = 0;  ///< the smallest non-zero |x| (+inf when none)
    bool negative_zero = false; ///< some value is -0.0
    bool positive_zero = false; ///< some value is +0.0
};

/// Columns and rows one tile_deposit call takes at most.
constexpr std::size_t tile_deposit_columns = 256;
constexpr std::size_t tile_deposit_rows = 2048;

struct moment_kernel_table {
    /// One pass over x[0..n).
    void (*scan)(const double* x, std::size_t n, moment_scan* out);
    /// The same but for smallest_abs (left 0): the NaN count and the
    /// extremes in one pass of fewer comparisons, largest_abs from the
    /// extremes, the zeros' signs looked for only when an extreme is zero.
    void (*extremes)(const double* x, std::size_t n, moment_scan* out);
    /// hi[i] = x[i] * x[i] rounded, lo[i] = x[i] * x[i] - hi[i] exactly, for
    /// every x[i] with 2^-480 <= |x[i]| <= 2^511 or x[i] = 0 (the range where
    /// both are exact doubles).
    void (*square)(const double* x, std::size_t n, double* hi, double* lo);
    /// hi[i] = a[i] * b[i] rounded, lo[i] = a[i] * b[i] - hi[i] exactly, for
    /// products and rests in the range of normal doubles (the callers keep
    /// their factors within [2^-200, 2^200] or 0).
    void (*product)(const double* a, const double* b, std::size_t n, double* hi, double* lo);
    /// Copies the values of x[0..n) that are not NaN to out, in order, and
    /// returns how many.
    std::size_t (*drop_nan)(const double* x, std::size_t n, double* out);
    /// Per column j < k of the rows x + i * row_step (i < rows, contiguous
    /// columns): least[j], greatest[j] (NaN never one) and nans[j], the
    /// NaN values, set afresh. Only comparisons and selections.
    void (*tile_extremes)(const double* x, std::size_t rows, std::ptrdiff_t row_step, std::size_t k, double* least,
                          double* greatest, std::int64_t* nans);
    /// Per column j < k (k <= tile_deposit_columns) of the rows x + i *
    /// row_step (i < rows <= tile_deposit_rows, contiguous columns): the
    /// exact sum's error-free deposit (exact_sum_kernels.h) with one lane
    /// per column, a_0 = tops[j] (-1022 <= tops[j] <= 1022), through
    /// `levels` levels (2 or 3), and in the same pass least[j], greatest[j]
    /// and nans[j] as tile_extremes gives them. units[3 * j + l] = the
    /// column's total at level l in units of 2^(a_l - 52) (0 for levels not
    /// used). The units are the column's exact total only when left[j] is 0
    /// (no rest: no NaN, no infinity, nothing below the last level) and a_0
    /// is at least 13 above the exponent of the column's largest magnitude,
    /// which the caller checks afterwards against least and greatest.
    void (*tile_deposit)(const double* x, std::size_t rows, std::ptrdiff_t row_step, std::size_t k, const int* tops,
                         int levels, std::int64_t* units, std::uint8_t* left, double* least, double* greatest,
                         std::int64_t* nans);
};

VIRDA_DECLARE_PATH_TABLES(moment_kernel_table, moment_table)

/// The table of the path in use.
const moment_kernel_table& moment_kernels();

} // namespace virda_detail

#endif
