#ifndef VIRDA_BENCH_TUNED_LOOPS_H
#define VIRDA_BENCH_TUNED_LOOPS_H

// Hand-tuned local loops: the machine's speed for each statistic's local
// work, the baseline the library is measured against. Built in a target of
// their own for the host (-O3 -march=native). No MPI here: the benchmark
// adds the same reductions around them.

#include <cstddef>

namespace tuned {

double sum(const double* x, std::size_t n);
/// Σw and Σxw in one pass.
void weighted_sums(const double* x, const double* w, std::size_t n, double* sw, double* sxw);
/// Σ(x - mu)^2.
double squared_deviations(const double* x, std::size_t n, double mu);
/// Σ(x - mu)^2 w.
double weighted_squared_deviations(const double* x, const double* w, std::size_t n, double mu);

/// The library's histogram rule: v > lower, k = trunc((v - lower) / width),
/// 0 <= k < nbins. counts[nbins] += this block's counts. `scratch` holds at
/// least 4 * (nbins + 1) ints.
void histogram(const double* x, std::size_t n, double lower, double width, int nbins, int* counts, int* scratch);

/// The binned-average rule: k = trunc(0.5 + (x - c0) / w), 0 <= k < nbins.
/// sums[k] += y, counts[k] += 1. `scratch` holds 4 * (nbins + 1) doubles and
/// as many ints after them (see bin_scratch_bytes).
void bin_data(const double* x, const double* y, std::size_t n, double c0, double w, int nbins, double* sums,
              int* counts, void* scratch);
std::size_t bin_scratch_bytes(int nbins);

/// out[j] = Σ_i c[i] x[j]^i, i = 0..order (whole powers by products); order <= 4.
void polynomial(const double* x, std::size_t n, const double* c, int order, double* out);

/// The normal equations' totals of a weighted polynomial fit in one pass:
/// s[e] = Σ w x^e (e = 0..2 order), t[e] = Σ w y x^e (e = 0..order);
/// w == nullptr for unit weights. order <= 3.
void fit_moments(const double* x, const double* y, const double* w, std::size_t n, int order, double* s,
                 double* t);

/// The quantiles of x[0..n) for the ascending probabilities q[0..nq), linear
/// between order statistics (h = (n - 1) q), by selection: x is copied into
/// `scratch` (n doubles) and each order statistic is found by
/// std::nth_element in what lies above the previous one. No NaN in x.
void quantiles(const double* x, std::size_t n, const double* q, int nq, double* out, double* scratch);

} // namespace tuned

#endif
