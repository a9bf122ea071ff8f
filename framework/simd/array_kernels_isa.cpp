// Element loops for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage, and no library template is
// instantiated, so that no code built for one path can serve another.
#include "framework/simd/kernel_isa.h"
#include "framework/simd/array_kernels.h"

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

template <typename R>
R add(R a, R b)
{
    if constexpr (std::is_same_v<R, int>) {
        return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b)); // wraps
    } else {
        return a + b;
    }
}

template <typename R>
R multiply(R a, R b)
{
    if constexpr (std::is_same_v<R, int>) {
        return static_cast<int>(static_cast<unsigned>(a) * static_cast<unsigned>(b));
    } else {
        return a * b;
    }
}

// The output is a fresh block: it never overlaps an operand (the operands may
// be the same array, which only reads).
template <bool Product, typename A, typename B>
void with_array(const A* __restrict a, const B* __restrict b, kernel_result_t<A, B>* __restrict out, std::size_t n)
{
    using R = kernel_result_t<A, B>;
    for (std::size_t i = 0; i < n; ++i) {
        const R x = static_cast<R>(a[i]);
        const R y = static_cast<R>(b[i]);
        out[i] = Product ? multiply(x, y) : add(x, y);
    }
}

template <bool Product, typename A, typename S>
void with_scalar(const A* __restrict a, S s, kernel_result_t<A, S>* __restrict out, std::size_t n)
{
    using R = kernel_result_t<A, S>;
    const R y = static_cast<R>(s);
    for (std::size_t i = 0; i < n; ++i) {
        const R x = static_cast<R>(a[i]);
        out[i] = Product ? multiply(x, y) : add(x, y);
    }
}

void any_with_array(bool product, int a_type, int b_type, const void* a, const void* b, void* out, std::size_t n)
{
    with_type(a_type, [&](auto* ta) {
        with_type(b_type, [&](auto* tb) {
            using A = std::remove_pointer_t<decltype(ta)>;
            using B = std::remove_pointer_t<decltype(tb)>;
            using R = kernel_result_t<A, B>;
            const auto* pa = static_cast<const A*>(a);
            const auto* pb = static_cast<const B*>(b);
            auto* po = static_cast<R*>(out);
            if (product) {
                with_array<true>(pa, pb, po, n);
            } else {
                with_array<false>(pa, pb, po, n);
            }
        });
    });
}

void any_with_scalar(bool product, int a_type, int s_type, const void* a, const void* s, void* out, std::size_t n)
{
    with_type(a_type, [&](auto* ta) {
        with_type(s_type, [&](auto* ts) {
            using A = std::remove_pointer_t<decltype(ta)>;
            using S = std::remove_pointer_t<decltype(ts)>;
            using R = kernel_result_t<A, S>;
            const auto* pa = static_cast<const A*>(a);
            const S value = *static_cast<const S*>(s);
            auto* po = static_cast<R*>(out);
            if (product) {
                with_scalar<true>(pa, value, po, n);
            } else {
                with_scalar<false>(pa, value, po, n);
            }
        });
    });
}

} // namespace

extern const array_kernel_table array_table;
const array_kernel_table array_table = {&any_with_array, &any_with_scalar};

} // namespace virda_detail::VIRDA_KERNEL_ISA
