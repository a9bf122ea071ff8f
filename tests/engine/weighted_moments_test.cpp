// Weighted moments over blocks and ranks, against NumPy's average on the
// issue's integer cases and a quadruple-precision oracle, the same bits at
// every split.

#include "engine_test_support.h"

#include "engine/weighted_moments.h"

#include <random>
#include <utility>

namespace {

using namespace engine_test;

/// Adds this rank's share (every size-th pair from its rank) in two blocks.
template <typename X, typename W>
weighted_summary finished(const std::vector<X>& x, const std::vector<W>& w,
                          nan_policy policy = nan_policy::propagate)
{
    std::vector<X> mx;
    std::vector<W> mw;
    for (std::size_t i = static_cast<std::size_t>(world_rank()); i < x.size(); i += static_cast<std::size_t>(world_size())) {
        mx.push_back(x[i]);
        mw.push_back(w[i]);
    }
    const auto half = static_cast<std::int64_t>(mx.size() / 2);
    const auto n = static_cast<std::int64_t>(mx.size());
    weighted_moments m;
    m.add(values_of(mx.data(), half), values_of(mw.data(), half));
    m.add(values_of(mx.data() + half, n - half), values_of(mw.data() + half, n - half));
    return m.finish(MPI_COMM_WORLD, policy);
}

__extension__ typedef __float128 quad;

/// The weighted mean and variance of the pairs in quadruple precision.
std::pair<quad, quad> quad_moments(const std::vector<double>& x, const std::vector<double>& w)
{
    quad sw = 0;
    quad swx = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sw += w[i];
        swx += static_cast<quad>(w[i]) * x[i];
    }
    const quad mean = swx / sw;
    quad dev = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        dev += static_cast<quad>(w[i]) * (x[i] - mean) * (x[i] - mean);
    }
    return {mean, dev / sw};
}

TEST(WeightedMoments, IntegerProductsNeitherWrapNorRound)
{
    const std::vector<std::int32_t> x = {100000, 100000};
    const weighted_summary s = finished(x, x);
    EXPECT_EQ(100000.0, s.mean);
    EXPECT_EQ(0.0, s.stdev);
    const std::vector<std::int32_t> big = {16777217};
    const std::vector<float> one = {1.0f};
    EXPECT_EQ(16777217.0, finished(big, one).mean);
    const std::vector<std::int64_t> wide = {std::int64_t{1} << 40, (std::int64_t{1} << 40) + 2};
    const std::vector<std::uint32_t> weights = {4000000000u, 4000000000u};
    const weighted_summary ws = finished(wide, weights);
    EXPECT_EQ(static_cast<double>((std::int64_t{1} << 40) + 1), ws.mean);
    EXPECT_EQ(1.0, ws.stdev);
    EXPECT_EQ(8e9, ws.weight_sum);
}

TEST(WeightedMoments, AgreeWithQuadruplePrecisionAtEverySplit)
{
    std::mt19937_64 gen(3);
    std::vector<double> x(5003);
    std::vector<double> w(5003);
    for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = std::normal_distribution<double>(1e6, 3.0)(gen);
        w[i] = std::uniform_real_distribution<double>(0.0, 2.0)(gen);
    }
    // Extremes that take the scaled paths: huge values with tiny weights.
    x[7] = 1e250;
    w[7] = 1e-250;
    x[8] = 3e-300;
    w[8] = 1e250;
    const weighted_summary s = finished(x, w);
    const auto [mean, variance] = quad_moments(x, w);
    EXPECT_NEAR(static_cast<double>(mean), s.mean, std::fabs(s.mean) * 4e-16);
    EXPECT_NEAR(static_cast<double>(variance), s.variance, s.variance * 4e-16);
    // The same bits on one rank with everything in one block.
    weighted_moments one;
    one.add(values_of(x.data(), static_cast<std::int64_t>(x.size())), values_of(w.data(), static_cast<std::int64_t>(w.size())));
    const weighted_summary o = one.finish(MPI_COMM_SELF);
    EXPECT_TRUE(same_bits(o.mean, s.mean));
    EXPECT_TRUE(same_bits(o.variance, s.variance));
    EXPECT_TRUE(same_bits(o.weight_sum, s.weight_sum));
}

TEST(WeightedMoments, DataOfOneScaleFarFromOne)
{
    // Every product in a class of its own scale, none in the ordinary one.
    for (const double scale : {1e150, 1e-150}) {
        const std::vector<double> x = {1.0 * scale, 2.0 * scale, 4.0 * scale, 7.0 * scale};
        const std::vector<double> w = {1.0, 2.0, 3.0, 0.5};
        const auto [mean, variance] = quad_moments(x, w);
        const weighted_summary s = finished(x, w);
        EXPECT_EQ(static_cast<double>(mean), s.mean) << scale;
        EXPECT_NEAR(static_cast<double>(variance), s.variance, s.variance * 4e-16) << scale;
    }
}

TEST(WeightedMoments, NanInfinityAndZeroWeights)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> x = {1.0, 2.0, nan, 4.0};
    const std::vector<double> w = {1.0, 1.0, 1.0, 2.0};
    EXPECT_TRUE(std::isnan(finished(x, w).mean));
    const weighted_summary omitted = finished(x, w, nan_policy::omit);
    EXPECT_EQ(3, omitted.count);
    EXPECT_EQ(1, omitted.nan_count);
    EXPECT_EQ(11.0 / 4.0, omitted.mean);
    const std::vector<double> xi = {1.0, inf};
    const std::vector<double> wi = {1.0, 1.0};
    const weighted_summary si = finished(xi, wi);
    EXPECT_EQ(inf, si.mean);
    EXPECT_TRUE(std::isnan(si.variance));
    const std::vector<double> zero = {0.0, 0.0};
    const weighted_summary sz = finished(wi, zero);
    EXPECT_EQ(0.0, sz.weight_sum);
    EXPECT_TRUE(std::isnan(sz.mean));
    EXPECT_THROW(weighted_moments().add(values_of(x.data(), 2), values_of(w.data(), 1)), error);
}

} // namespace
