// The exact sum's block kernels for one instruction set; built once per path
// by virda_add_isa_kernels. Only the table has external linkage. The lanes
// are GCC vectors of one register's width (2, 4 or 8 doubles), four of them per
// level; the arithmetic per lane is the same on every path and the result
// exact, so the width never shows.
#include "framework/simd/kernel_isa.h"
#include "engine/exact_sum_kernels.h"

#include <cmath>
#include <cstring>
#include <immintrin.h>

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

constexpr int width = static_cast<int>(lanes_of<double>);
typedef double vd __attribute__((vector_size(8 * width)));
typedef std::int64_t vi __attribute__((vector_size(8 * width)));

constexpr std::uint64_t abs_mask = 0x7fffffffffffffffu;

void scan(const double* x, std::size_t n, double* max_abs)
{
    // A NaN compares false and never becomes the maximum; the deposit finds
    // it instead (it leaves a rest behind). An infinity does.
    const vi mask = vi{} + static_cast<std::int64_t>(abs_mask);
    vd top0 = vd{};
    vd top1 = vd{};
    std::size_t i = 0;
    for (; i + 2 * width <= n; i += 2 * width) {
        const vd a0 = (vd)(load<vi>(x + i) & mask);
        const vd a1 = (vd)(load<vi>(x + i + width) & mask);
        top0 = a0 > top0 ? a0 : top0;
        top1 = a1 > top1 ? a1 : top1;
    }
    double m = 0.0;
    for (int l = 0; l < width; ++l) {
        m = top0[l] > m ? top0[l] : m;
        m = top1[l] > m ? top1[l] : m;
    }
    for (; i < n; ++i) {
        const double a = std::fabs(x[i]);
        m = a > m ? a : m;
    }
    *max_abs = m;
}

double sigma(int a)
{
    // 1.5 * 2^a for a normal exponent a.
    const std::uint64_t bits = (static_cast<std::uint64_t>(a + 1023) << 52) | (std::uint64_t{1} << 51);
    return load<double>(&bits);
}

// a - b, rounded once. Where the processor has fused multiply-adds, as
// b * -1 + a on that unit: the same rounding of the same exact difference, but
// it runs beside the adders and so doubles the additions per cycle.
inline vd sub_on_fma(vd a, vd b)
{
#if defined(__AVX512F__)
    return (vd)_mm512_fmadd_pd((__m512d)b, _mm512_set1_pd(-1.0), (__m512d)a);
#elif defined(__FMA__)
    return (vd)_mm256_fmadd_pd((__m256d)b, _mm256_set1_pd(-1.0), (__m256d)a);
#else
    return a - b;
#endif
}

// One error-free step of r through the level S. The sum runs on the adders;
// of q = s - S and r - q, level 0 puts one and level 1 both on the fused
// unit, which balances the two kinds of unit over a two-level deposit.
template <int Level>
inline void step(vd& s_level, vd& r)
{
    const vd s = s_level + r;
    const vd q = sub_on_fma(s, s_level);
    r = Level == 0 ? r - q : sub_on_fma(r, q);
    s_level = s;
}

// S - sigma in units of S's last place: the significand minus 3 * 2^51.
std::int64_t units_of(double s)
{
    const std::uint64_t bits = load<std::uint64_t>(&s);
    const std::uint64_t significand = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    return static_cast<std::int64_t>(significand) - static_cast<std::int64_t>(std::uint64_t{3} << 51);
}

// The deposit through the first Levels levels. Sets independent sets of
// lanes take consecutive registers' worth of values, so that the steps of one
// level overlap instead of waiting on each other.
template <int Levels>
bool deposit_levels(const double* x, std::size_t n, int top, const double* ahead, std::int64_t* units)
{
    constexpr int sets = 4;
    constexpr std::size_t per_step = sets * width;
    int a[exact_levels];
    a[0] = top;
    for (int k = 1; k < exact_levels; ++k) {
        a[k] = exact_next_level(a[k - 1]);
    }
    vd s[Levels][sets];
    for (int k = 0; k < Levels; ++k) {
        for (int j = 0; j < sets; ++j) {
            s[k][j] = vd{} + sigma(a[k]);
        }
    }
    // The bits of every final rest ORed together; a rest of -0.0 is none.
    vi rest = vi{};
    const auto take = [&](const double* p) {
        vd r[sets];
        for (int j = 0; j < sets; ++j) {
            r[j] = load<vd>(p + j * width);
        }
        for (int j = 0; j < sets; ++j) {
            step<0>(s[0][j], r[j]);
        }
        for (int k = 1; k < Levels; ++k) {
            for (int j = 0; j < sets; ++j) {
                step<1>(s[k][j], r[j]);
            }
        }
        for (int j = 0; j < sets; ++j) {
            rest |= (vi)r[j];
        }
    };
    std::size_t i = 0;
    if (ahead != nullptr) {
        for (; i + per_step <= n; i += per_step) {
            for (std::size_t j = 0; j < per_step; j += 8) {
                __builtin_prefetch(ahead + i + j);
            }
            take(x + i);
        }
    }
    for (; i + per_step <= n; i += per_step) {
        take(x + i);
    }
    if (i < n) {
        // The tail, padded with zeros, which change nothing.
        double tail[per_step] = {};
        std::memcpy(tail, x + i, (n - i) * sizeof(double));
        take(tail);
    }
    std::int64_t left = 0;
    for (int l = 0; l < width; ++l) {
        left |= rest[l];
    }
    for (int k = 0; k < exact_levels; ++k) {
        std::int64_t u = 0;
        if (k < Levels) {
            for (int j = 0; j < sets; ++j) {
                for (int l = 0; l < width; ++l) {
                    u += units_of(s[k][j][l]);
                }
            }
        }
        units[k] = u;
    }
    return (left & static_cast<std::int64_t>(abs_mask)) == 0;
}

bool deposit(const double* x, std::size_t n, int top, int levels, const double* ahead, std::int64_t* units)
{
    static_assert(exact_levels == 3, "two or three levels");
    return levels == 2 ? deposit_levels<2>(x, n, top, ahead, units)
                       : deposit_levels<3>(x, n, top, ahead, units);
}

} // namespace

extern const exact_block_kernels exact_kernels;
const exact_block_kernels exact_kernels = {&scan, &deposit};

} // namespace virda_detail::VIRDA_KERNEL_ISA
