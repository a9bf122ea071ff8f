// Test data for the statistics: every element is a function of its global
// index, so each rank computes the whole expected result with plain loops.
#ifndef VIRDA_TESTS_STATISTICS_STAT_DATA_H
#define VIRDA_TESTS_STATISTICS_STAT_DATA_H

#include "virdastatistics.h"
#include "virda_test/ranks.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace stat_data {

constexpr double inf = std::numeric_limits<double>::infinity();
const double qnan = std::numeric_limits<double>::quiet_NaN();

using virda_test::ranks;

/// A deterministic value in [0, 1) for (seed, g) (splitmix64).
inline double uniform(std::uint64_t seed, int g)
{
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(g) * 0xD1B54A32D192ED03ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
}

/// A new attribute over VIRDA_COMM whose element g is make(g). The last
/// rank's `extra` rows past the first extent hold make(g) as well: they are no
/// part of the array and must never be read. Collective.
template <typename T, typename Make>
Attribute make(const std::vector<int>& dims, Make make, int extra = 0)
{
    return attribute_from_global<T>(dims, VIRDA_COMM, make, extra);
}

/// Elements 0..n-1 as every rank sees them.
template <typename T, typename Make>
std::vector<T> values(int n, Make make)
{
    std::vector<T> v;
    for (int g = 0; g < n; ++g) {
        v.push_back(static_cast<T>(make(g)));
    }
    return v;
}

/// got equals want to a relative `tol`; NaN and infinities must match exactly.
inline void expect_close(double got, long double want, double tol)
{
    const double w = static_cast<double>(want);
    if (!std::isfinite(w)) {
        EXPECT_TRUE(std::isnan(w) ? std::isnan(got) : got == w) << got << " vs " << w;
    } else {
        EXPECT_NEAR(got, w, tol * std::max(1.0L, std::fabs(want)));
    }
}

/// Whether a call made no reduction, barrier or window: no collective.
inline bool no_collective(const virda_test::MpiCounts& c)
{
    return c.allreduces == 0 && c.reduces == 0 && c.barriers == 0 && c.windows_created == 0;
}

} // namespace stat_data

#endif
