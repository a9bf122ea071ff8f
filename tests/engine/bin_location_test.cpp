// Points' bin numbers along explicit and equal-width axes, against numbers
// NumPy and SciPy give for the same points (hard-coded here), on whichever
// instruction set the run chose (the CTest registration repeats the run on
// the baseline path).

#include "engine/bin_location.h"
#include "engine/error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace virda::engine;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::vector<std::int64_t> locate(const std::vector<bin_axis>& axes, const std::vector<std::vector<double>>& runs,
                                 bin_numbering numbering)
{
    std::vector<values_view> views;
    for (const auto& r : runs) {
        views.push_back(values_of(r.data(), static_cast<std::int64_t>(r.size())));
    }
    std::vector<std::int64_t> out(runs.at(0).size(), -7);
    locate_bins(axes, views, numbering, out.data());
    return out;
}

TEST(BinLocation, EqualWidthEdgesAreLinspaceEdges)
{
    // numpy.linspace(-0.3, 7.1, 8), bit for bit.
    const std::vector<double> want = {-0x1.3333333333333p-2, 0x1.83a83a83a83a8p-1, 0x1.d075075075075p+0,
                                      0x1.6f8af8af8af8cp+1,  0x1.f6db6db6db6dcp+1, 0x1.3f15f15f15f16p+2,
                                      0x1.82be2be2be2bfp+2,  0x1.c666666666666p+2};
    const bin_axis a = bin_axis::equal_width(-0.3, 7.1, 7);
    EXPECT_EQ(want, a.edges());
    EXPECT_TRUE(a.is_equal_width());
    EXPECT_EQ(7, a.bins());
}

TEST(BinLocation, ValuesOnBesideAndOutsideEveryEdgeAsNumPyHistogramCountsThem)
{
    // Every edge of 7 equal bins over [-0.3, 7.1], the double below and the
    // double above each, infinities, NaN, values far outside, one inside:
    // the bins numpy.histogram(..., bins=7, range=(-0.3, 7.1)) counts them in.
    const bin_axis equal = bin_axis::equal_width(-0.3, 7.1, 7);
    std::vector<double> v;
    for (double e : equal.edges()) {
        v.push_back(e);
    }
    for (double e : equal.edges()) {
        v.push_back(std::nextafter(e, -inf));
    }
    for (double e : equal.edges()) {
        v.push_back(std::nextafter(e, inf));
    }
    for (double x : {-inf, inf, nan, -100.0, 100.0, 3.3}) {
        v.push_back(x);
    }
    const std::vector<std::int64_t> want = {0, 1, 2, 3, 4, 5, 6,  6,  -1, 0,  1,  2,  3,  4, 5,
                                            6, 0, 1, 2, 3, 4, 5, 6, -1, -1, -1, -1, -1, -1, 3};
    EXPECT_EQ(want, locate({equal}, {v}, bin_numbering::within_edges));
    // The same edges given explicitly are searched, not estimated: same bins.
    EXPECT_EQ(want, locate({bin_axis::with_edges(equal.edges())}, {v}, bin_numbering::within_edges));
}

TEST(BinLocation, RepeatedEdgesHoldNothingAndTheLastEdgeIsInTheLastBin)
{
    // Edges 0, 1, 1, 2, 2: a value 1 belongs to the bin [1, 2); 2 to the last.
    const bin_axis a = bin_axis::with_edges({0, 1, 1, 2, 2});
    EXPECT_EQ((std::vector<std::int64_t>{0, 2, 2, 3, -1, -1}),
              locate({a}, {{0.5, 1.0, 1.5, 2.0, 2.5, -0.5}}, bin_numbering::within_edges));
    // No outlier numbering for bins of zero width: the last edge's rounding
    // has no scale there.
    EXPECT_THROW(locate({a}, {{0.5}}, bin_numbering::with_outliers), error);
}

TEST(BinLocation, SubnormalWidthsAreFoundByTheirEdges)
{
    // bins / width overflows, so there is no estimate to start from: the
    // edges 0, 1, 2 and 3 units of the least subnormal are searched.
    const double u = std::numeric_limits<double>::denorm_min();
    const bin_axis a = bin_axis::equal_width(0, 3 * u, 3);
    EXPECT_EQ((std::vector<std::int64_t>{0, 0, 1, 2, 2, -1, -1}),
              locate({a}, {{0.0, -0.0, u, 2 * u, 3 * u, 4 * u, nan}}, bin_numbering::within_edges));
}

TEST(BinLocation, BoundsWhoseDistanceOverflowsGiveFiniteEdges)
{
    // upper - lower is above the largest double: the edges are still the
    // evenly spaced finite ones, and every value finds its bin by them.
    const bin_axis a = bin_axis::equal_width(-1e308, 1e308, 2);
    EXPECT_EQ((std::vector<double>{-1e308, 0, 1e308}), a.edges());
    EXPECT_EQ((std::vector<std::int64_t>{0, 1, 1, 0, 1, -1, -1}),
              locate({a}, {{-1e308, 0.0, 1e307, -1.0, 1e308, inf, nan}}, bin_numbering::within_edges));
    const double big = std::numeric_limits<double>::max();
    const bin_axis b = bin_axis::equal_width(-big, big, 4);
    ASSERT_EQ(5u, b.edges().size());
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_NEAR((static_cast<double>(k) / 2 - 1) * big, b.edges()[k], big * 1e-15) << k;
    }
    EXPECT_EQ((std::vector<std::int64_t>{0, 1, 2, 2, 3, 3}),
              locate({b}, {{-big, -1.0, 0.0, 1.0, big / 4 * 3, big}}, bin_numbering::within_edges));
}

TEST(BinLocation, TwoDimensionsWithOutliersNumberAsBinnedStatisticDd)
{
    // scipy.stats.binned_statistic_dd(np.c_[x, y], None, 'count',
    // bins=[4, [3, 4, 5, 6]], range=[(0, 2), (3, 6)]).binnumber: x just
    // above its last edge (within its rounding) is on it, NaN and +inf go
    // above, -inf below.
    const std::vector<double> x = {0., 0.5, 1., 1.5, 2., 2.0000000001, 2.1, -1, nan, inf, -inf, 1.0};
    const std::vector<double> y = {3., 3., 4., 5., 6., 6., 6., 3., 4., 5.00000000001, 4.5, nan};
    const std::vector<bin_axis> axes = {bin_axis::equal_width(0, 2, 4), bin_axis::with_edges({3, 4, 5, 6})};
    EXPECT_EQ((std::vector<std::int64_t>{6, 11, 17, 23, 23, 23, 28, 1, 27, 28, 2, 19}),
              locate(axes, {x, y}, bin_numbering::with_outliers));
    EXPECT_EQ(30, bin_number_count(axes, bin_numbering::with_outliers));

    // Within the edges, C order over 4 x 3 bins; a point outside either
    // axis is in no bin.
    EXPECT_EQ((std::vector<std::int64_t>{0, 3, 7, 11, 11, -1, -1, -1, -1, -1, -1, -1}),
              locate(axes, {x, y}, bin_numbering::within_edges));
    EXPECT_EQ(12, bin_number_count(axes, bin_numbering::within_edges));
}

TEST(BinLocation, EstimatedBinsAreTheSearchedBinsOnEveryEdgeAndInManyBlocks)
{
    // Two equal-width axes against the same edges given explicitly (found
    // by a search): values on, just below and just above every edge,
    // between edges, signed zeros, infinities, NaN and far outside, shuffled
    // into runs of 10007 points (more than one block of points, not a
    // multiple of any vector), in both numberings.
    const std::vector<bin_axis> equal = {bin_axis::equal_width(-0.3, 7.1, 7), bin_axis::equal_width(0, 1, 64),
                                         bin_axis::equal_width(-1e300, 1e300, 3)};
    const auto candidates = [](const bin_axis& a) {
        std::vector<double> c = {-inf, inf, nan, -0.0, 0.0, -1e308, 1e308};
        for (const double e : a.edges()) {
            c.push_back(e);
            c.push_back(std::nextafter(e, -inf));
            c.push_back(std::nextafter(e, inf));
        }
        for (std::size_t k = 0; k + 1 < a.edges().size(); ++k) {
            c.push_back(a.edges()[k] / 2 + a.edges()[k + 1] / 2);
        }
        return c;
    };
    for (std::size_t first = 0; first < equal.size(); ++first) {
        const std::size_t second = (first + 1) % equal.size();
        const std::vector<double> cx = candidates(equal[first]);
        const std::vector<double> cy = candidates(equal[second]);
        std::vector<std::vector<double>> runs(2);
        for (std::size_t i = 0; i < 10007; ++i) {
            runs[0].push_back(cx[(i * 7919) % cx.size()]);
            runs[1].push_back(cy[(i * 104729 + i / 3) % cy.size()]);
        }
        const std::vector<bin_axis> axes = {equal[first], equal[second]};
        const std::vector<bin_axis> searched = {bin_axis::with_edges(equal[first].edges()),
                                                bin_axis::with_edges(equal[second].edges())};
        for (const bin_numbering numbering : {bin_numbering::with_outliers, bin_numbering::within_edges}) {
            EXPECT_EQ(locate(searched, runs, numbering), locate(axes, runs, numbering)) << "axes " << first;
        }
    }
}

TEST(BinLocation, TablesStridesAndNumberTypesGiveTheSameNumbersAsRuns)
{
    // 3-D points as an int16 table (rows of 3), read in place and through
    // a strided column view, against the same points as double runs.
    const std::int64_t n = 1000;
    std::vector<std::int16_t> table;
    std::vector<std::vector<double>> runs(3);
    for (std::int64_t i = 0; i < n; ++i) {
        for (int d = 0; d < 3; ++d) {
            const auto v = static_cast<std::int16_t>((i * (7 + 4 * d)) % 41 - 10);
            table.push_back(v);
            runs[d].push_back(v);
        }
    }
    const std::vector<bin_axis> axes = {bin_axis::equal_width(-5, 20, 5), bin_axis::with_edges({-10, 0, 3, 30}),
                                        bin_axis::equal_width(0, 31, 31)};
    const std::vector<std::int64_t> want = locate(axes, runs, bin_numbering::within_edges);
    std::vector<std::int64_t> got(n);
    locate_bins(axes, table_of(table.data(), n, 3, 3), bin_numbering::within_edges, got.data());
    EXPECT_EQ(want, got);

    // A serial rule for the same numbers: every point checked bin by bin.
    std::int64_t counted = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        std::int64_t flat = 0;
        bool inside = true;
        for (int d = 0; d < 3; ++d) {
            const auto& e = axes[d].edges();
            const double v = runs[d][i];
            std::int64_t k = -1;
            for (std::size_t b = 0; b + 1 < e.size(); ++b) {
                if (v >= e[b] && (v < e[b + 1] || (b + 2 == e.size() && v == e[b + 1]))) {
                    k = static_cast<std::int64_t>(b);
                }
            }
            inside = inside && k >= 0;
            flat = flat * axes[d].bins() + k;
        }
        ASSERT_EQ(inside ? flat : no_bin, want[i]) << "point " << i;
        counted += inside;
    }
    EXPECT_GT(counted, n / 4);
}

TEST(BinLocation, BadAxesAndMismatchedRunsAreRefused)
{
    EXPECT_THROW(bin_axis::equal_width(1, 1, 3), error);
    EXPECT_THROW(bin_axis::equal_width(0, inf, 3), error);
    EXPECT_THROW(bin_axis::equal_width(0, 1, 0), error);
    EXPECT_THROW(bin_axis::with_edges({1}), error);
    EXPECT_THROW(bin_axis::with_edges({0, 2, 1}), error);
    EXPECT_THROW(bin_axis::with_edges({0, nan}), error);
    const bin_axis a = bin_axis::equal_width(0, 1, 2);
    EXPECT_THROW(locate({a, a}, {{0.5, 0.5}, {0.5}}, bin_numbering::within_edges), error);
    EXPECT_THROW(locate({a, a}, {{0.5}}, bin_numbering::within_edges), error);
    const std::vector<bin_axis> huge(3, bin_axis::equal_width(0, 1, 1 << 21));
    EXPECT_THROW(bin_number_count(huge, bin_numbering::within_edges), error);
}

} // namespace
