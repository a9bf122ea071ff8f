#ifndef VIRDA_FRAMEWORK_SIMD_KERNEL_ISA_H
#define VIRDA_FRAMEWORK_SIMD_KERNEL_ISA_H

// Included first by every source that virda_add_isa_kernels builds once per
// instruction set, with VIRDA_KERNEL_ISA naming the path: what the kernel
// sources share. What it defines has internal linkage in that path's
// namespace, so that no code built for one path can serve another. Not
// installed.
#include "framework/types/element_types.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef VIRDA_KERNEL_ISA
#error "VIRDA_KERNEL_ISA names the instruction set of this copy"
#endif

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

/// Calls f with a null pointer to the element type that the kernel tables
/// number t (kernel_index: 0 double, 1 float, 2 int). Any other number is a
/// fault of the caller: the process stops rather than read the elements as
/// another type.
template <typename F>
void with_type(int t, F f)
{
    switch (t) {
#define VIRDA_KERNEL_TYPE_CASE(T)       \
    case kernel_index<T>:               \
        f(static_cast<T*>(nullptr));    \
        return;
        VIRDA_FOR_EACH_REAL_TYPE(VIRDA_KERNEL_TYPE_CASE)
#undef VIRDA_KERNEL_TYPE_CASE
    default:
        std::fprintf(stderr, "virda: element loop called for element type number %d\n", t);
        std::abort();
    }
}

/// A vector (or any trivially copyable V) read from p, which need not be
/// aligned for V.
template <typename V>
V load(const void* p)
{
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

/// Bytes of one vector register on this path, and lanes of T in it.
#if defined(__AVX512F__)
constexpr std::size_t vector_bytes = 64;
#elif defined(__AVX__)
constexpr std::size_t vector_bytes = 32;
#else
constexpr std::size_t vector_bytes = 16;
#endif
template <typename T>
constexpr std::size_t lanes_of = vector_bytes / sizeof(T);

/// Elements per block of the two-loop kernels: a block's bins, digits or keys
/// (a few KB) stay in the first-level cache between the loop that computes
/// them and the loop that uses them.
constexpr std::size_t kernel_block = 512;

/// Calls f(start, m) for the blocks [start, start + m) of kernel_block
/// elements of [0, n) in order (the last may be shorter).
template <typename F>
void for_each_block(std::size_t n, F f)
{
    for (std::size_t start = 0; start < n; start += kernel_block) {
        f(start, n - start < kernel_block ? n - start : kernel_block);
    }
}

/// Adds one to sub[c * stride + slots[i]] for i < m, with c taking the
/// `copies` sub-histograms (1 or 4) in turn, so that a run of equal slots
/// does not wait on its own previous increment.
template <typename Slot, typename Count>
void count_into(const Slot* __restrict slots, std::size_t m, Count* __restrict sub, std::size_t stride, int copies)
{
    std::size_t i = 0;
    if (copies == 4) {
        for (; i + 4 <= m; i += 4) {
            ++sub[slots[i]];
            ++sub[stride + slots[i + 1]];
            ++sub[2 * stride + slots[i + 2]];
            ++sub[3 * stride + slots[i + 3]];
        }
    }
    for (; i < m; ++i) {
        ++sub[slots[i]];
    }
}

} // namespace
} // namespace virda_detail::VIRDA_KERNEL_ISA

#endif
