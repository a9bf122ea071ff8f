#ifndef VIRDA_RUNTIME_POWER_KERNELS_H
#define VIRDA_RUNTIME_POWER_KERNELS_H

// The runtime pow's element loop on double, float and int, compiled once per
// instruction set (power_kernels_isa.cpp) and called through the table of the
// path in use (framework/simd/isa.h). Results are bitwise the same on every
// path.

#include "framework/simd/array_kernels.h" // kernel_index
#include "framework/simd/isa.h"

#include <cstddef>

namespace virda_detail {

struct power_kernel_table {
    /// out[i] = a[i]^e by binary powering (1 for e = 0); a_type by
    /// kernel_index.
    void (*power)(int a_type, const void* a, unsigned e, double* out, std::size_t n);
};

VIRDA_DECLARE_PATH_TABLES(power_kernel_table, power_table)

/// out[i] = a[i]^e, whole e, by the same products on every path.
void run_power_kernel(int a_type, const void* a, unsigned e, double* out, std::size_t n);

template <typename A>
void run_power_kernel(const A* a, unsigned e, double* out, std::size_t n)
{
    static_assert(is_kernel_type<A>, "whole powers of double, float and int elements");
    run_power_kernel(kernel_index<A>, a, e, out, n);
}

} // namespace virda_detail

#endif
