// Test data for the statistics: every element is a function of its global
// index, so each rank computes the whole expected result with plain loops.
#ifndef VIRDA_TESTS_STATISTICS_STAT_DATA_H
#define VIRDA_TESTS_STATISTICS_STAT_DATA_H

#include "virdastatistics.h"
#include "virda_test/ranks.h"
#include "virda_test/test_data.h"
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

using virda_test::make_attribute;
using virda_test::ranks;
using virda_test::uniform;
using virda_test::values;

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

/// Attributes of the element types that do not convert to double (char,
/// Vector2, Vector3, fftw_complex), two rows each, so that at three or more
/// ranks some ranks hold none of them. Collective.
inline std::vector<Attribute> non_real_attributes()
{
    std::vector<Attribute> all;
    all.push_back(make_attribute<char>({2}, [](int g) { return 'a' + g; }));
    all.push_back(make_attribute<Vector2>({2}, [](int g) { return Vector2(g); }));
    all.push_back(make_attribute<Vector3>({2}, [](int g) { return Vector3(g); }));
    all.push_back(make_attribute<fftw_complex>({2}, [](int g) { return fftw_complex{1.0 * g, 0.0}; }));
    return all;
}

/// A call made no reduction, barrier or window: no collective.
inline void expect_no_collective(const virda_test::MpiCounts& c)
{
    EXPECT_EQ(c.allreduces, 0);
    EXPECT_EQ(c.reduces, 0);
    EXPECT_EQ(c.barriers, 0);
    EXPECT_EQ(c.windows_created, 0);
}

} // namespace stat_data

#endif
