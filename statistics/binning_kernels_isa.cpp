// Binning loops for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage, and no library template is
// instantiated, so that no code built for one path can serve another.
#include "statistics/binning_kernels.h"

#include <cstring>

#ifndef VIRDA_KERNEL_ISA
#error "VIRDA_KERNEL_ISA names the instruction set of this copy"
#endif

namespace virda_detail {
namespace VIRDA_KERNEL_ISA {
namespace {

// Elements per block: their bins (2 KB) stay in the first-level cache
// between the loop that computes them and the loop that counts them.
constexpr std::size_t block = 512;

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

// floor(t + 1/2) without rounding t + 1/2: floor(t), plus one when t is at
// or above floor(t) + 1/2 (both exact). t is first clamped to [-1, nbins + 1)
// (outside it no bin is reached; NaN goes to -1), so that its truncation
// fits an int; the floor is the truncation, less one where that rose.
inline int pair_bin(double t, double top, int nbins)
{
    const double tc = (t >= -1.0) & (t < top + 1.0) ? t : -1.0;
    const double truncated = static_cast<double>(static_cast<int>(tc));
    const double f = truncated - (tc < truncated ? 1.0 : 0.0);
    const double k = f + (tc >= f + 0.5 ? 1.0 : 0.0);
    return (k >= 0.0) & (k < top) ? static_cast<int>(k) : nbins;
}

// The same steps on four elements at a time, written with vector types: the
// vectoriser leaves the scalar form's selects as branches (the clamp is
// threaded through the comparisons after it). Lanes are independent and every
// operation is the scalar one, so each element gets the scalar form's bin.
using vec_double = double __attribute__((vector_size(32)));
using vec_mask = long long __attribute__((vector_size(32)));
using vec_int = int __attribute__((vector_size(16)));

void pair_bins(const double* __restrict x, std::size_t m, double c0, double w, int nbins, int* __restrict bins)
{
    const double top = nbins;
    const vec_double one = {1.0, 1.0, 1.0, 1.0};
    const vec_double zero = {0.0, 0.0, 0.0, 0.0};
    const vec_double minus_one = -one;
    const vec_double tops = one * top;
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        vec_double xv;
        std::memcpy(&xv, x + i, sizeof xv);
        const vec_double t = (xv - c0) / w;
        const vec_mask inside = (t >= -1.0) & (t < top + 1.0);
        const vec_double tc = inside ? t : minus_one;
        const vec_double truncated = __builtin_convertvector(__builtin_convertvector(tc, vec_int), vec_double);
        const vec_double f = truncated - (tc < truncated ? one : zero);
        const vec_double k = f + (tc >= f + 0.5 ? one : zero);
        const vec_double kept = (k >= 0.0) & (k < top) ? k : tops;
        const vec_int b = __builtin_convertvector(kept, vec_int);
        std::memcpy(bins + i, &b, sizeof b);
    }
    for (; i < m; ++i) {
        bins[i] = pair_bin((x[i] - c0) / w, top, nbins);
    }
}

// Counts into `copies` sub-histograms (1 or 4) taken in turn, so that a run
// of elements in one bin does not wait on its own previous increment.
void count_bins(const int* __restrict bins, std::size_t m, int* __restrict sub, std::size_t stride, int copies)
{
    std::size_t i = 0;
    if (copies == 4) {
        for (; i + 4 <= m; i += 4) {
            ++sub[bins[i]];
            ++sub[stride + bins[i + 1]];
            ++sub[2 * stride + bins[i + 2]];
            ++sub[3 * stride + bins[i + 3]];
        }
    }
    for (; i < m; ++i) {
        ++sub[bins[i]];
    }
}

template <typename T>
void histogram(const T* v, std::size_t n, double lower, double width, int nbins, int* sub, int copies)
{
    const std::size_t stride = static_cast<std::size_t>(nbins) + 1;
    int bins[block];
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t m = n - start < block ? n - start : block;
        histogram_bins(v + start, m, lower, width, nbins, bins);
        count_bins(bins, m, sub, stride, copies);
    }
}

// The sums of a bin take their y values in element order, as a plain loop
// adds them; only the counts are split into sub-histograms.
template <typename T>
void bin_pairs(const double* x, const T* y, std::size_t n, double c0, double w, int nbins, double* __restrict sums,
               int* __restrict sub, int copies)
{
    const std::size_t stride = static_cast<std::size_t>(nbins) + 1;
    int bins[block];
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t m = n - start < block ? n - start : block;
        pair_bins(x + start, m, c0, w, nbins, bins);
        const T* yb = y + start;
        for (std::size_t i = 0; i < m; ++i) {
            sums[bins[i]] += static_cast<double>(yb[i]);
        }
        count_bins(bins, m, sub, stride, copies);
    }
}

// Type switch: the element types as the table numbers them.
template <typename F>
void with_type(int t, F f)
{
    switch (t) {
    case 0:
        f(static_cast<double*>(nullptr));
        break;
    case 1:
        f(static_cast<float*>(nullptr));
        break;
    default:
        f(static_cast<int*>(nullptr));
        break;
    }
}

void any_histogram(int v_type, const void* v, std::size_t n, double lower, double width, int nbins, int* sub,
                   int copies)
{
    with_type(v_type, [&](auto* tv) {
        using T = std::remove_pointer_t<decltype(tv)>;
        histogram(static_cast<const T*>(v), n, lower, width, nbins, sub, copies);
    });
}

void any_bin_pairs(int y_type, const double* x, const void* y, std::size_t n, double c0, double w, int nbins,
                   double* sums, int* sub, int copies)
{
    with_type(y_type, [&](auto* ty) {
        using T = std::remove_pointer_t<decltype(ty)>;
        bin_pairs(x, static_cast<const T*>(y), n, c0, w, nbins, sums, sub, copies);
    });
}

} // namespace

extern const binning_kernel_table binning_table;
const binning_kernel_table binning_table = {&any_histogram, &any_bin_pairs};

} // namespace VIRDA_KERNEL_ISA
} // namespace virda_detail
