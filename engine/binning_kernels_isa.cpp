// Binning loops for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage, and no library template is
// instantiated, so that no code built for one path can serve another.
#include "framework/simd/kernel_isa.h"
#include "engine/binning_kernels.h"
#include "engine/number_type.h"

#include <cmath>
#include <immintrin.h>
#include <cstring>
#include <type_traits>

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

// Bins are chosen with selects, never branches, so that the loops
// vectorise; only a value already known to lie inside 0..nbins is converted
// to int, so no NaN or huge quotient reaches a conversion.

template <typename T>
void histogram_bins(const T* __restrict v, std::size_t m, double lower, double width, int nbins,
                    int* __restrict bins)
{
    const double top = nbins;
    for (std::size_t i = 0; i < m; ++i) {
        const double x = static_cast<double>(v[i]);
        const double q = (x - lower) / width;
        // A NaN fails every comparison; v == lower is on no bin's side.
        const bool counted = (x > lower) & (q > -1.0) & (q < top);
        bins[i] = static_cast<int>(counted ? q : top);
    }
}

// floor(t + 1/2) without rounding t + 1/2. t is first clamped to
// [-1, nbins + 1) (outside it no bin is reached; NaN goes to -1). Adding and
// taking away 1.5 * 2^52 rounds it to the nearest integer r (the sum lies
// where doubles are whole numbers); t - r is exact and within 1/2, and
// floor(t + 1/2) is r, or r + 1 where t - r is 1/2. Only a bin already known
// to lie in 0..nbins is converted to int.
constexpr double round_shift = 6755399441055744.0;

inline int pair_bin(double t, double top, int nbins)
{
    const double tc = (t >= -1.0) & (t < top + 1.0) ? t : -1.0;
    const double r = (tc + round_shift) - round_shift;
    const double k = r + (tc - r >= 0.5 ? 1.0 : 0.0);
    return (k >= 0.0) & (k < top) ? static_cast<int>(k) : nbins;
}

// The same steps on a vector of elements at a time, written with vector
// types: the vectoriser leaves the scalar form's selects as branches (it
// threads the clamp through the comparisons after it). Lanes are independent
// and each runs the scalar form's operations, so every path and the tail get
// the same bins.
constexpr std::size_t lanes = lanes_of<double>;
using vec_double = double __attribute__((vector_size(8 * lanes)));
using vec_int = int __attribute__((vector_size(4 * lanes)));

void pair_bins(const double* __restrict x, std::size_t m, double c0, double w, int nbins, int* __restrict bins)
{
    const double top = nbins;
    const vec_double zero = {};
    const vec_double one = zero + 1.0;
    const vec_double minus_one = zero - 1.0;
    const vec_double tops = zero + top;
    std::size_t i = 0;
    for (; i + lanes <= m; i += lanes) {
        vec_double xv = load<vec_double>(x + i);
        const vec_double t = (xv - c0) / w;
        const vec_double tc = (t >= -1.0) & (t < top + 1.0) ? t : minus_one;
        const vec_double r = (tc + round_shift) - round_shift;
        const vec_double k = r + (tc - r >= 0.5 ? one : zero);
        const vec_int b = __builtin_convertvector((k >= 0.0) & (k < top) ? k : tops, vec_int);
        std::memcpy(bins + i, &b, sizeof b);
    }
    for (; i < m; ++i) {
        bins[i] = pair_bin((x[i] - c0) / w, top, nbins);
    }
}

template <typename T>
void histogram(const T* v, std::size_t n, double lower, double width, int nbins, int* sub, int copies)
{
    const std::size_t stride = static_cast<std::size_t>(nbins) + 1;
    int bins[kernel_block];
    for_each_block(n, [&](std::size_t start, std::size_t m) {
        histogram_bins(v + start, m, lower, width, nbins, bins);
        count_into(bins, m, sub, stride, copies);
    });
}

// Each bin adds its y values in element order, as a plain loop does. Sums
// and counts share one pass over the bins: sub-histograms would reorder the
// sums, and with the sums' loads and stores in the loop anyway, split counts
// gain nothing.
template <typename T>
void bin_pairs(const double* x, const T* y, std::size_t n, double c0, double w, int nbins, double* __restrict sums,
               std::int64_t* __restrict counts)
{
    int bins[kernel_block];
    for_each_block(n, [&](std::size_t start, std::size_t m) {
        pair_bins(x + start, m, c0, w, nbins, bins);
        const T* yb = y + start;
        for (std::size_t i = 0; i < m; ++i) {
            sums[bins[i]] += static_cast<double>(yb[i]);
            ++counts[bins[i]];
        }
    });
}

void any_histogram(int v_type, const void* v, std::size_t n, double lower, double width, int nbins, int* sub,
                   int copies)
{
    virda::engine::visit_number_type(static_cast<virda::engine::number_type>(v_type), [&](auto* tv) {
        using T = std::remove_pointer_t<decltype(tv)>;
        histogram(static_cast<const T*>(v), n, lower, width, nbins, sub, copies);
    });
}

void any_bin_pairs(int y_type, const double* x, const void* y, std::size_t n, double c0, double w, int nbins,
                   double* sums, std::int64_t* counts)
{
    virda::engine::visit_number_type(static_cast<virda::engine::number_type>(y_type), [&](auto* ty) {
        using T = std::remove_pointer_t<decltype(ty)>;
        bin_pairs(x, static_cast<const T*>(y), n, c0, w, nbins, sums, counts);
    });
}


// 10^n as numpy.around scales by it: exact up to 10^8, then 10^9 times ten
// n - 9 times (each product rounded), so that values round where its do.
inline double power_of_ten(int n)
{
    static constexpr double small[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
    if (n < 9) {
        return small[n];
    }
    double r = 1e9;
    while (n-- > 9) {
        r *= 10.;
    }
    return r;
}

// x rounded to `decimals` places, half to even, in precision R: x * 10^d
// rounded to an integer and divided back, or for d < 0, x / 10^-d rounded
// and multiplied back.
template <typename R>
R round_to_decimals(R x, int decimals)
{
    if (decimals >= 0) {
        const R f = static_cast<R>(power_of_ten(decimals));
        return std::nearbyint(x * f) / f;
    }
    const R f = static_cast<R>(power_of_ten(-decimals));
    return std::nearbyint(x / f) * f;
}

// Whether v (at or above the last edge) counts as on it: both rounded to
// `decimals` places are equal, in the values' own precision (float values
// round as floats; integers are whole already for decimals >= 0).
template <typename T>
bool on_last_edge(T v, double last, int decimals)
{
    if constexpr (std::is_integral_v<T>) {
        if (decimals >= 0) {
            return static_cast<double>(v) == round_to_decimals(last, decimals);
        }
    }
    using R = std::conditional_t<std::is_same_v<T, float>, float, double>;
    return round_to_decimals(static_cast<R>(v), decimals) == round_to_decimals(static_cast<R>(last), decimals);
}

// The last k in [0, bins] with e[k] <= x (a binary search, as a search for
// the right insertion point less one), or -1 when x < e[0]; NaN gives bins.
inline std::int64_t edge_search(const double* e, std::int64_t bins, double x)
{
    std::int64_t lo = 0;
    std::int64_t count = bins + 1;
    while (count > 0) {
        const std::int64_t half = count / 2;
        // !(x < e) also holds for NaN, which so goes past every edge.
        if (!(x < e[lo + half])) {
            lo += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    return lo - 1;
}

// The bin k in [0, bins) of x between the edges, or -1. Equal widths: the
// estimate trunc((x - e_0) * norm), the top edge's value moved into the last
// bin, then moved down one where x lies below its bin's lower edge and up
// one where it lies at or above its upper edge (never past the last bin):
// the steps of NumPy's equal-width histogram, so the same bins in the same
// cases. Explicit edges: the binary search, the last edge in the last bin.
inline std::int64_t bin_within(const bin_axis_args& a, double x)
{
    const double* e = a.edges;
    const std::int64_t n = a.bins;
    if (!(x >= e[0] && x <= e[n])) {
        return -1;
    }
    if (a.equal_width) {
        std::int64_t k = static_cast<std::int64_t>((x - e[0]) * a.norm);
        k = k > n - 1 ? n - 1 : (k < 0 ? 0 : k);
        if (x < e[k]) {
            --k;
        }
        if (k + 1 <= n && x >= e[k + 1] && k != n - 1) {
            ++k;
        }
        return k < 0 ? -1 : k;
    }
    const std::int64_t k = edge_search(e, n, x);
    return k == n ? n - 1 : k;
}

// The bin of x with an outlier bin on each side: 0 below the first edge,
// n + 1 above the last and for NaN, else 1 + the bin between the edges (the
// last edge, and values above it equal to it at `decimals` places, in the
// last bin).
// Bins of an axis the block loop of locate_equal_width takes: bin numbers
// up to bins + 1 held in int.
constexpr std::int64_t kernel_bins_limit = std::int64_t{1} << 30;

template <typename T>
std::int64_t bin_with_outliers(const bin_axis_args& a, T v)
{
    const double x = static_cast<double>(v);
    const double* e = a.edges;
    const std::int64_t n = a.bins;
    std::int64_t k;
    if (a.equal_width && x >= e[0] && x < e[n]) {
        // An estimate, then moved until it agrees with the edges.
        k = static_cast<std::int64_t>((x - e[0]) * a.norm);
        k = k > n - 1 ? n - 1 : (k < 0 ? 0 : k);
        while (k > 0 && x < e[k]) {
            --k;
        }
        while (k < n && !(x < e[k + 1])) {
            ++k;
        }
        k += 1;
    } else {
        k = edge_search(e, n, x) + 1;
    }
    if (k == n + 1 && x >= e[n] && on_last_edge(v, e[n], a.decimals)) {
        k = n;
    }
    return k;
}

// The estimate and check of locate_equal_width on whole vectors of doubles,
// for edges that are e_0 + k * step (k < bins, each rounded after the
// product: this file is built without contraction; bin_axis_args::step)
// and e_bins: the check
// then computes the two edges of a bin instead of loading them, the same
// values the table holds. The same operations as the scalar loop lane by
// lane. Returns how many values it did (the rest, fewer than a vector, to
// the scalar loop).
#if defined(__AVX512F__)
std::size_t estimate_bins(const double* v, std::size_t count, double lower, double upper, double last, double norm,
                          double step, int* bins)
{
    const __m512d lowers = _mm512_set1_pd(lower);
    const __m512d uppers = _mm512_set1_pd(upper);
    const __m512d lasts = _mm512_set1_pd(last);
    const __m512d norms = _mm512_set1_pd(norm);
    const __m512d steps = _mm512_set1_pd(step);
    const __m512d ones = _mm512_set1_pd(1.0);
    const __m256i refused = _mm256_set1_epi32(-1);
    const __m256i one = _mm256_set1_epi32(1);
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m512d x = _mm512_loadu_pd(v + i);
        const __mmask8 inside = _mm512_cmp_pd_mask(x, lowers, _CMP_GE_OQ) & _mm512_cmp_pd_mask(x, uppers, _CMP_LT_OQ);
        const __m512d q = _mm512_mul_pd(_mm512_sub_pd(x, lowers), norms);
        // q < last ? q : last, and 0 outside (where q may be NaN or huge).
        const __m512d clamped = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(q, lasts, _CMP_LT_OQ), lasts, q);
        // (Masked forms: GCC 12 warns of the undefined sources of the others.)
        const __m512d kd = _mm512_maskz_roundscale_pd(0xff, _mm512_maskz_mov_pd(inside, clamped), _MM_FROUND_TO_ZERO);
        const __m512d next = _mm512_add_pd(kd, ones);
        const __m512d below = _mm512_add_pd(_mm512_mul_pd(kd, steps), lowers);
        const __m512d above = _mm512_mask_blend_pd(_mm512_cmp_pd_mask(next, lasts, _CMP_GT_OQ),
                                                   _mm512_add_pd(_mm512_mul_pd(next, steps), lowers), uppers);
        const __mmask8 ok = inside & _mm512_cmp_pd_mask(x, below, _CMP_GE_OQ) &
                            _mm512_cmp_pd_mask(x, above, _CMP_LT_OQ);
        const __m256i k = _mm512_maskz_cvttpd_epi32(0xff, kd);
        const __m256i b = _mm256_mask_blend_epi32(ok, refused, _mm256_add_epi32(k, one));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bins + i), b);
    }
    return i;
}
#elif defined(__AVX2__)
std::size_t estimate_bins(const double* v, std::size_t count, double lower, double upper, double last, double norm,
                          double step, int* bins)
{
    const __m256d lowers = _mm256_set1_pd(lower);
    const __m256d uppers = _mm256_set1_pd(upper);
    const __m256d lasts = _mm256_set1_pd(last);
    const __m256d norms = _mm256_set1_pd(norm);
    const __m256d steps = _mm256_set1_pd(step);
    const __m256d ones = _mm256_set1_pd(1.0);
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d x = _mm256_loadu_pd(v + i);
        const __m256d inside = _mm256_and_pd(_mm256_cmp_pd(x, lowers, _CMP_GE_OQ), _mm256_cmp_pd(x, uppers, _CMP_LT_OQ));
        const __m256d q = _mm256_mul_pd(_mm256_sub_pd(x, lowers), norms);
        const __m256d clamped = _mm256_blendv_pd(lasts, q, _mm256_cmp_pd(q, lasts, _CMP_LT_OQ));
        const __m256d kd = _mm256_round_pd(_mm256_and_pd(inside, clamped), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        const __m256d next = _mm256_add_pd(kd, ones);
        const __m256d below = _mm256_add_pd(_mm256_mul_pd(kd, steps), lowers);
        const __m256d above = _mm256_blendv_pd(_mm256_add_pd(_mm256_mul_pd(next, steps), lowers), uppers,
                                               _mm256_cmp_pd(next, lasts, _CMP_GT_OQ));
        const __m256d ok = _mm256_and_pd(
            inside, _mm256_and_pd(_mm256_cmp_pd(x, below, _CMP_GE_OQ), _mm256_cmp_pd(x, above, _CMP_LT_OQ)));
        const int mask = _mm256_movemask_pd(ok);
        alignas(16) int k[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(k), _mm256_cvttpd_epi32(kd));
        for (int j = 0; j < 4; ++j) {
            bins[i + static_cast<std::size_t>(j)] = (mask >> j) & 1 ? k[j] + 1 : -1;
        }
    }
    return i;
}
#else
std::size_t estimate_bins(const double*, std::size_t, double, double, double, double, double, int*)
{
    return 0;
}
#endif

// Equal widths with outliers, a block at a time: a first loop (with no
// branch, so that it vectorises) estimates each value's bin and checks it
// against the bin's edges; only the values the check refuses (outside the
// edges, NaN, an estimate off by one) take the scalar steps. A bin that
// passes the check is the one bin with e[k] <= x < e[k+1] (the edges of an
// axis with outliers strictly increase), which the scalar steps also
// find: the estimate only saves work, and every path gives the same bins.
template <typename T>
void locate_equal_width(const T* __restrict v, std::size_t n, const bin_axis_args& a, bool first,
                        std::int64_t* __restrict flat)
{
    const double* __restrict e = a.edges;
    const double lower = e[0];
    const double upper = e[a.bins];
    const double last = static_cast<double>(a.bins - 1);
    const double norm = a.norm;
    const std::int64_t m = a.bins + 2;
    const double step = a.step;
    for_each_block(n, [&](std::size_t start, std::size_t count) {
        const T* __restrict vb = v + start;
        std::int64_t* __restrict fb = flat + start;
        int bins[kernel_block]; // -1 where the check refuses the estimate
        std::size_t i = 0;
        if constexpr (std::is_same_v<T, double>) {
            if (step > 0) {
                i = estimate_bins(vb, count, lower, upper, last, norm, step, bins);
            }
        }
        for (; i < count; ++i) {
            const double x = static_cast<double>(vb[i]);
            const bool inside = (x >= lower) & (x < upper);
            const double q = (x - lower) * norm;
            const int k = static_cast<int>(inside ? (q < last ? q : last) : 0.0);
            const bool ok = inside & (x >= e[k]) & (x < e[k + 1]);
            bins[i] = ok ? k + 1 : -1;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (bins[i] < 0) {
                bins[i] = static_cast<int>(bin_with_outliers(a, vb[i]));
            }
        }
        if (first) {
            for (std::size_t i = 0; i < count; ++i) {
                fb[i] = bins[i];
            }
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                fb[i] = fb[i] * m + bins[i];
            }
        }
    });
}

template <typename T>
void locate(const T* __restrict v, std::size_t n, const bin_axis_args& a, bool first, std::int64_t* __restrict flat)
{
    if (a.outliers && a.equal_width && a.bins < kernel_bins_limit) {
        locate_equal_width(v, n, a, first, flat);
        return;
    }
    if (a.outliers) {
        const std::int64_t m = a.bins + 2;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t k = bin_with_outliers(a, v[i]);
            flat[i] = first ? k : flat[i] * m + k;
        }
        return;
    }
    const std::int64_t m = a.bins;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t k = bin_within(a, static_cast<double>(v[i]));
        flat[i] = first ? k : ((flat[i] < 0) | (k < 0) ? -1 : flat[i] * m + k);
    }
}

void any_locate(int v_type, const void* v, std::size_t n, const bin_axis_args& a, bool first, std::int64_t* flat)
{
    virda::engine::visit_number_type(static_cast<virda::engine::number_type>(v_type), [&](auto* tv) {
        using T = std::remove_pointer_t<decltype(tv)>;
        locate(static_cast<const T*>(v), n, a, first, flat);
    });
}

} // namespace

extern const binning_kernel_table binning_table;
const binning_kernel_table binning_table = {&any_histogram, &any_bin_pairs, &any_locate};

} // namespace virda_detail::VIRDA_KERNEL_ISA
