#ifndef VIRDA_ENGINE_BINNING_KERNELS_H
#define VIRDA_ENGINE_BINNING_KERNELS_H

// The binning loops of histograms and binned means, compiled once per
// instruction set (binning_kernels_isa.cpp) and called through the table of
// the path in use (framework/simd/isa.h). For each block of a few hundred
// values a vectorised loop computes every value's bin, sending the values
// that no bin takes (NaN, out of range) to a dump slot past the last bin; a
// second loop then counts the block. Bins are integers, so every path gives
// the same counts and, with the per-bin sums added in value order, the same
// sums as a plain loop. Not installed.

#include "framework/simd/isa.h"

#include <cstddef>
#include <cstdint>

namespace virda_detail {

/// One axis of bins as the location loops read it (see
/// virda::engine::bin_axis): `bins` + 1 edges; for equal widths also the
/// first and last edge and norm = bins / (last - first).
struct bin_axis_args {
    const double* edges = nullptr;
    std::int64_t bins = 0;
    bool equal_width = false;
    double norm = 0;
    /// Numbering with an outlier bin on each side (else bins between the
    /// edges only, -1 for a value outside).
    bool outliers = false;
    /// Decimal places of the last-edge test of the outlier numbering.
    int decimals = 0;
    /// For equal widths: step where every edge k < bins is edges[0] + k *
    /// step (the product rounded, then the sum), else 0.
    double step = 0;
};

struct binning_kernel_table {
    /// Bins of v[0..n) (n < 2^31 contiguous values of number type v_type, as
    /// virda::engine::number_type): v > lower and k = trunc((v - lower) /
    /// width) with 0 <= k < nbins, else the dump slot nbins. Adds counts
    /// into `copies` sub-histograms laid side by side in `sub`, each nbins +
    /// 1 ints; the caller zeroes them.
    void (*histogram)(int v_type, const void* v, std::size_t n, double lower, double width, int nbins, int* sub,
                      int copies);
    /// Pair bins of x[0..n): k = floor(t + 1/2), t = (x - c0) / w, exact
    /// (t + 1/2 is never rounded) with 0 <= k < nbins, else the dump slot
    /// nbins. sums[k] += y[p] in ascending p and counts[k] += 1 (both have
    /// nbins + 1 entries); y of number type y_type.
    void (*bin_pairs)(int y_type, const double* x, const void* y, std::size_t n, double c0, double w, int nbins,
                      double* sums, std::int64_t* counts);
    /// Bins along one axis of v[0..n) (number type v_type), folded into the
    /// C-ordered numbers flat[0..n): flat[i] = k where `first`, else flat[i]
    /// * (bins, or bins + 2 with outliers) + k, and -1 where either is -1
    /// (no outliers).
    void (*locate)(int v_type, const void* v, std::size_t n, const bin_axis_args& axis, bool first,
                   std::int64_t* flat);
};

VIRDA_DECLARE_PATH_TABLES(binning_kernel_table, binning_table)

/// The table of the path in use.
const binning_kernel_table& binning_kernels();

} // namespace virda_detail

#endif
