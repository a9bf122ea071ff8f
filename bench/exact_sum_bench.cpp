// Time per element of the exact accumulator against a plain vectorised double
// sum over the same data, in the same run. Single rank; the collective is
// timed separately, as it does not depend on the element count.
//
// Usage: exact_sum_bench [repetitions]   (default 15)

#include "engine/exact_sum.h"
#include "reference_runtime/virda_session.h"

#include <emmintrin.h>
#include <mpi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

// Eight lanes in four independent SSE2 accumulators: as fast as a plain
// double sum gets without wider vectors, bound by memory on large inputs.
double plain_sum(const double* p, std::size_t n)
{
    __m128d a0 = _mm_setzero_pd();
    __m128d a1 = _mm_setzero_pd();
    __m128d a2 = _mm_setzero_pd();
    __m128d a3 = _mm_setzero_pd();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        a0 = _mm_add_pd(a0, _mm_loadu_pd(p + i));
        a1 = _mm_add_pd(a1, _mm_loadu_pd(p + i + 2));
        a2 = _mm_add_pd(a2, _mm_loadu_pd(p + i + 4));
        a3 = _mm_add_pd(a3, _mm_loadu_pd(p + i + 6));
    }
    double lanes[2];
    _mm_storeu_pd(lanes, _mm_add_pd(_mm_add_pd(a0, a1), _mm_add_pd(a2, a3)));
    double s = lanes[0] + lanes[1];
    for (; i < n; ++i) {
        s += p[i];
    }
    return s;
}

double exact_sum(const double* p, std::size_t n)
{
    virda::engine::exact_sum acc;
    acc.add(p, n);
    return acc.local_rounded();
}

double median_ns_per_element(const std::function<double()>& run, std::size_t n, int reps,
                             double& sink)
{
    std::vector<double> ns;
    for (int r = 0; r < reps; ++r) {
        const auto start = std::chrono::steady_clock::now();
        sink += run();
        const auto stop = std::chrono::steady_clock::now();
        ns.push_back(std::chrono::duration<double, std::nano>(stop - start).count() /
                     static_cast<double>(n));
    }
    std::nth_element(ns.begin(), ns.begin() + reps / 2, ns.end());
    return ns[reps / 2];
}

std::vector<double> make_data(const std::string& kind, std::size_t n)
{
    std::mt19937_64 gen(12345);
    std::vector<double> v(n);
    if (kind == "wide") {
        // Random sign, binary exponent uniform in [-1000, 1000]: every bin in use.
        std::uniform_real_distribution<double> mant(1.0, 2.0);
        std::uniform_int_distribution<int> expo(-1000, 1000);
        for (auto& x : v) {
            x = std::ldexp(mant(gen), expo(gen)) * ((gen() & 1) ? -1.0 : 1.0);
        }
    } else if (kind == "narrow") {
        // One sign, one exponent: every element hits the same bin of its table.
        std::uniform_real_distribution<double> mant(1.0, 2.0);
        for (auto& x : v) {
            x = mant(gen);
        }
    } else {
        std::normal_distribution<double> normal(0.0, 1.0);
        for (auto& x : v) {
            x = normal(gen);
        }
    }
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    virda_session session(&argc, &argv); // MPI, and the runtime the library resolves
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    double sink = 0;

    std::printf("%-8s %10s %14s %14s %7s\n", "data", "elements", "plain ns/el", "exact ns/el",
                "ratio");
    for (const std::size_t n : {std::size_t{1000000}, std::size_t{10000000}}) {
        for (const char* kind : {"narrow", "normal", "wide"}) {
            const std::vector<double> v = make_data(kind, n);
            const double* p = v.data();
            // Alternate the two so that both see the same machine state.
            double plain = 0;
            double exact = 0;
            for (int round = 0; round < 2; ++round) {
                plain = median_ns_per_element([&] { return plain_sum(p, n); }, n, reps, sink);
                exact = median_ns_per_element([&] { return exact_sum(p, n); }, n, reps, sink);
            }
            std::printf("%-8s %10zu %14.3f %14.3f %7.2f\n", kind, n, plain, exact, exact / plain);
        }
    }

    // Fixed cost per total: table set-up, fold and rounding dominate small inputs.
    {
        const std::vector<double> v = make_data("normal", 1000);
        constexpr int calls = 2000;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) {
            sink += exact_sum(v.data(), v.size());
        }
        const auto stop = std::chrono::steady_clock::now();
        std::printf("exact total of 1000 doubles: %.1f us per call\n",
                    std::chrono::duration<double, std::micro>(stop - start).count() / calls);
    }

    // Fixed cost of a total over a communicator: fold, one MPI_Allreduce, rounding.
    {
        virda::engine::exact_sum acc;
        const double one = 1.0;
        acc.add(&one, 1);
        constexpr int calls = 200;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i) {
            sink += acc.allreduce_rounded(MPI_COMM_WORLD);
        }
        const auto stop = std::chrono::steady_clock::now();
        std::printf("allreduce_rounded on MPI_COMM_WORLD: %.1f us per call\n",
                    std::chrono::duration<double, std::micro>(stop - start).count() / calls);
    }

    std::printf("(checksum %g)\n", sink);
    return 0;
}
