#ifndef VIRDA_FRAMEWORK_SIMD_ARRAY_KERNELS_H
#define VIRDA_FRAMEWORK_SIMD_ARRAY_KERNELS_H

// The element loops of the arrays' arithmetic on double, float and int,
// compiled once per instruction set
// (array_kernels_isa.cpp) and called through the table of the path in use
// (isa.h). Results are bitwise the same on every path.

#include "framework/simd/isa.h"
#include "framework/types/promote_trait.h"

#include <cstddef>
#include <type_traits>

namespace virda_detail {

// kernel_index and is_kernel_type (the element loops' numbering of double,
// float and int) come from the element type table.

/// The result type of a pair of real types: their sum's (double over float
/// over int).
template <typename A, typename B>
using kernel_result_t = typename promote_trait<A, B>::T_promote;

/// Type-erased entry points of one path; element types by kernel_index.
/// The table is constant-initialised: no code built for a path runs before
/// that path is chosen.
struct array_kernel_table {
    /// out[i] = a[i] OP b[i] in R = kernel_result_t<A, B> (int wraps).
    void (*with_array)(bool product, int a_type, int b_type, const void* a, const void* b, void* out, std::size_t n);
    /// out[i] = a[i] OP s in R = kernel_result_t<A, S>; s points to the scalar.
    void (*with_scalar)(bool product, int a_type, int s_type, const void* a, const void* s, void* out, std::size_t n);
};

VIRDA_DECLARE_PATH_TABLES(array_kernel_table, array_table)

/// The table of the path in use.
const array_kernel_table& array_kernels();

/// out[i] = a[i] + b[i] (Product false) or a[i] * b[i], i < n.
template <bool Product, typename A, typename B>
void run_array_kernel(const A* a, const B* b, kernel_result_t<A, B>* out, std::size_t n)
{
    array_kernels().with_array(Product, kernel_index<A>, kernel_index<B>, a, b, out, n);
}

/// out[i] = a[i] + s (Product false) or a[i] * s, i < n.
template <bool Product, typename A, typename S>
void run_scalar_kernel(const A* a, S s, kernel_result_t<A, S>* out, std::size_t n)
{
    array_kernels().with_scalar(Product, kernel_index<A>, kernel_index<S>, a, &s, out, n);
}

} // namespace virda_detail

#endif
