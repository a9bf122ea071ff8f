#include "statistics/binning_kernels.h"

#include "framework/simd/isa.h"
#include "framework/simd/sub_histograms.h"

#include <vector>

namespace virda_detail {
const binning_kernel_table& binning_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(binning_kernel_table, binning_table);
}

void count_histogram(int v_type, const void* v, std::size_t n, double lower, double width, int nbins, int* counts)
{
    if (n == 0 || nbins <= 0) {
        return;
    }
    // Four copies of at most 4096 counts stay in the first-level cache.
    const std::size_t stride = static_cast<std::size_t>(nbins) + 1;
    const int copies = sub_histogram_copies(n, stride, 4096);
    std::vector<int> sub(copies * stride, 0);
    binning_kernels().histogram(v_type, v, n, lower, width, nbins, sub.data(), copies);
    fold_sub_histograms(sub.data(), copies, stride, static_cast<std::size_t>(nbins), counts);
}

void count_bin_pairs(int y_type, const double* x, const void* y, std::size_t n, double c0, double w, int nbins,
                     double* sums, int* counts)
{
    if (n != 0 && nbins > 0) {
        binning_kernels().bin_pairs(y_type, x, y, n, c0, w, nbins, sums, counts);
    }
}

} // namespace virda_detail
