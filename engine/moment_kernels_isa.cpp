// The moments' block passes for one instruction set; built once per path by
// virda_add_isa_kernels. Only the table has external linkage.
#include "framework/simd/kernel_isa.h"
#include "engine/moment_kernels.h"
#include "engine/exact_sum_kernels.h"

#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <limits>

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

constexpr std::uint64_t abs_mask = 0x7fffffffffffffffu;
constexpr std::uint64_t sign_bit = 0x8000000000000000u;

constexpr int width = static_cast<int>(lanes_of<double>);
typedef double vd __attribute__((vector_size(8 * width)));
typedef std::int64_t vi __attribute__((vector_size(8 * width)));

void scan(const double* x, std::size_t n, moment_scan* out)
{
    // Comparisons with NaN are false: a NaN never becomes an extreme. Whole
    // registers first, then the rest one by one; every operation is a
    // comparison or a selection, so the lanes' order never shows.
    const double inf = std::numeric_limits<double>::infinity();
    const vi abs_bits = vi{} + static_cast<std::int64_t>(abs_mask);
    const vi sign = vi{} + static_cast<std::int64_t>(sign_bit);
    vd least = vd{} + inf;
    vd greatest = vd{} - inf;
    vd largest = vd{};
    vd smallest = vd{} + inf;
    vi nan = vi{};
    vi neg_zero = vi{};
    vi pos_zero = vi{};
    std::size_t i = 0;
    for (; i + width <= n; i += width) {
        const vd v = load<vd>(x + i);
        const vi b = (vi)v;
        const vd a = (vd)(b & abs_bits);
        nan -= (vi)(v != v); // a true comparison is -1
        least = v < least ? v : least;
        greatest = v > greatest ? v : greatest;
        largest = a > largest ? a : largest;
        smallest = (a < smallest) & (a != 0.0) ? a : smallest;
        neg_zero |= (vi)(b == sign);
        pos_zero |= (vi)(b == vi{});
    }
    double l = inf;
    double g = -inf;
    double big = 0.0;
    double small = inf;
    std::size_t nans = 0;
    bool nz = false;
    bool pz = false;
    for (int k = 0; k < width; ++k) {
        l = least[k] < l ? least[k] : l;
        g = greatest[k] > g ? greatest[k] : g;
        big = largest[k] > big ? largest[k] : big;
        small = smallest[k] < small ? smallest[k] : small;
        nans += static_cast<std::size_t>(nan[k]);
        nz = nz || neg_zero[k] != 0;
        pz = pz || pos_zero[k] != 0;
    }
    for (; i < n; ++i) {
        const double v = x[i];
        std::uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        const double a = std::fabs(v);
        nans += v != v ? 1 : 0;
        l = v < l ? v : l;
        g = v > g ? v : g;
        big = a > big ? a : big;
        small = (a < small && a != 0.0) ? a : small;
        nz = nz || b == sign_bit;
        pz = pz || b == 0;
    }
    out->nan = nans;
    out->least = l;
    out->greatest = g;
    out->largest_abs = big;
    out->smallest_abs = small;
    out->negative_zero = nz;
    out->positive_zero = pz;
}

void extremes(const double* x, std::size_t n, moment_scan* out)
{
    // As scan, with two independent sets of lanes; every operation is a
    // comparison or a selection, so the lanes' order never shows.
    const double inf = std::numeric_limits<double>::infinity();
    vd least[2] = {vd{} + inf, vd{} + inf};
    vd greatest[2] = {vd{} - inf, vd{} - inf};
    vi nan[2] = {vi{}, vi{}};
    std::size_t i = 0;
    for (; i + 2 * width <= n; i += 2 * width) {
        for (int j = 0; j < 2; ++j) {
            const vd v = load<vd>(x + i + j * width);
            nan[j] -= (vi)(v != v); // a true comparison is -1
            least[j] = v < least[j] ? v : least[j];
            greatest[j] = v > greatest[j] ? v : greatest[j];
        }
    }
    double l = inf;
    double g = -inf;
    std::size_t nans = 0;
    for (int j = 0; j < 2; ++j) {
        for (int k = 0; k < width; ++k) {
            l = least[j][k] < l ? least[j][k] : l;
            g = greatest[j][k] > g ? greatest[j][k] : g;
            nans += static_cast<std::size_t>(nan[j][k]);
        }
    }
    for (; i < n; ++i) {
        const double v = x[i];
        nans += v != v ? 1 : 0;
        l = v < l ? v : l;
        g = v > g ? v : g;
    }
    bool nz = false;
    bool pz = false;
    if (l == 0.0 || g == 0.0) {
        for (std::size_t k = 0; k < n; ++k) {
            std::uint64_t b;
            std::memcpy(&b, &x[k], sizeof b);
            nz = nz || b == sign_bit;
            pz = pz || b == 0;
        }
    }
    out->nan = nans;
    out->least = l;
    out->greatest = g;
    const double big = -l > g ? -l : g;
    out->largest_abs = big > 0.0 ? big : 0.0;
    out->smallest_abs = 0.0;
    out->negative_zero = nz;
    out->positive_zero = pz;
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

void product(const double* __restrict a, const double* __restrict b, std::size_t n, double* __restrict hi,
             double* __restrict lo)
{
#if defined(__FMA__)
    for (std::size_t i = 0; i < n; ++i) {
        const double p = a[i] * b[i];
        hi[i] = p;
        lo[i] = __builtin_fma(a[i], b[i], -p);
    }
#else
    // Dekker's product, as for the squares.
    for (std::size_t i = 0; i < n; ++i) {
        const double ca = 134217729.0 * a[i];
        const double ah = ca - (ca - a[i]);
        const double al = a[i] - ah;
        const double cb = 134217729.0 * b[i];
        const double bh = cb - (cb - b[i]);
        const double bl = b[i] - bh;
        const double p = a[i] * b[i];
        hi[i] = p;
        lo[i] = (((ah * bh - p) + ah * bl) + al * bh) + al * bl;
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

void tile_extremes(const double* __restrict x, std::size_t rows, std::ptrdiff_t row_step, std::size_t k,
                   double* __restrict least, double* __restrict greatest, std::int64_t* __restrict nans)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t j = 0; j < k; ++j) {
        least[j] = inf;
        greatest[j] = -inf;
        nans[j] = 0;
    }
    for (std::size_t i = 0; i < rows; ++i) {
        const double* row = x + static_cast<std::ptrdiff_t>(i) * row_step;
        for (std::size_t j = 0; j < k; ++j) {
            const double v = row[j];
            nans[j] += v != v ? 1 : 0;
            least[j] = v < least[j] ? v : least[j];
            greatest[j] = v > greatest[j] ? v : greatest[j];
        }
    }
}

double sigma(int a)
{
    // 1.5 * 2^a for a normal exponent a.
    const std::uint64_t bits = (static_cast<std::uint64_t>(a + 1023) << 52) | (std::uint64_t{1} << 51);
    return load<double>(&bits);
}

// S - sigma in units of S's last place: the significand minus 3 * 2^51.
std::int64_t units_of(double s)
{
    const std::uint64_t bits = load<std::uint64_t>(&s);
    const std::uint64_t significand = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
    return static_cast<std::int64_t>(significand) - static_cast<std::int64_t>(std::uint64_t{3} << 51);
}

// One error-free step of r through the level S (exact_sum_kernels.h): S
// stays a multiple of its unit and the exact rest passes on.
template <typename V>
inline void deposit_step(V& level, V& r)
{
    const V s = level + r;
    const V q = s - level;
    r = r - q;
    level = s;
}

// The deposit of G registers of columns starting at column j through
// Levels levels, with the columns' extremes and NaN counts in the same pass,
// every row of the tile in turn: the state stays in registers, and the G
// registers' levels are independent chains.
template <int Levels, int G>
void deposit_columns(const double* __restrict x, std::size_t rows, std::ptrdiff_t row_step, std::size_t j,
                     const int* __restrict tops, std::int64_t* __restrict units, std::int64_t* __restrict rest_out,
                     double* __restrict least, double* __restrict greatest, std::int64_t* __restrict nans,
                     std::size_t fetch_lines)
{
    const double inf = std::numeric_limits<double>::infinity();
    vd s[Levels][G];
    vd low[G];
    vd high[G];
    vi nan[G];
    vi rest[G];
    for (int g = 0; g < G; ++g) {
        double sigmas[Levels][width];
        for (int l = 0; l < width; ++l) {
            int a = tops[j + static_cast<std::size_t>(g * width + l)];
            for (int v = 0; v < Levels; ++v) {
                sigmas[v][l] = sigma(a);
                a = exact_next_level(a);
            }
        }
        for (int v = 0; v < Levels; ++v) {
            s[v][g] = load<vd>(sigmas[v]);
        }
        low[g] = vd{} + inf;
        high[g] = vd{} - inf;
        nan[g] = vi{};
        rest[g] = vi{};
    }
    const double* row = x + j;
    // The first registers' pass fetches whole rows some rows ahead, so that
    // the tile is read from memory once, in order, and the other registers'
    // passes find it in the cache.
    constexpr std::size_t fetch_ahead = 8;
    for (std::size_t i = 0; i < rows; ++i, row += row_step) {
        if (fetch_lines != 0 && i + fetch_ahead < rows) {
            const char* next = reinterpret_cast<const char*>(x + static_cast<std::ptrdiff_t>(i + fetch_ahead) * row_step);
            for (std::size_t line = 0; line < fetch_lines; ++line) {
                __builtin_prefetch(next + 64 * line);
            }
        }
        for (int g = 0; g < G; ++g) {
            vd r = load<vd>(row + g * width);
            low[g] = r < low[g] ? r : low[g];
            high[g] = r > high[g] ? r : high[g];
            nan[g] -= (vi)(r != r);
            for (int v = 0; v < Levels; ++v) {
                deposit_step(s[v][g], r);
            }
            rest[g] |= (vi)r;
        }
    }
    for (int g = 0; g < G; ++g) {
        for (int l = 0; l < width; ++l) {
            const std::size_t c = j + static_cast<std::size_t>(g * width + l);
            least[c] = low[g][l];
            greatest[c] = high[g][l];
            nans[c] = nan[g][l];
            rest_out[c] = rest[g][l];
            for (int v = 0; v < 3; ++v) {
                units[3 * c + static_cast<std::size_t>(v)] = v < Levels ? units_of(s[v < Levels ? v : Levels - 1][g][l]) : 0;
            }
        }
    }
}

// The deposit of a tile through Levels levels: registers of columns, then
// the last columns one by one.
template <int Levels>
void tile_deposit_levels(const double* __restrict x, std::size_t rows, std::ptrdiff_t row_step, std::size_t k,
                         const int* __restrict tops, std::int64_t* __restrict units, std::uint8_t* __restrict left,
                         double* __restrict least, double* __restrict greatest, std::int64_t* __restrict nans)
{
    constexpr int group = 2;
    alignas(64) std::int64_t rest[tile_deposit_columns];
    std::size_t j = 0;
    const std::size_t lines = (k * sizeof(double) + 63) / 64;
    for (; j + group * width <= k; j += group * width) {
        deposit_columns<Levels, group>(x, rows, row_step, j, tops, units, rest, least, greatest, nans,
                                       j == 0 ? lines : 0);
    }
    for (; j + width <= k; j += width) {
        deposit_columns<Levels, 1>(x, rows, row_step, j, tops, units, rest, least, greatest, nans, j == 0 ? lines : 0);
    }
    const double inf = std::numeric_limits<double>::infinity();
    for (; j < k; ++j) {
        double s[Levels];
        int a = tops[j];
        for (int v = 0; v < Levels; ++v) {
            s[v] = sigma(a);
            a = exact_next_level(a);
        }
        double low = inf;
        double high = -inf;
        std::int64_t nan = 0;
        std::int64_t r_bits = 0;
        const double* p = x + j;
        for (std::size_t i = 0; i < rows; ++i, p += row_step) {
            double r = *p;
            nan += r != r ? 1 : 0;
            low = r < low ? r : low;
            high = r > high ? r : high;
            for (int v = 0; v < Levels; ++v) {
                deposit_step(s[v], r);
            }
            r_bits |= load<std::int64_t>(&r);
        }
        least[j] = low;
        greatest[j] = high;
        nans[j] = nan;
        rest[j] = r_bits;
        for (int v = 0; v < 3; ++v) {
            units[3 * j + static_cast<std::size_t>(v)] = v < Levels ? units_of(s[v < Levels ? v : Levels - 1]) : 0;
        }
    }
    for (std::size_t c = 0; c < k; ++c) {
        // A rest of -0.0 is none.
        left[c] = (static_cast<std::uint64_t>(rest[c]) & abs_mask) != 0 ? 1 : 0;
    }
}

void tile_deposit(const double* x, std::size_t rows, std::ptrdiff_t row_step, std::size_t k, const int* tops,
                  int levels, std::int64_t* units, std::uint8_t* left, double* least, double* greatest,
                  std::int64_t* nans)
{
    if (levels == 2) {
        tile_deposit_levels<2>(x, rows, row_step, k, tops, units, left, least, greatest, nans);
    } else {
        tile_deposit_levels<3>(x, rows, row_step, k, tops, units, left, least, greatest, nans);
    }
}

} // namespace

extern const moment_kernel_table moment_table;
const moment_kernel_table moment_table = {&scan, &extremes, &square, &product, &drop_nan, &tile_extremes,
                                           &tile_deposit};

} // namespace virda_detail::VIRDA_KERNEL_ISA
