#include "statistics/selection_kernels.h"

#include <cstring>
#include <vector>

namespace virda_detail {
namespace {

/// Four sub-histograms when the block is long against the counts and the
/// copies stay in the second-level cache, else one. Four copies keep a run
/// of equal keys from waiting on its own previous increment.
int copies_for(std::size_t n, std::size_t stride)
{
    return n >= 8 * stride ? 4 : 1;
}

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

/// counts[k] += Σ_c sub[c * stride + k], k < used.
void fold(const std::uint32_t* sub, int copies, std::size_t stride, std::size_t used, std::uint64_t* counts)
{
    for (int c = 0; c < copies; ++c) {
        for (std::size_t k = 0; k < used; ++k) {
            counts[k] += sub[c * stride + k];
        }
    }
}

} // namespace

const selection_kernel_table& selection_kernels()
{
    return for_active_isa(baseline::selection_table, avx2::selection_table, avx512::selection_table);
}

std::size_t count_top_digits(int v_type, const void* v, std::size_t n, std::uint64_t* counts)
{
    if (n == 0) {
        return 0;
    }
    const std::size_t stride = std::size_t{1} << top_digit_bits;
    const int copies = copies_for(n, stride);
    std::uint32_t* sub = zeroed_scratch(copies * stride);
    const std::size_t nan = selection_kernels().count_top(v_type, v, n, sub, copies);
    fold(sub, copies, stride, stride, counts);
    return nan;
}

void count_digits(int v_type, const void* v, std::size_t n, int shift, const std::uint64_t* prefixes, int nprefix,
                  std::uint64_t* counts)
{
    if (n == 0 || nprefix <= 0) {
        return;
    }
    const std::size_t used = static_cast<std::size_t>(nprefix) << digit_bits;
    const std::size_t stride = used + 1;
    const int copies = copies_for(n, stride);
    std::uint32_t* sub = zeroed_scratch(copies * stride);
    selection_kernels().count_digit(v_type, v, n, shift, prefixes, nprefix, sub, copies);
    fold(sub, copies, stride, used, counts);
}

} // namespace virda_detail
