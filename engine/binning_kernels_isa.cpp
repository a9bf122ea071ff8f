// Binning loops for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage, and no library template is
// instantiated, so that no code built for one path can serve another.
#include "framework/simd/kernel_isa.h"
#include "engine/binning_kernels.h"
#include "engine/number_type.h"

#include <cmath>
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

template <typename T>
void locate(const T* __restrict v, std::size_t n, const bin_axis_args& a, bool first, std::int64_t* __restrict flat)
{
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
