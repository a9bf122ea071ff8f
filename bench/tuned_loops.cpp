#include "tuned_loops.h"

#include <algorithm>
#include <cstring>

// Every reduction keeps four vector accumulators of the host's widest
// register (GCC vector types, so that nothing depends on the compiler
// choosing to vectorise a reduction it may not reassociate), then folds them
// and adds the tail one term at a time.
namespace tuned {
namespace {

#if defined(__AVX512F__)
constexpr int width = 8;
#elif defined(__AVX__)
constexpr int width = 4;
#else
constexpr int width = 2;
#endif
typedef double vd __attribute__((vector_size(8 * width)));
constexpr int accumulators = 4;
constexpr std::size_t per_step = accumulators * width;
constexpr int sub_histograms = 4;
constexpr std::size_t index_block = 512;

vd load(const double* p)
{
    vd v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

double fold(const vd* acc)
{
    vd t = acc[0];
    for (int a = 1; a < accumulators; ++a) {
        t += acc[a];
    }
    double s = 0.0;
    for (int l = 0; l < width; ++l) {
        s += t[l];
    }
    return s;
}

/// The totals of `terms` quantities over i = 0 .. n - 1: vterm(i, out)
/// adds the vectors of terms for elements i .. i + width - 1 into out[0..terms),
/// sterm(i, out) the scalars of element i.
template <int Terms, typename VTerm, typename STerm>
void vector_sums(std::size_t n, VTerm vterm, STerm sterm, double* totals)
{
    vd acc[Terms][accumulators] = {};
    std::size_t i = 0;
    for (; i + per_step <= n; i += per_step) {
        for (int a = 0; a < accumulators; ++a) {
            vd t[Terms];
            vterm(i + a * width, t);
            for (int k = 0; k < Terms; ++k) {
                acc[k][a] += t[k];
            }
        }
    }
    for (int k = 0; k < Terms; ++k) {
        totals[k] = fold(acc[k]);
    }
    for (; i < n; ++i) {
        double t[Terms];
        sterm(i, t);
        for (int k = 0; k < Terms; ++k) {
            totals[k] += t[k];
        }
    }
}

} // namespace

double sum(const double* __restrict x, std::size_t n)
{
    double total;
    vector_sums<1>(
        n, [x](std::size_t i, vd* t) { t[0] = load(x + i); }, [x](std::size_t i, double* t) { t[0] = x[i]; },
        &total);
    return total;
}

void weighted_sums(const double* __restrict x, const double* __restrict w, std::size_t n, double* sw, double* sxw)
{
    double totals[2];
    vector_sums<2>(
        n,
        [x, w](std::size_t i, vd* t) {
            const vd wi = load(w + i);
            t[0] = wi;
            t[1] = load(x + i) * wi;
        },
        [x, w](std::size_t i, double* t) {
            t[0] = w[i];
            t[1] = x[i] * w[i];
        },
        totals);
    *sw = totals[0];
    *sxw = totals[1];
}

double squared_deviations(const double* __restrict x, std::size_t n, double mu)
{
    double total;
    vector_sums<1>(
        n,
        [x, mu](std::size_t i, vd* t) {
            const vd d = load(x + i) - mu;
            t[0] = d * d;
        },
        [x, mu](std::size_t i, double* t) { t[0] = (x[i] - mu) * (x[i] - mu); }, &total);
    return total;
}

double weighted_squared_deviations(const double* __restrict x, const double* __restrict w, std::size_t n, double mu)
{
    double total;
    vector_sums<1>(
        n,
        [x, w, mu](std::size_t i, vd* t) {
            const vd d = load(x + i) - mu;
            t[0] = d * d * load(w + i);
        },
        [x, w, mu](std::size_t i, double* t) { t[0] = (x[i] - mu) * (x[i] - mu) * w[i]; }, &total);
    return total;
}

namespace {

// Bin indices of one block, nbins for an element in no bin. Branch-free and
// vectorised: the quotient is clamped before the conversion.
void histogram_indices(const double* __restrict x, std::size_t n, double lower, double width, int nbins,
                       int* __restrict idx)
{
    const double top = nbins;
    for (std::size_t i = 0; i < n; ++i) {
        const double q = (x[i] - lower) / width;
        const bool in = (x[i] > lower) & (q > -1.0) & (q < top);
        idx[i] = static_cast<int>(in ? q : top);
    }
}

void bin_indices(const double* __restrict x, std::size_t n, double c0, double w, int nbins, int* __restrict idx)
{
    const double top = nbins;
    for (std::size_t i = 0; i < n; ++i) {
        const double u = 0.5 + (x[i] - c0) / w;
        const bool in = (u > -1.0) & (u < top);
        idx[i] = static_cast<int>(in ? u : top);
    }
}

/// Calls f(b, m, idx) for the blocks [b, b + m) of index_block elements
/// (the last may be shorter) in order, idx holding room for m bin indices.
template <typename F>
void for_each_block(std::size_t n, F f)
{
    int idx[index_block];
    for (std::size_t b = 0; b < n; b += index_block) {
        f(b, std::min(index_block, n - b), idx);
    }
}

} // namespace

void histogram(const double* x, std::size_t n, double lower, double width, int nbins, int* counts, int* scratch)
{
    const int stride = nbins + 1;
    int* sub = scratch;
    std::fill(sub, sub + sub_histograms * stride, 0);
    for_each_block(n, [&](std::size_t b, std::size_t m, int* idx) {
        histogram_indices(x + b, m, lower, width, nbins, idx);
        std::size_t i = 0;
        for (; i + sub_histograms <= m; i += sub_histograms) {
            ++sub[idx[i]];
            ++sub[stride + idx[i + 1]];
            ++sub[2 * stride + idx[i + 2]];
            ++sub[3 * stride + idx[i + 3]];
        }
        for (; i < m; ++i) {
            ++sub[idx[i]];
        }
    });
    for (int k = 0; k < nbins; ++k) {
        counts[k] += sub[k] + sub[stride + k] + sub[2 * stride + k] + sub[3 * stride + k];
    }
}

std::size_t bin_scratch_bytes(int nbins)
{
    return sub_histograms * static_cast<std::size_t>(nbins + 1) * (sizeof(double) + sizeof(int));
}

void bin_data(const double* x, const double* y, std::size_t n, double c0, double w, int nbins, double* sums,
              int* counts, void* scratch)
{
    const int stride = nbins + 1;
    auto* sub_s = static_cast<double*>(scratch);
    auto* sub_c = reinterpret_cast<int*>(sub_s + sub_histograms * stride);
    std::fill(sub_s, sub_s + sub_histograms * stride, 0.0);
    std::fill(sub_c, sub_c + sub_histograms * stride, 0);
    for_each_block(n, [&](std::size_t b, std::size_t m, int* idx) {
        bin_indices(x + b, m, c0, w, nbins, idx);
        const double* yb = y + b;
        std::size_t i = 0;
        for (; i + sub_histograms <= m; i += sub_histograms) {
            for (int l = 0; l < sub_histograms; ++l) {
                sub_s[l * stride + idx[i + l]] += yb[i + l];
                ++sub_c[l * stride + idx[i + l]];
            }
        }
        for (; i < m; ++i) {
            sub_s[idx[i]] += yb[i];
            ++sub_c[idx[i]];
        }
    });
    for (int k = 0; k < nbins; ++k) {
        for (int l = 0; l < sub_histograms; ++l) {
            sums[k] += sub_s[l * stride + k];
            counts[k] += sub_c[l * stride + k];
        }
    }
}

namespace {

template <int Order>
void polynomial_of(const double* __restrict x, std::size_t n, const double* c, double* __restrict out)
{
    double cc[Order + 1];
    std::memcpy(cc, c, sizeof cc);
    for (std::size_t j = 0; j < n; ++j) {
        const double v = x[j];
        double p = 1.0;
        double t = 0.0;
        for (int i = 0; i <= Order; ++i) {
            t += cc[i] * p;
            p *= v;
        }
        out[j] = t;
    }
}

} // namespace

void polynomial(const double* x, std::size_t n, const double* c, int order, double* out)
{
    switch (order) {
    case 0: polynomial_of<0>(x, n, c, out); break;
    case 1: polynomial_of<1>(x, n, c, out); break;
    case 2: polynomial_of<2>(x, n, c, out); break;
    case 3: polynomial_of<3>(x, n, c, out); break;
    default: polynomial_of<4>(x, n, c, out); break;
    }
}

namespace {

template <bool Weighted>
void moments(const double* __restrict x, const double* __restrict y, const double* __restrict w, std::size_t n,
             int order, double* s, double* t)
{
    // Powers up to 6 (order 3); one accumulator per power and lane.
    constexpr int most = 7;
    constexpr int fl = 8;
    double as[most][fl] = {};
    double at[4][fl] = {};
    std::size_t i = 0;
    for (; i + fl <= n; i += fl) {
        for (int l = 0; l < fl; ++l) {
            const double v = x[i + l];
            const double wt = Weighted ? w[i + l] : 1.0;
            const double wy = wt * y[i + l];
            const double v2 = v * v;
            const double v3 = v2 * v;
            as[0][l] += wt;
            as[1][l] += wt * v;
            as[2][l] += wt * v2;
            as[3][l] += wt * v3;
            as[4][l] += wt * (v2 * v2);
            as[5][l] += wt * (v2 * v3);
            as[6][l] += wt * (v3 * v3);
            at[0][l] += wy;
            at[1][l] += wy * v;
            at[2][l] += wy * v2;
            at[3][l] += wy * v3;
        }
    }
    double rs[most] = {};
    double rt[4] = {};
    for (int e = 0; e < most; ++e) {
        for (int l = 0; l < fl; ++l) {
            rs[e] += as[e][l];
        }
    }
    for (int e = 0; e < 4; ++e) {
        for (int l = 0; l < fl; ++l) {
            rt[e] += at[e][l];
        }
    }
    for (; i < n; ++i) {
        const double wt = Weighted ? w[i] : 1.0;
        double p = 1.0;
        for (int e = 0; e < most; ++e) {
            rs[e] += wt * p;
            if (e < 4) {
                rt[e] += wt * y[i] * p;
            }
            p *= x[i];
        }
    }
    for (int e = 0; e <= 2 * order && e < most; ++e) {
        s[e] = rs[e];
    }
    for (int e = 0; e <= order && e < 4; ++e) {
        t[e] = rt[e];
    }
}

} // namespace

void fit_moments(const double* x, const double* y, const double* w, std::size_t n, int order, double* s, double* t)
{
    if (w != nullptr) {
        moments<true>(x, y, w, n, order, s, t);
    } else {
        moments<false>(x, y, w, n, order, s, t);
    }
}

void quantiles(const double* x, std::size_t n, const double* q, int nq, double* out, double* scratch)
{
    std::memcpy(scratch, x, n * sizeof(double));
    std::size_t from = 0; // everything below `from` is at or below the last order statistic found
    auto select = [&](std::size_t k) {
        if (k >= from) {
            std::nth_element(scratch + from, scratch + k, scratch + n);
            from = k + 1;
            return scratch[k];
        }
        return scratch[k]; // k == from - 1: just found
    };
    for (int i = 0; i < nq; ++i) {
        const double h = static_cast<double>(n - 1) * q[i];
        const std::size_t lo = static_cast<std::size_t>(h);
        const double t = h - static_cast<double>(lo);
        const double a = select(lo);
        if (t == 0.0) {
            out[i] = a;
            continue;
        }
        // The next order statistic is the least element above position lo.
        const double b = *std::min_element(scratch + lo + 1, scratch + n);
        out[i] = t < 0.5 ? a + (b - a) * t : b - (b - a) * (1.0 - t);
    }
}

} // namespace tuned
