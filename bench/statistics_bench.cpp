// Times every exported statistic on N doubles per job against two loops
// doing the same work with the same reductions, in the same run: the plain
// loop a user would write first (compiled like the library), and loops
// hand-tuned for this host (bench/tuned_loops.cpp, own target, -O3
// -march=native: several vector accumulators, bin indices computed in a
// vectorised block loop, then counted into sub-histograms).
//
// median and quantile_5p (the quantiles of five probabilities) are measured
// against selection by std::nth_element on a copy of this rank's block: the
// plain loop selects each order statistic from the whole copy, the tuned one
// (bench/tuned_loops.cpp) from what lies above the previous one. At one rank
// these are the whole data's quantiles; at more ranks they are only each
// rank's own, with no way to combine them, so there the columns show local
// selection work, not a competing distributed method.
//
// Usage: mpiexec -n R statistics_bench [N ...]   (default 10^3 to 10^7)
// Prints one line per operation and N: median ns per element (wall time of
// the slowest rank over N) of the library, the plain and the tuned loop,
// library/tuned, the library's time per call in microseconds, and what one
// library call makes in steady state (after a warm-up call): MPI collectives,
// window creations and window frees, counted by interposing those MPI calls
// in this program (mpi_call_counts.cpp). bench/run-benchmarks.sh joins these
// lines with NumPy's figures. Only rank counts up to the number of cores mean
// anything.
#include "reference_runtime/virda_session.h"
#include "virdastatistics.h"
#include "mpi_call_counts.h"
#include "tuned_loops.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int nbins = 100;

struct local_data {
    std::vector<double> x, w, y;
};

double x_of(long g) { return std::fmod(static_cast<double>(g) * 0.6180339887498949, 1.0) * 100.0; }
double w_of(long g) { return 1.0 + static_cast<double>(g % 5); }
double y_of(long g) { return 3.0 + 0.25 * x_of(g) + 0.5 * std::sin(static_cast<double>(g)); }

Attribute make_attribute(int n, double (*make)(long))
{
    return attribute_from_global<double>({n}, VIRDA_COMM, make);
}

double allreduce(double v)
{
    double total = 0.0;
    MPI_Allreduce(&v, &total, 1, MPI_DOUBLE, MPI_SUM, VIRDA_COMM);
    return total;
}

// ---- plain loops (the library's flags) --------------------------------------

double plain_sum(const double* p, std::size_t n)
{
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return s;
}

/// This rank's sum(w) and sum(x * w), one plain loop.
void plain_weighted_sums(const double* x, const double* w, std::size_t n, double* sw, double* sxw)
{
    double s = 0, t = 0;
    for (std::size_t i = 0; i < n; ++i) {
        s += w[i];
        t += x[i] * w[i];
    }
    *sw = s;
    *sxw = t;
}

std::vector<int> reduce_counts(std::vector<int>& counts)
{
    std::vector<int> total(nbins, 0);
    MPI_Reduce(counts.data(), total.data(), nbins, MPI_INT, MPI_SUM, 0, VIRDA_COMM);
    return total;
}

std::vector<int> plain_histogram(const std::vector<double>& x, double lower, double width)
{
    std::vector<int> counts(nbins, 0);
    for (double v : x) {
        if (v > lower) {
            const double q = (v - lower) / width;
            if (q > -1.0 && q < nbins) {
                ++counts[static_cast<int>(q)];
            }
        }
    }
    return reduce_counts(counts);
}

std::vector<double> finish_bins(std::vector<double>& sums, std::vector<int>& counts)
{
    std::vector<double> gs(nbins), out(nbins);
    std::vector<int> gc(nbins);
    MPI_Allreduce(sums.data(), gs.data(), nbins, MPI_DOUBLE, MPI_SUM, VIRDA_COMM);
    MPI_Allreduce(counts.data(), gc.data(), nbins, MPI_INT, MPI_SUM, VIRDA_COMM);
    for (int k = 0; k < nbins; ++k) {
        out[k] = gc[k] < 1 ? 0.0 : gs[k] / gc[k];
    }
    return out;
}

std::vector<double> plain_bin_data(const local_data& d, double c0, double w)
{
    std::vector<double> sums(nbins, 0.0);
    std::vector<int> counts(nbins, 0);
    for (std::size_t i = 0; i < d.x.size(); ++i) {
        const double u = 0.5 + (d.x[i] - c0) / w;
        if (u > -1.0 && u < nbins) {
            sums[static_cast<int>(u)] += d.y[i];
            ++counts[static_cast<int>(u)];
        }
    }
    return finish_bins(sums, counts);
}

/// The probabilities of the quantile_5p row, ascending.
const std::vector<double> five_probabilities = {0.05, 0.25, 0.5, 0.75, 0.95};

/// Quantiles of this rank's block by std::nth_element over the whole copy
/// for every order statistic.
double plain_quantiles(const std::vector<double>& x, const std::vector<double>& q, std::vector<double>& copy)
{
    double last = 0.0;
    copy = x;
    const std::size_t n = copy.size();
    for (const double p : q) {
        const double h = static_cast<double>(n - 1) * p;
        const std::size_t lo = static_cast<std::size_t>(h);
        std::nth_element(copy.begin(), copy.begin() + lo, copy.end());
        const double a = copy[lo];
        const double t = h - static_cast<double>(lo);
        if (t > 0.0) {
            std::nth_element(copy.begin(), copy.begin() + lo + 1, copy.end());
            const double b = copy[lo + 1];
            last += a + (b - a) * t;
        } else {
            last += a;
        }
    }
    return last;
}

const double coefficients[4] = {1.0, -0.5, 0.25, 0.125};

void plain_eval(const std::vector<double>& x, std::vector<double>& result)
{
    for (std::size_t j = 0; j < x.size(); ++j) {
        double t = 0.0;
        for (int i = 0; i <= 3; ++i) {
            t += coefficients[i] * std::pow(x[j], i);
        }
        result[j] = t;
    }
}

/// Coefficients from the totals s[e] = Σ w x^e, t[e] = Σ w y x^e (local),
/// reduced as the library reduces them: one total per entry.
std::vector<double> solve_fit(double* s, double* t)
{
    double a[16], b[4];
    for (int i = 0; i < 4; ++i) {
        b[i] = allreduce(t[i]);
    }
    for (int e = 0; e < 7; ++e) {
        s[e] = allreduce(s[e]);
    }
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) {
            a[i * 4 + k] = s[i + k];
        }
    }
    matrix am(a, 4, 4), bm(b, 4, 1);
    matrix inv = matrix_invert(am);
    matrix c = inv * bm;
    return std::vector<double>(c.get_data(), c.get_data() + 4);
}

std::vector<double> plain_fit(const local_data& d, bool weighted)
{
    double s[7] = {}, t[4] = {};
    for (std::size_t j = 0; j < d.x.size(); ++j) {
        const double wt = weighted ? d.w[j] : 1.0;
        for (int e = 0; e < 7; ++e) {
            s[e] += wt * std::pow(d.x[j], e);
        }
        for (int e = 0; e < 4; ++e) {
            t[e] += wt * d.y[j] * std::pow(d.x[j], e);
        }
    }
    return solve_fit(s, t);
}

// ---- the engine, on this rank's block in place ------------------------------------

virda::engine::moment_summary engine_moments(const double* p, std::size_t n, bool spread)
{
    virda::engine::moments m(virda::engine::number_type::float64, 1, spread);
    m.add(virda::engine::values_of(p, static_cast<std::int64_t>(n)));
    return m.finish(VIRDA_COMM);
}

double engine_quantiles(const double* p, std::size_t n, const std::vector<double>& q)
{
    virda::engine::order_statistics s(virda::engine::number_type::float64);
    s.add(virda::engine::values_of(p, static_cast<std::int64_t>(n)));
    return s.quantiles(q, VIRDA_COMM)[0][0];
}

/// The least and greatest value over all ranks (an extremes accumulator
/// made, filled and finished per call): the greatest minus the least.
double engine_extremes(const double* p, std::size_t n)
{
    virda::engine::extremes e(virda::engine::number_type::float64);
    e.add(virda::engine::values_of(p, static_cast<std::int64_t>(n)));
    const virda::engine::extremes_summary s = e.finish(VIRDA_COMM);
    return s.max().as_double() - s.min().as_double();
}

/// The least and greatest value over all ranks, plain loops (what
/// np.min and np.max do, one pass each): the greatest minus the least.
double plain_extremes(const double* p, std::size_t n)
{
    double least = HUGE_VAL;
    for (std::size_t i = 0; i < n; ++i) {
        least = p[i] < least ? p[i] : least;
    }
    double greatest = -HUGE_VAL;
    for (std::size_t i = 0; i < n; ++i) {
        greatest = p[i] > greatest ? p[i] : greatest;
    }
    double both[2] = {-least, greatest};
    MPI_Allreduce(MPI_IN_PLACE, both, 2, MPI_DOUBLE, MPI_MAX, VIRDA_COMM);
    return both[1] + both[0];
}

// ---- timing ----------------------------------------------------------------------

volatile double sink = 0.0;
volatile double bin_lower = 0.0;
volatile double bin_width = 1.0;

/// Median over `reps` runs of the slowest rank's wall time, in ns per element.
double median_ns(const std::function<double()>& run, long n, int reps)
{
    std::vector<double> times;
    for (int r = 0; r < reps; ++r) {
        MPI_Barrier(VIRDA_COMM);
        const auto start = std::chrono::steady_clock::now();
        sink = sink + run();
        const double local = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        double slowest = 0.0;
        MPI_Allreduce(&local, &slowest, 1, MPI_DOUBLE, MPI_MAX, VIRDA_COMM);
        times.push_back(slowest / static_cast<double>(n));
    }
    std::nth_element(times.begin(), times.begin() + reps / 2, times.end());
    return times[reps / 2];
}

struct row {
    std::string name;
    std::function<double()> library, plain, tuned;
};

} // namespace

int main(int argc, char** argv)
{
    virda_session session(&argc, &argv);
    std::vector<long> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes.push_back(std::atol(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {1000, 10000, 100000, 1000000, 10000000};
    }
    const bool root = session.rank() == 0;
    if (root) {
        std::printf("%-18s %5s %9s %11s %11s %11s %10s %11s %6s %6s %6s\n", "operation", "ranks", "N", "library_ns",
                    "plain_ns", "tuned_ns", "lib/tuned", "library_us", "colls", "wincr", "winfr");
    }
    for (long n_total : sizes) {
        const int n = static_cast<int>(n_total);
        Attribute x = make_attribute(n, x_of);
        Attribute w = make_attribute(n, w_of);
        Attribute y = make_attribute(n, y_of);
        local_data d;
        {
            va<double> probe({n}, VIRDA_COMM);
            const auto range = probe.va_distribution_index(VIRDA_ID);
            for (int g = range[0]; g <= range[1]; ++g) {
                d.x.push_back(x_of(g));
                d.w.push_back(w_of(g));
                d.y.push_back(y_of(g));
            }
        }
        const std::size_t m = d.x.size();
        const double* px = d.x.data();
        const double* pw = d.w.data();
        const double* py = d.y.data();
        // Bin layouts the compiler cannot see: a division by a known 1.0
        // would be folded away in the baselines only.
        const double lower = bin_lower, width = bin_width, centre0 = bin_lower + 0.5 * bin_width;
        std::vector<double> centres(nbins);
        for (int k = 0; k < nbins; ++k) {
            centres[k] = centre0 + k * width;
        }
        function poly(0, 3);
        poly.set_coeffs(std::vector<double>(coefficients, coefficients + 4));
        // Outputs and scratch of the baselines, made once: the library keeps
        // its array blocks for reuse too.
        std::vector<double> eval_out(m);
        std::vector<int> hist_scratch(4 * (nbins + 1));
        std::vector<char> bin_scratch(tuned::bin_scratch_bytes(nbins));
        std::vector<double> select_copy(m), select_out(five_probabilities.size());

        // sum(w) and sum(x * w) over all ranks, this rank's part from `sums`.
        const auto weighted_totals = [&](auto sums) {
            double sw = 0, sxw = 0;
            sums(px, pw, m, &sw, &sxw);
            const double tw = allreduce(sw);
            return std::make_pair(tw, allreduce(sxw));
        };
        // The cubic fit, with weights or without.
        const auto fit_row = [&](const char* name, bool weighted) {
            return row{name,
                       [&, weighted] {
                           std::unique_ptr<function> f(weighted ? poly_fit(x, y, w, 3) : poly_fit(x, y, 3));
                           return f->get_coeffs()[0];
                       },
                       [&, weighted] { return plain_fit(d, weighted)[0]; },
                       [&, weighted] {
                           double s[7], t[4];
                           tuned::fit_moments(px, py, weighted ? pw : nullptr, m, 3, s, t);
                           return solve_fit(s, t)[0];
                       }};
        };
        const std::vector<row> rows = {
            {"mean", [&] { return mean(x); },
             [&] { return allreduce(plain_sum(px, m)) / n; },
             [&] { return allreduce(tuned::sum(px, m)) / n; }},
            {"mean_weighted", [&] { return mean(x, w); },
             [&] {
                 const auto [tw, txw] = weighted_totals(plain_weighted_sums);
                 return txw / tw;
             },
             [&] {
                 const auto [tw, txw] = weighted_totals(tuned::weighted_sums);
                 return txw / tw;
             }},
            {"stdev", [&] { return stdev(x); },
             [&] {
                 const double mu = allreduce(plain_sum(px, m)) / n;
                 double s = 0;
                 for (std::size_t i = 0; i < m; ++i) {
                     s += (px[i] - mu) * (px[i] - mu);
                 }
                 return std::sqrt(allreduce(s) / n);
             },
             [&] {
                 const double mu = allreduce(tuned::sum(px, m)) / n;
                 return std::sqrt(allreduce(tuned::squared_deviations(px, m, mu)) / n);
             }},
            {"stdev_weighted", [&] { return stdev(x, w); },
             [&] {
                 const auto [tw, txw] = weighted_totals(plain_weighted_sums);
                 const double mu = txw / tw;
                 double s = 0;
                 for (std::size_t i = 0; i < m; ++i) {
                     s += (px[i] - mu) * (px[i] - mu) * pw[i];
                 }
                 return std::sqrt(allreduce(s) / tw);
             },
             [&] {
                 const auto [tw, txw] = weighted_totals(tuned::weighted_sums);
                 const double mu = txw / tw;
                 return std::sqrt(allreduce(tuned::weighted_squared_deviations(px, pw, m, mu)) / tw);
             }},
            {"histogram", [&] { return static_cast<double>(histogram(x, lower, width, nbins)[0]); },
             [&] { return static_cast<double>(plain_histogram(d.x, lower, width)[0]); },
             [&] {
                 std::vector<int> counts(nbins, 0);
                 tuned::histogram(px, m, lower, width, nbins, counts.data(), hist_scratch.data());
                 return static_cast<double>(reduce_counts(counts)[0]);
             }},
            {"bin_data", [&] { return bin_data(x, y, centres)[0]; },
             [&] { return plain_bin_data(d, centre0, width)[0]; },
             [&] {
                 std::vector<double> sums(nbins, 0.0);
                 std::vector<int> counts(nbins, 0);
                 tuned::bin_data(px, py, m, centre0, width, nbins, sums.data(), counts.data(), bin_scratch.data());
                 return finish_bins(sums, counts)[0];
             }},
            {"function_eval", [&] {
                 Attribute r = poly.eval(x);
                 return static_cast<double>(r.size());
             },
             [&] {
                 plain_eval(d.x, eval_out);
                 return eval_out[0];
             },
             [&] {
                 tuned::polynomial(px, m, coefficients, 3, eval_out.data());
                 return eval_out[0];
             }},
            fit_row("poly_fit", false),
            fit_row("poly_fit_weighted", true),
            {"median", [&] { return median(x); },
             [&] { return plain_quantiles(d.x, {0.5}, select_copy); },
             [&] {
                 const double half = 0.5;
                 tuned::quantiles(px, m, &half, 1, select_out.data(), select_copy.data());
                 return select_out[0];
             }},
            {"quantile_5p", [&] { return quantile(x, five_probabilities)[0]; },
             [&] { return plain_quantiles(d.x, five_probabilities, select_copy); },
             [&] {
                 tuned::quantiles(px, m, five_probabilities.data(), static_cast<int>(five_probabilities.size()),
                                  select_out.data(), select_copy.data());
                 return select_out[0];
             }},
            // The engine on this rank's block, in place, over VIRDA_COMM.
            {"engine_mean", [&] { return engine_moments(px, m, false).mean(); },
             [&] { return allreduce(plain_sum(px, m)) / n; },
             [&] { return allreduce(tuned::sum(px, m)) / n; }},
            {"engine_var", [&] { return engine_moments(px, m, true).variance(); },
             [&] {
                 const double mu = allreduce(plain_sum(px, m)) / n;
                 double s = 0;
                 for (std::size_t i = 0; i < m; ++i) {
                     s += (px[i] - mu) * (px[i] - mu);
                 }
                 return allreduce(s) / n;
             },
             [&] {
                 const double mu = allreduce(tuned::sum(px, m)) / n;
                 return allreduce(tuned::squared_deviations(px, m, mu)) / n;
             }},
            {"engine_minmax", [&] { return engine_extremes(px, m); }, [&] { return plain_extremes(px, m); },
             [&] { return plain_extremes(px, m); }},
            {"engine_median", [&] { return engine_quantiles(px, m, {0.5}); },
             [&] { return plain_quantiles(d.x, {0.5}, select_copy); },
             [&] {
                 const double half = 0.5;
                 tuned::quantiles(px, m, &half, 1, select_out.data(), select_copy.data());
                 return select_out[0];
             }},
            {"engine_quantile_5p", [&] { return engine_quantiles(px, m, five_probabilities); },
             [&] { return plain_quantiles(d.x, five_probabilities, select_copy); },
             [&] {
                 tuned::quantiles(px, m, five_probabilities.data(), static_cast<int>(five_probabilities.size()),
                                  select_out.data(), select_copy.data());
                 return select_out[0];
             }},
            {"engine_histogram",
             [&] {
                 virda::engine::equal_width_histogram h(lower, width, nbins);
                 h.add(virda::engine::values_of(px, static_cast<std::int64_t>(m)));
                 return static_cast<double>(h.finish(VIRDA_COMM)[0]);
             },
             [&] { return static_cast<double>(plain_histogram(d.x, lower, width)[0]); },
             [&] {
                 std::vector<int> counts(nbins, 0);
                 tuned::histogram(px, m, lower, width, nbins, counts.data(), hist_scratch.data());
                 return static_cast<double>(reduce_counts(counts)[0]);
             }},
        };

        // Many calls of the small sizes, where the fixed cost per call is
        // what is measured; few of the largest: the whole benchmark stays at
        // minutes.
        const int reps = n_total >= 5000000 ? 3 : n_total >= 1000000 ? 9 : n_total >= 100000 ? 41 : 201;
        for (const row& r : rows) {
            // What one call makes once warm (the timings below warm up too).
            sink = sink + r.library();
            const bench::mpi_call_counts before = bench::mpi_calls();
            sink = sink + r.library();
            const bench::mpi_call_counts after = bench::mpi_calls();
            const double lib = median_ns(r.library, n, reps);
            const double plain = median_ns(r.plain, n, reps);
            const double tuned = median_ns(r.tuned, n, reps);
            if (root) {
                std::printf("%-18s %5d %9ld %11.3f %11.3f %11.3f %10.2f %11.2f %6ld %6ld %6ld\n", r.name.c_str(),
                            session.size(), n_total, lib, plain, tuned, lib / tuned, lib * n_total / 1000.0,
                            after.collectives - before.collectives, after.windows_created - before.windows_created,
                            after.windows_freed - before.windows_freed);
                std::fflush(stdout);
            }
        }
    }
    return 0;
}
