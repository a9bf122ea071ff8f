#include "statistics/selection_kernels.h"

#include "framework/simd/sub_histograms.h"

#include <cstring>
#include <vector>

namespace virda_detail {
namespace {

/// Zeroed room for `count` sub-histogram counts. The room is kept from call
/// to call (at most about a megabyte): quantiles of small blocks would
/// otherwise spend most of their time faulting in fresh pages.
std::uint32_t* zeroed_scratch(std::size_t count)
{
    static thread_local std::vector<std::uint32_t> scratch;
    scratch.resize(count);
    std::memset(scratch.data(), 0, count * sizeof(std::uint32_t));
    return scratch.data();
}

} // namespace

const selection_kernel_table& selection_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(selection_kernel_table, selection_table);
}

std::size_t count_top_digits(int v_type, const void* v, std::size_t n, int bits, std::uint64_t* counts)
{
    if (n == 0) {
        return 0;
    }
    const std::size_t stride = std::size_t{1} << bits;
    const int copies = sub_histogram_copies(n, stride, stride);
    std::uint32_t* sub = zeroed_scratch(copies * stride);
    const std::size_t nan = selection_kernels().count_top(v_type, v, n, bits, sub, copies);
    fold_sub_histograms(sub, copies, stride, stride, counts);
    return nan;
}

void count_digits(int v_type, const void* v, std::size_t n, int shift, int bits, const std::uint64_t* prefixes,
                  int nprefix, std::uint64_t* counts)
{
    if (n == 0 || nprefix <= 0) {
        return;
    }
    const std::size_t used = static_cast<std::size_t>(nprefix) << bits;
    const std::size_t stride = used + 1;
    const int copies = sub_histogram_copies(n, stride, stride);
    std::uint32_t* sub = zeroed_scratch(copies * stride);
    selection_kernels().count_digit(v_type, v, n, shift, bits, prefixes, nprefix, sub, copies);
    fold_sub_histograms(sub, copies, stride, used, counts);
}

} // namespace virda_detail
