#ifndef VIRDA_FRAMEWORK_SIMD_KERNEL_ISA_H
#define VIRDA_FRAMEWORK_SIMD_KERNEL_ISA_H

// Included first by every source that virda_add_isa_kernels builds once per
// instruction set, with VIRDA_KERNEL_ISA naming the path. What it defines has
// internal linkage in that path's namespace, so that no code built for one
// path can serve another. Not installed.
#include <cstring>

#ifndef VIRDA_KERNEL_ISA
#error "VIRDA_KERNEL_ISA names the instruction set of this copy"
#endif

namespace virda_detail {
namespace VIRDA_KERNEL_ISA {
namespace {

/// Calls f with a null pointer to the element type that the kernel tables
/// number t (kernel_index): 0 double, 1 float, anything else int.
template <typename F>
void with_type(int t, F f)
{
    switch (t) {
    case 0:
        f(static_cast<double*>(nullptr));
        break;
    case 1:
        f(static_cast<float*>(nullptr));
        break;
    default:
        f(static_cast<int*>(nullptr));
        break;
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

} // namespace
} // namespace VIRDA_KERNEL_ISA
} // namespace virda_detail

#endif
