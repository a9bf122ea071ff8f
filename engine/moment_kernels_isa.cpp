// The moments' block passes for one instruction set; built once per path by
// virda_add_isa_kernels. Only the table has external linkage.
#include "framework/simd/kernel_isa.h"
#include "engine/moment_kernels.h"

#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <limits>

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

constexpr std::uint64_t abs_mask = 0x7fffffffffffffffu;
constexpr std::uint64_t sign_bit = 0x8000000000000000u;

void scan(const double* x, std::size_t n, moment_scan* out)
{
    // Comparisons with NaN are false: a NaN never becomes an extreme.
    const double inf = std::numeric_limits<double>::infinity();
    double least = inf;
    double greatest = -inf;
    double largest = 0.0;
    double smallest = inf;
    std::size_t nan = 0;
    std::uint64_t neg_zero = 0;
    std::uint64_t pos_zero = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        const std::uint64_t a_bits = b & abs_mask;
        double a;
        std::memcpy(&a, &a_bits, sizeof a);
        nan += v != v ? 1 : 0;
        least = v < least ? v : least;
        greatest = v > greatest ? v : greatest;
        largest = a > largest ? a : largest;
        smallest = (a < smallest && a != 0.0) ? a : smallest;
        neg_zero |= b == sign_bit ? 1 : 0;
        pos_zero |= b == 0 ? 1 : 0;
    }
    out->nan = nan;
    out->least = least;
    out->greatest = greatest;
    out->largest_abs = largest;
    out->smallest_abs = smallest;
    out->negative_zero = neg_zero != 0;
    out->positive_zero = pos_zero != 0;
}

void square(const double* __restrict x, std::size_t n, double* __restrict hi, double* __restrict lo)
{
#if defined(__FMA__)
    // The rest of a product is exact as a fused multiply-add.
    for (std::size_t i = 0; i < n; ++i) {
        const double p = x[i] * x[i];
        hi[i] = p;
        lo[i] = __builtin_fma(x[i], x[i], -p);
    }
#else
    // Without a fused unit, Dekker's product: x split into two halves of 26
    // bits each whose products are exact; the same rest, exactly.
    for (std::size_t i = 0; i < n; ++i) {
        const double a = x[i];
        const double c = 134217729.0 * a; // 2^27 + 1
        const double ah = c - (c - a);
        const double al = a - ah;
        const double p = a * a;
        hi[i] = p;
        lo[i] = (((ah * ah - p) + ah * al) + al * ah) + al * al;
    }
#endif
}

std::size_t drop_nan(const double* __restrict x, std::size_t n, double* __restrict out)
{
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out[kept] = x[i];
        kept += x[i] == x[i] ? 1 : 0;
    }
    return kept;
}

} // namespace

extern const moment_kernel_table moment_table;
const moment_kernel_table moment_table = {&scan, &square, &drop_nan};

} // namespace virda_detail::VIRDA_KERNEL_ISA
