// The exact sum's block kernels for one instruction set; built once per path
// by virda_add_isa_kernels. Only the table has external linkage. The lanes
// are GCC vectors of one register's width (2, 4 or 8 doubles), two of them per
// level; the arithmetic per lane is the same on every path and the result
// exact, so the width never shows.
#include "framework/simd/kernel_isa.h"
#include "reference_runtime/exact_sum_kernels.h"

#include <cstring>

namespace virda_detail {
namespace VIRDA_KERNEL_ISA {
namespace {

#if defined(__AVX512F__)
constexpr int width = 8;
#elif defined(__AVX__)
constexpr int width = 4;
#else
constexpr int width = 2;
#endif
typedef double vd __attribute__((vector_size(8 * width)));
typedef std::int64_t vi __attribute__((vector_size(8 * width)));
constexpr std::size_t per_step = 2 * width;

constexpr std::uint64_t abs_mask = 0x7fffffffffffffffu;
constexpr std::uint64_t sign_bit = 0x8000000000000000u;

void scan(const double* x, std::size_t n, std::uint64_t* max_abs_bits, bool* not_negzero)
{
    // |x| as a bit pattern is below 2^63, so signed comparisons order it.
    const vi mask = vi{} + static_cast<std::int64_t>(abs_mask);
    const vi sign = vi{} + static_cast<std::int64_t>(sign_bit);
    vi top = vi{};
    vi other = vi{};
    std::size_t i = 0;
    for (; i + width <= n; i += width) {
        const vi b = load<vi>(x + i);
        const vi a = b & mask;
        top = a > top ? a : top;
        other |= b ^ sign;
    }
    std::int64_t m = 0;
    std::int64_t o = 0;
    for (int l = 0; l < width; ++l) {
        m = top[l] > m ? top[l] : m;
        o |= other[l];
    }
    for (; i < n; ++i) {
        const std::int64_t b = load<std::int64_t>(x + i);
        const std::int64_t a = b & static_cast<std::int64_t>(abs_mask);
        m = a > m ? a : m;
        o |= b ^ static_cast<std::int64_t>(sign_bit);
    }
    *max_abs_bits = static_cast<std::uint64_t>(m);
    *not_negzero = o != 0;
}

double sigma(int a)
{
    // 1.5 * 2^a for a normal exponent a.
    const std::uint64_t bits = (static_cast<std::uint64_t>(a + 1023) << 52) | (std::uint64_t{1} << 51);
    return load<double>(&bits);
}

// One error-free step of r through the level S.
inline void step(vd& s_level, vd& r)
{
    const vd s = s_level + r;
    const vd q = s - s_level;
    r = r - q;
    s_level = s;
}

// S - sigma in units of S's last place: the significand minus 3 * 2^51.
std::int64_t units_of(double s)
{
    const std::uint64_t bits = load<std::uint64_t>(&s);
    const std::uint64_t significand = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    return static_cast<std::int64_t>(significand) - static_cast<std::int64_t>(std::uint64_t{3} << 51);
}

bool deposit(const double* x, std::size_t n, int top, std::int64_t* units)
{
    static_assert(exact_levels == 3, "the loop below is written for three levels");
    int a[exact_levels];
    a[0] = top;
    for (int k = 1; k < exact_levels; ++k) {
        a[k] = exact_next_level(a[k - 1]);
    }
    const vd sigma0 = vd{} + sigma(a[0]);
    const vd sigma1 = vd{} + sigma(a[1]);
    const vd sigma2 = vd{} + sigma(a[2]);
    // Two independent sets of lanes so that consecutive steps overlap.
    vd s0a = sigma0, s1a = sigma1, s2a = sigma2;
    vd s0b = sigma0, s1b = sigma1, s2b = sigma2;
    vi rest = vi{};
    // One step over the per_step values at p: each set of lanes takes one
    // register's width of them through the three levels.
    const auto take = [&](const double* p) {
        vd ra = load<vd>(p);
        vd rb = load<vd>(p + width);
        step(s0a, ra);
        step(s0b, rb);
        step(s1a, ra);
        step(s1b, rb);
        step(s2a, ra);
        step(s2b, rb);
        rest |= (ra != 0.0) | (rb != 0.0);
    };
    std::size_t i = 0;
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
    std::int64_t u0 = 0, u1 = 0, u2 = 0;
    for (int l = 0; l < width; ++l) {
        left |= rest[l];
        u0 += units_of(s0a[l]) + units_of(s0b[l]);
        u1 += units_of(s1a[l]) + units_of(s1b[l]);
        u2 += units_of(s2a[l]) + units_of(s2b[l]);
    }
    units[0] = u0;
    units[1] = u1;
    units[2] = u2;
    return left == 0;
}

} // namespace

extern const exact_block_kernels exact_kernels;
const exact_block_kernels exact_kernels = {&scan, &deposit};

} // namespace VIRDA_KERNEL_ISA
} // namespace virda_detail
