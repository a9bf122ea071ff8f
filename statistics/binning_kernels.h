#ifndef VIRDA_STATISTICS_BINNING_KERNELS_H
#define VIRDA_STATISTICS_BINNING_KERNELS_H

// The counting loops of histogram and bin_data, compiled once per
// instruction set (binning_kernels_isa.cpp) and called through the table of
// the path in use (framework/simd/isa.h). For each block of a few hundred
// elements a vectorised loop computes every element's bin, sending the
// elements that no bin takes (NaN, out of range) to a dump slot past the last
// bin; a second loop then counts the block. Bins are integers, so every path
// gives the same counts and, with the per-bin sums added in element order,
// the same sums as a plain loop.

#include "framework/simd/array_kernels.h"

#include "framework/simd/isa.h"

#include <cstddef>

namespace virda_detail {

struct binning_kernel_table {
    /// Histogram bins of v[0..n) (element type by kernel_index): v > lower
    /// and k = trunc((v - lower) / width) with 0 <= k < nbins, else the dump
    /// slot nbins. Adds element counts into `copies` sub-histograms laid
    /// side by side in `sub`, each nbins + 1 ints; the caller zeroes them.
    void (*histogram)(int v_type, const void* v, std::size_t n, double lower, double width, int nbins, int* sub,
                      int copies);
    /// bin_data bins of x[0..n): k = floor(t + 1/2), t = (x - c0) / w, exact
    /// (t + 1/2 is never rounded) with 0 <= k < nbins, else the dump slot
    /// nbins. sums[k] += y[p] in ascending p and counts[k] += 1 (both have
    /// nbins + 1 entries).
    void (*bin_pairs)(int y_type, const double* x, const void* y, std::size_t n, double c0, double w, int nbins,
                      double* sums, int* counts);
};

VIRDA_DECLARE_PATH_TABLES(binning_kernel_table, binning_table)

/// The table of the path in use.
const binning_kernel_table& binning_kernels();

/// counts[k] += the number of v[0..n) in histogram bin k, k < nbins.
void count_histogram(int v_type, const void* v, std::size_t n, double lower, double width, int nbins, int* counts);

/// For the pairs (x[p], y[p]), p < n: sums[k] += y[p] in ascending p and
/// counts[k] += 1 for bin_data bin k < nbins. sums and counts have nbins + 1
/// entries; slot nbins takes the dropped pairs.
void count_bin_pairs(int y_type, const double* x, const void* y, std::size_t n, double c0, double w, int nbins,
                     double* sums, int* counts);

template <typename T>
void count_histogram(const T* v, std::size_t n, double lower, double width, int nbins, int* counts)
{
    static_assert(is_kernel_type<T>, "histogram counts double, float and int elements");
    count_histogram(kernel_index<T>, v, n, lower, width, nbins, counts);
}

template <typename T>
void count_bin_pairs(const double* x, const T* y, std::size_t n, double c0, double w, int nbins, double* sums,
                     int* counts)
{
    static_assert(is_kernel_type<T>, "bin_data averages double, float and int elements");
    count_bin_pairs(kernel_index<T>, x, y, n, c0, w, nbins, sums, counts);
}

} // namespace virda_detail

#endif
