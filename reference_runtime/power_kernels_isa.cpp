// The power loop for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage.
#include "framework/simd/kernel_isa.h"
#include "reference_runtime/power_kernels.h"

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

// Binary powering, one bit of e per sweep over a block held in cache: per
// element the same products in the same order as
//   r = 1; b = x; while (e) { if (e & 1) r *= b; b *= b; e >>= 1; }
// and every sweep vectorises.
template <typename A>
void power(const A* __restrict a, unsigned e, double* __restrict out, std::size_t n)
{
    double base[kernel_block];
    for_each_block(n, [&](std::size_t start, std::size_t m) {
        double* __restrict r = out + start;
        for (std::size_t j = 0; j < m; ++j) {
            base[j] = static_cast<double>(a[start + j]);
            r[j] = 1.0;
        }
        for (unsigned k = e; k != 0; k >>= 1) {
            if ((k & 1u) != 0) {
                for (std::size_t j = 0; j < m; ++j) {
                    r[j] *= base[j];
                }
            }
            if ((k >> 1) != 0) {
                for (std::size_t j = 0; j < m; ++j) {
                    base[j] *= base[j];
                }
            }
        }
    });
}

void any_power(int a_type, const void* a, unsigned e, double* out, std::size_t n)
{
    with_type(a_type, [&](auto* ta) {
        using A = std::remove_pointer_t<decltype(ta)>;
        power(static_cast<const A*>(a), e, out, n);
    });
}

} // namespace

extern const power_kernel_table power_table;
const power_kernel_table power_table = {&any_power};

} // namespace virda_detail::VIRDA_KERNEL_ISA
