#include "statistics/binning_kernels.h"

#include "framework/simd/isa.h"

#include <vector>

namespace virda_detail {
namespace {

/// Sub-histograms worth their set-up: four when the block is long against
/// the bins and the four copies stay in the cache, else one.
int copies_for(std::size_t n, int nbins)
{
    const std::size_t stride = static_cast<std::size_t>(nbins) + 1;
    return stride <= 4096 && n >= 8 * stride ? 4 : 1;
}

/// counts[k] += Σ_c sub[c * stride + k], k < nbins (the dump slots are left).
void fold(const int* sub, int copies, int nbins, int* counts)
{
    const std::size_t stride = static_cast<std::size_t>(nbins) + 1;
    for (int c = 0; c < copies; ++c) {
        for (int k = 0; k < nbins; ++k) {
            counts[k] += sub[c * stride + k];
        }
    }
}

} // namespace

const binning_kernel_table& binning_kernels()
{
    return for_active_isa(baseline::binning_table, avx2::binning_table, avx512::binning_table);
}

void count_histogram(int v_type, const void* v, std::size_t n, double lower, double width, int nbins, int* counts)
{
    if (n == 0 || nbins <= 0) {
        return;
    }
    const int copies = copies_for(n, nbins);
    std::vector<int> sub(copies * (static_cast<std::size_t>(nbins) + 1), 0);
    binning_kernels().histogram(v_type, v, n, lower, width, nbins, sub.data(), copies);
    fold(sub.data(), copies, nbins, counts);
}

void count_bin_pairs(int y_type, const double* x, const void* y, std::size_t n, double c0, double w, int nbins,
                     double* sums, int* counts)
{
    if (n != 0 && nbins > 0) {
        binning_kernels().bin_pairs(y_type, x, y, n, c0, w, nbins, sums, counts);
    }
}

} // namespace virda_detail
