// The line pass of equal-width histograms for one instruction set; built
// once per path by virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the
// path. Everything here but the table has internal linkage, so that no code
// built for one path can serve another.
#include "framework/simd/kernel_isa.h"
#include "engine/line_kernels.h"

#include <cstdint>
#include <cstring>

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

// The line pass's bins of v[0..n) (those of locate_bins), four at a time:
// the estimate clamped below the last bin in double before its conversion
// (only values between the edges are estimated; others, and NaN, estimate 0
// and end as -1), then moved down or up one by the edges.
// Exact operations only, none fused, so every path gives the same bins.
void locate_line(const double* e, std::int64_t bins, double first, double last, double norm, const double* v,
                 std::size_t n, std::int32_t* out)
{
    typedef double vec_double __attribute__((vector_size(32)));
    typedef std::int64_t vec_long __attribute__((vector_size(32)));
    typedef std::int32_t vec_int __attribute__((vector_size(16)));
    const double top = static_cast<double>(bins - 1);
    const auto last_bin = static_cast<std::int32_t>(bins - 1);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        vec_double x;
        std::memcpy(&x, v + i, sizeof x);
        const vec_long inside = (x >= first) & (x <= last);
        const vec_double zero = {};
        vec_double q = (x - first) * norm;
        q = inside != 0 ? q : zero;
        q = q < top ? q : zero + top;
        vec_int k = __builtin_convertvector(q, vec_int);
        const vec_double ek = {e[k[0]], e[k[1]], e[k[2]], e[k[3]]};
        const vec_double up_edge = {e[k[0] + 1], e[k[1] + 1], e[k[2] + 1], e[k[3] + 1]};
        const vec_int down = __builtin_convertvector(x < ek, vec_int);
        const vec_int up = __builtin_convertvector(x >= up_edge, vec_int) & ~down & (k != last_bin);
        // Comparisons give -1 where they hold.
        k = k + down - up;
        k = __builtin_convertvector(inside, vec_int) != 0 ? k : vec_int{} - 1;
        std::memcpy(out + i, &k, sizeof k);
    }
    for (; i < n; ++i) {
        const double x = v[i];
        if (!(x >= first && x <= last)) {
            out[i] = -1;
            continue;
        }
        std::int64_t k = static_cast<std::int64_t>((x - first) * norm);
        k = k < bins - 1 ? k : bins - 1;
        if (x < e[k]) {
            --k;
        } else if (k != bins - 1 && x >= e[k + 1]) {
            ++k;
        }
        out[i] = static_cast<std::int32_t>(k);
    }
}

} // namespace

extern const line_kernel_table line_table;
const line_kernel_table line_table = {&locate_line};

} // namespace virda_detail::VIRDA_KERNEL_ISA
