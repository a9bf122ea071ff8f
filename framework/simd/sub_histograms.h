#ifndef VIRDA_FRAMEWORK_SIMD_SUB_HISTOGRAMS_H
#define VIRDA_FRAMEWORK_SIMD_SUB_HISTOGRAMS_H

// The callers' side of the counting kernels that count into several
// sub-histograms laid side by side (count_into in kernel_isa.h): how many to
// use, and folding them into one. For the dispatching sources, not for the
// per-path kernel sources. Not installed.

#include <cstddef>

namespace virda_detail {

/// Sub-histograms of `stride` counts worth their set-up for n elements: four
/// when the elements are many against the counts and a copy has at most
/// `max_stride` counts (so that the four stay in the cache), else one.
inline int sub_histogram_copies(std::size_t n, std::size_t stride, std::size_t max_stride)
{
    return stride <= max_stride && n >= 8 * stride ? 4 : 1;
}

/// counts[k] += the sum over the copies c of sub[c * stride + k], k < used.
template <typename Count, typename Total>
void fold_sub_histograms(const Count* sub, int copies, std::size_t stride, std::size_t used, Total* counts)
{
    for (int c = 0; c < copies; ++c) {
        for (std::size_t k = 0; k < used; ++k) {
            counts[k] += sub[static_cast<std::size_t>(c) * stride + k];
        }
    }
}

} // namespace virda_detail

#endif
