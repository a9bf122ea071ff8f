// Times every exported statistic on N doubles per job against two hand-written
// MPI programs doing the same work with the same reductions, in the same run:
// the plain loop a user would write first, and a tuned one (several
// accumulators so that the compiler vectorises; bin indices computed in a
// vectorisable loop, then counted into a few sub-histograms). For
// function::eval and poly_fit on attributes the tuned baseline makes the same
// passes over the data as the library (one array per power, product and sum).
//
// Usage: mpiexec -n R statistics_bench [N ...]   (default 1000000 10000000)
// Prints median ns per element (wall time of the slowest rank over N) and
// the ratios; the last line is the worst library/tuned ratio. Only rank
// counts up to the number of cores give meaningful times.
#include "virdastatistics.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int lanes = 8;
constexpr int nbins = 100;

struct local_data {
    std::vector<double> x, w, y;
};

double x_of(long g) { return std::fmod(static_cast<double>(g) * 0.6180339887498949, 1.0) * 100.0; }
double w_of(long g) { return 1.0 + static_cast<double>(g % 5); }
double y_of(long g) { return 3.0 + 0.25 * x_of(g) + 0.5 * std::sin(static_cast<double>(g)); }

Attribute make_attribute(int n, double (*make)(long))
{
    va<double> a({n}, VIRDA_COMM);
    const auto range = a.va_distribution_index(VIRDA_ID);
    for (int g = range[0]; g <= range[1]; ++g) {
        a.va_local_data()[g - range[0]] = make(g);
    }
    a.va_sync();
    Attribute attribute;
    attribute.set_attribute(array_variant(std::move(a)));
    return attribute;
}

double allreduce(double v)
{
    double total = 0.0;
    MPI_Allreduce(&v, &total, 1, MPI_DOUBLE, MPI_SUM, VIRDA_COMM);
    return total;
}

// ---- sums ------------------------------------------------------------------

double plain_sum(const double* p, std::size_t n)
{
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        s += p[i];
    }
    return s;
}

template <typename F>
double tuned_sum(std::size_t n, F term)
{
    double acc[lanes] = {};
    std::size_t i = 0;
    for (; i + lanes <= n; i += lanes) {
        for (int l = 0; l < lanes; ++l) {
            acc[l] += term(i + l);
        }
    }
    double s = 0.0;
    for (; i < n; ++i) {
        s += term(i);
    }
    for (double a : acc) {
        s += a;
    }
    return s;
}

// ---- binning -----------------------------------------------------------------

std::vector<int> plain_histogram(const std::vector<double>& x, double lower, double width)
{
    std::vector<int> counts(nbins, 0), total(nbins, 0);
    for (double v : x) {
        if (v > lower) {
            const double q = (v - lower) / width;
            if (q < nbins) {
                ++counts[static_cast<int>(q)];
            }
        }
    }
    MPI_Reduce(counts.data(), total.data(), nbins, MPI_INT, MPI_SUM, 0, VIRDA_COMM);
    return total;
}

/// Bin index per element (nbins for none), computed a chunk at a time.
template <typename Index>
void tuned_indices(const double* x, std::size_t n, std::vector<int>& out, Index index)
{
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = index(x[i]);
    }
}

std::vector<int> tuned_histogram(const std::vector<double>& x, double lower, double width, std::vector<int>& idx)
{
    tuned_indices(x.data(), x.size(), idx, [=](double v) {
        const double q = (v - lower) / width;
        return static_cast<int>((v > lower && q < nbins) ? q : nbins);
    });
    std::vector<int> sub(4 * (nbins + 1), 0), counts(nbins, 0), total(nbins, 0);
    std::size_t i = 0;
    for (; i + 4 <= idx.size(); i += 4) {
        for (int l = 0; l < 4; ++l) {
            ++sub[l * (nbins + 1) + idx[i + l]];
        }
    }
    for (; i < idx.size(); ++i) {
        ++sub[idx[i]];
    }
    for (int l = 0; l < 4; ++l) {
        for (int k = 0; k < nbins; ++k) {
            counts[k] += sub[l * (nbins + 1) + k];
        }
    }
    MPI_Reduce(counts.data(), total.data(), nbins, MPI_INT, MPI_SUM, 0, VIRDA_COMM);
    return total;
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
        const double k = std::floor((d.x[i] - c0) / w + 0.5);
        if (k >= 0 && k < nbins) {
            sums[static_cast<int>(k)] += d.y[i];
            ++counts[static_cast<int>(k)];
        }
    }
    return finish_bins(sums, counts);
}

std::vector<double> tuned_bin_data(const local_data& d, double c0, double w, std::vector<int>& idx)
{
    tuned_indices(d.x.data(), d.x.size(), idx, [=](double v) {
        const double k = std::floor((v - c0) / w + 0.5);
        return static_cast<int>((k >= 0 && k < nbins) ? k : nbins);
    });
    std::vector<double> sub_s(4 * (nbins + 1), 0.0), sums(nbins, 0.0);
    std::vector<int> sub_c(4 * (nbins + 1), 0), counts(nbins, 0);
    std::size_t i = 0;
    for (; i + 4 <= idx.size(); i += 4) {
        for (int l = 0; l < 4; ++l) {
            sub_s[l * (nbins + 1) + idx[i + l]] += d.y[i + l];
            ++sub_c[l * (nbins + 1) + idx[i + l]];
        }
    }
    for (; i < idx.size(); ++i) {
        sub_s[idx[i]] += d.y[i];
        ++sub_c[idx[i]];
    }
    for (int l = 0; l < 4; ++l) {
        for (int k = 0; k < nbins; ++k) {
            sums[k] += sub_s[l * (nbins + 1) + k];
            counts[k] += sub_c[l * (nbins + 1) + k];
        }
    }
    return finish_bins(sums, counts);
}

// ---- polynomial evaluation and fit --------------------------------------------

const double coefficients[4] = {1.0, -0.5, 0.25, 0.125};

/// One array per pass, as the library's eval makes them: start from x * 0,
/// then per power: P = x^i, Q = c P, S = result + Q.
std::vector<double> passes_eval(const std::vector<double>& x)
{
    const std::size_t n = x.size();
    std::vector<double> result(n), p(n), q(n), s(n);
    for (std::size_t j = 0; j < n; ++j) {
        result[j] = x[j] * 0.0;
    }
    for (int i = 0; i <= 3; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            double v = 1.0;
            for (int e = 0; e < i; ++e) {
                v *= x[j];
            }
            p[j] = v;
        }
        for (std::size_t j = 0; j < n; ++j) {
            q[j] = coefficients[i] * p[j];
        }
        for (std::size_t j = 0; j < n; ++j) {
            s[j] = result[j] + q[j];
        }
        result.swap(s);
    }
    return result;
}

std::vector<double> plain_eval(const std::vector<double>& x)
{
    std::vector<double> result(x.size());
    for (std::size_t j = 0; j < x.size(); ++j) {
        double t = 0.0;
        for (int i = 0; i <= 3; ++i) {
            t += coefficients[i] * std::pow(x[j], i);
        }
        result[j] = t;
    }
    return result;
}

/// The normal equations of an order-3 fit, A and b, with every power sum a
/// global total; `total` turns a local array into a global sum.
template <typename Total>
std::vector<double> passes_fit(const local_data& d, Total total)
{
    const std::size_t n = d.x.size();
    std::vector<double> p(n), q(n), r(n), a(16), b(4);
    auto power = [&](int e) {
        for (std::size_t j = 0; j < n; ++j) {
            double v = 1.0;
            for (int k = 0; k < e; ++k) {
                v *= d.x[j];
            }
            p[j] = v;
        }
    };
    for (int i = 0; i < 4; ++i) {
        power(i);
        for (std::size_t j = 0; j < n; ++j) {
            q[j] = p[j] * d.w[j];
        }
        for (std::size_t j = 0; j < n; ++j) {
            r[j] = q[j] * d.y[j];
        }
        b[i] = total(r);
        for (int k = 0; k < 4; ++k) {
            power(i + k);
            for (std::size_t j = 0; j < n; ++j) {
                q[j] = p[j] * d.w[j];
            }
            a[i * 4 + k] = total(q);
        }
    }
    matrix am(a.data(), 4, 4), bm(b.data(), 4, 1);
    matrix inv = matrix_invert(am);
    matrix c = inv * bm;
    return std::vector<double>(c.get_data(), c.get_data() + 4);
}

std::vector<double> plain_fit(const local_data& d)
{
    double s[7] = {}, t[4] = {};
    for (std::size_t j = 0; j < d.x.size(); ++j) {
        for (int e = 0; e < 7; ++e) {
            s[e] += d.w[j] * std::pow(d.x[j], e);
        }
        for (int e = 0; e < 4; ++e) {
            t[e] += d.w[j] * d.y[j] * std::pow(d.x[j], e);
        }
    }
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
        sizes = {1000000, 10000000};
    }
    const bool root = session.rank() == 0;
    double worst = 0.0;
    std::string worst_name;
    if (root) {
        std::printf("%-22s %5s %9s %12s %12s %12s %10s %10s\n", "operation", "ranks", "N", "library ns",
                    "plain ns", "tuned ns", "lib/tuned", "lib/plain");
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
        std::vector<int> idx;
        // Bin layouts the compiler cannot see: a division by a known 1.0
        // would be folded away in the baselines only.
        const double lower = bin_lower, width = bin_width, centre0 = bin_lower + 0.5 * bin_width;
        std::vector<double> centres(nbins);
        for (int k = 0; k < nbins; ++k) {
            centres[k] = centre0 + k * width;
        }
        function poly(0, 3);
        poly.set_coeffs(std::vector<double>(coefficients, coefficients + 4));
        auto tuned_total = [&](const std::vector<double>& v) {
            return allreduce(tuned_sum(v.size(), [&](std::size_t i) { return v[i]; }));
        };

        const std::vector<row> rows = {
            {"mean", [&] { return mean(x); },
             [&] { return allreduce(plain_sum(px, m)) / n; },
             [&] { return allreduce(tuned_sum(m, [&](std::size_t i) { return px[i]; })) / n; }},
            {"mean weighted", [&] { return mean(x, w); },
             [&] {
                 double sw = 0, sxw = 0;
                 for (std::size_t i = 0; i < m; ++i) {
                     sw += pw[i];
                     sxw += px[i] * pw[i];
                 }
                 return allreduce(sxw) / allreduce(sw);
             },
             [&] {
                 const double sw = allreduce(tuned_sum(m, [&](std::size_t i) { return pw[i]; }));
                 return allreduce(tuned_sum(m, [&](std::size_t i) { return px[i] * pw[i]; })) / sw;
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
                 const double mu = allreduce(tuned_sum(m, [&](std::size_t i) { return px[i]; })) / n;
                 const double s = tuned_sum(m, [&](std::size_t i) { return (px[i] - mu) * (px[i] - mu); });
                 return std::sqrt(allreduce(s) / n);
             }},
            {"stdev weighted", [&] { return stdev(x, w); },
             [&] {
                 double sw = 0, sxw = 0;
                 for (std::size_t i = 0; i < m; ++i) {
                     sw += pw[i];
                     sxw += px[i] * pw[i];
                 }
                 const double tw = allreduce(sw);
                 const double mu = allreduce(sxw) / tw;
                 double s = 0;
                 for (std::size_t i = 0; i < m; ++i) {
                     s += (px[i] - mu) * (px[i] - mu) * pw[i];
                 }
                 return std::sqrt(allreduce(s) / tw);
             },
             [&] {
                 const double tw = allreduce(tuned_sum(m, [&](std::size_t i) { return pw[i]; }));
                 const double mu = allreduce(tuned_sum(m, [&](std::size_t i) { return px[i] * pw[i]; })) / tw;
                 const double s =
                     tuned_sum(m, [&](std::size_t i) { return (px[i] - mu) * (px[i] - mu) * pw[i]; });
                 return std::sqrt(allreduce(s) / tw);
             }},
            {"histogram", [&] { return static_cast<double>(histogram(x, lower, width, nbins)[0]); },
             [&] { return static_cast<double>(plain_histogram(d.x, lower, width)[0]); },
             [&] { return static_cast<double>(tuned_histogram(d.x, lower, width, idx)[0]); }},
            {"bin_data", [&] { return bin_data(x, y, centres)[0]; },
             [&] { return plain_bin_data(d, centre0, width)[0]; },
             [&] { return tuned_bin_data(d, centre0, width, idx)[0]; }},
            {"function::eval", [&] {
                 Attribute r = poly.eval(x);
                 return static_cast<double>(r.size());
             },
             [&] { return plain_eval(d.x)[0]; }, [&] { return passes_eval(d.x)[0]; }},
            {"poly_fit weighted", [&] {
                 std::unique_ptr<function> f(poly_fit(x, y, w, 3));
                 return f->get_coeffs()[0];
             },
             [&] { return plain_fit(d)[0]; }, [&] { return passes_fit(d, tuned_total)[0]; }},
            {"poly_fit", [&] {
                 std::unique_ptr<function> f(poly_fit(x, y, 3));
                 return f->get_coeffs()[0];
             },
             [&] {
                 local_data unit = d;
                 std::fill(unit.w.begin(), unit.w.end(), 1.0);
                 return plain_fit(unit)[0];
             },
             [&] {
                 local_data unit = d;
                 for (std::size_t i = 0; i < m; ++i) {
                     unit.w[i] = d.x[i] * 0.0 + 1.0;
                 }
                 return passes_fit(unit, tuned_total)[0];
             }},
        };

        const int reps = n_total >= 5000000 ? 5 : 11;
        for (const row& r : rows) {
            const bool heavy = r.name.rfind("poly_fit", 0) == 0;
            const int runs = heavy ? std::max(3, reps / 3) : reps;
            const double lib = median_ns(r.library, n, runs);
            const double plain = median_ns(r.plain, n, runs);
            const double tuned = median_ns(r.tuned, n, runs);
            if (root) {
                std::printf("%-22s %5d %9ld %12.3f %12.3f %12.3f %10.2f %10.2f\n", r.name.c_str(), session.size(),
                            n_total, lib, plain, tuned, lib / tuned, lib / plain);
            }
            if (lib / tuned > worst) {
                worst = lib / tuned;
                worst_name = r.name + " at N=" + std::to_string(n_total);
            }
        }
    }
    if (root) {
        std::printf("worst library/tuned ratio: %.2f (%s)\n", worst, worst_name.c_str());
    }
    return 0;
}
