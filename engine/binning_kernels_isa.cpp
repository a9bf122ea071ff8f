// Binning loops for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage, and no library template is
// instantiated, so that no code built for one path can serve another.
#include "framework/simd/kernel_isa.h"
#include "engine/binning_kernels.h"
#include "engine/number_type.h"

#include <cstring>

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

} // namespace

extern const binning_kernel_table binning_table;
const binning_kernel_table binning_table = {&any_histogram, &any_bin_pairs};

} // namespace virda_detail::VIRDA_KERNEL_ISA
