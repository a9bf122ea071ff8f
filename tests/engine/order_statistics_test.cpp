// Exact order statistics and quantiles over blocks, columns and ranks: every
// rank builds the whole data from the global index and checks against a sort
// of it; quantile positions against values NumPy 1.24 gave for every method.

#include "engine_test_support.h"

#include "engine/allocation_failures.h"
#include "engine/order_statistics.h"

#include "virda_test/isa_paths.h"
#include "virda_test/mpi_counts.h"

#include <algorithm>
#include <random>
#include <string>

namespace {

using namespace engine_test;

const double nan = std::numeric_limits<double>::quiet_NaN();

/// Adds this rank's share of `all` to `s` in blocks of growing size.
template <typename S, typename T>
void add_share(S& s, const std::vector<T>& all)
{
    const auto [first, end] = uneven_share(all.size());
    std::size_t block = 1 + static_cast<std::size_t>(world_rank()) * 7;
    for (std::size_t i = first; i < end;) {
        const std::size_t m = std::min(block, end - i);
        s.add(values_of(all.data() + i, static_cast<std::int64_t>(m)));
        i += m;
        block = 2 * block + 3;
    }
}

struct numpy_row {
    const char* method;
    int n;
    std::vector<double> expected;
};

// numpy.quantile(numpy.arange(n) ** 2.0, q, method=m) with NumPy 1.24.2.
const std::vector<double> probabilities = {0.0, 0.1, 0.25, 0.3, 0.5, 0.6, 0.75, 0.9, 1.0};
const std::vector<numpy_row> numpy_rows = {
    {"inverted_cdf", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"inverted_cdf", 2, {0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 1.0}},
    {"inverted_cdf", 3, {0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 4.0}},
    {"inverted_cdf", 4, {0.0, 0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 9.0, 9.0}},
    {"inverted_cdf", 5, {0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 9.0, 16.0, 16.0}},
    {"inverted_cdf", 7, {0.0, 0.0, 1.0, 4.0, 9.0, 16.0, 25.0, 36.0, 36.0}},
    {"inverted_cdf", 10, {0.0, 0.0, 4.0, 4.0, 16.0, 25.0, 49.0, 64.0, 81.0}},
    {"averaged_inverted_cdf", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"averaged_inverted_cdf", 2, {0.0, 0.0, 0.0, 0.0, 0.5, 1.0, 1.0, 1.0, 1.0}},
    {"averaged_inverted_cdf", 3, {0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 4.0}},
    {"averaged_inverted_cdf", 4, {0.0, 0.0, 0.5, 1.0, 2.5, 4.0, 6.5, 9.0, 9.0}},
    {"averaged_inverted_cdf", 5, {0.0, 0.0, 1.0, 1.0, 4.0, 6.5, 9.0, 16.0, 16.0}},
    {"averaged_inverted_cdf", 7, {0.0, 0.0, 1.0, 4.0, 9.0, 16.0, 25.0, 36.0, 36.0}},
    {"averaged_inverted_cdf", 10, {0.0, 0.5, 4.0, 6.5, 20.5, 30.5, 49.0, 72.5, 81.0}},
    {"closest_observation", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"closest_observation", 2, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0}},
    {"closest_observation", 3, {0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 4.0, 4.0}},
    {"closest_observation", 4, {0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 4.0, 9.0, 9.0}},
    {"closest_observation", 5, {0.0, 0.0, 0.0, 0.0, 4.0, 4.0, 9.0, 16.0, 16.0}},
    {"closest_observation", 7, {0.0, 0.0, 1.0, 1.0, 4.0, 9.0, 16.0, 25.0, 36.0}},
    {"closest_observation", 10, {0.0, 0.0, 4.0, 4.0, 16.0, 25.0, 36.0, 64.0, 81.0}},
    {"interpolated_inverted_cdf", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"interpolated_inverted_cdf", 2, {0.0, 0.0, 0.0, 0.0, 0.0, 0.19999999999999996, 0.5, 0.8, 1.0}},
    {"interpolated_inverted_cdf", 3, {0.0, 0.0, 0.0, 0.0, 0.5, 0.7999999999999998, 1.75, 3.1000000000000005, 4.0}},
    {"interpolated_inverted_cdf", 4, {0.0, 0.0, 0.0, 0.19999999999999996, 1.0, 2.1999999999999997, 4.0, 7.0, 9.0}},
    {"interpolated_inverted_cdf", 5, {0.0, 0.0, 0.25, 0.5, 2.5, 4.0, 7.75, 12.5, 16.0}},
    {"interpolated_inverted_cdf", 7, {0.0, 0.0, 0.75, 1.3000000000000003, 6.5, 10.400000000000002, 18.25, 28.299999999999997, 36.0}},
    {"interpolated_inverted_cdf", 10, {0.0, 0.0, 2.5, 4.0, 16.0, 25.0, 42.5, 64.0, 81.0}},
    {"hazen", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"hazen", 2, {0.0, 0.0, 0.0, 0.10000000000000009, 0.5, 0.7, 1.0, 1.0, 1.0}},
    {"hazen", 3, {0.0, 0.0, 0.25, 0.3999999999999999, 1.0, 1.8999999999999995, 3.25, 4.0, 4.0}},
    {"hazen", 4, {0.0, 0.0, 0.5, 0.7, 2.5, 3.6999999999999997, 6.5, 9.0, 9.0}},
    {"hazen", 5, {0.0, 0.0, 0.75, 1.0, 4.0, 6.5, 10.75, 16.0, 16.0}},
    {"hazen", 7, {0.0, 0.20000000000000018, 1.75, 2.8000000000000003, 9.0, 13.900000000000002, 22.75, 33.8, 36.0}},
    {"hazen", 10, {0.0, 0.5, 4.0, 6.5, 20.5, 30.5, 49.0, 72.5, 81.0}},
    {"weibull", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"weibull", 2, {0.0, 0.0, 0.0, 0.0, 0.5, 0.7999999999999998, 1.0, 1.0, 1.0}},
    {"weibull", 3, {0.0, 0.0, 0.0, 0.19999999999999996, 1.0, 2.1999999999999997, 4.0, 4.0, 4.0}},
    {"weibull", 4, {0.0, 0.0, 0.25, 0.5, 2.5, 4.0, 7.75, 9.0, 9.0}},
    {"weibull", 5, {0.0, 0.0, 0.5, 0.8, 4.0, 7.0, 12.5, 16.0, 16.0}},
    {"weibull", 7, {0.0, 0.0, 1.0, 2.1999999999999997, 9.0, 14.599999999999998, 25.0, 36.0, 36.0}},
    {"weibull", 10, {0.0, 0.10000000000000009, 3.25, 5.499999999999999, 20.5, 31.599999999999994, 52.75, 79.30000000000001, 81.0}},
    {"linear", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"linear", 2, {0.0, 0.1, 0.25, 0.3, 0.5, 0.6, 0.75, 0.9, 1.0}},
    {"linear", 3, {0.0, 0.2, 0.5, 0.6, 1.0, 1.5999999999999999, 2.5, 3.4000000000000004, 4.0}},
    {"linear", 4, {0.0, 0.30000000000000004, 0.75, 0.8999999999999999, 2.5, 3.3999999999999995, 5.25, 7.500000000000001, 9.0}},
    {"linear", 5, {0.0, 0.4, 1.0, 1.5999999999999999, 4.0, 6.0, 9.0, 13.200000000000001, 16.0}},
    {"linear", 7, {0.0, 0.6000000000000001, 2.5, 3.3999999999999995, 9.0, 13.199999999999998, 20.5, 29.400000000000006, 36.0}},
    {"linear", 10, {0.0, 0.9, 5.25, 7.499999999999998, 20.5, 29.399999999999995, 45.75, 65.69999999999999, 81.0}},
    {"median_unbiased", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"median_unbiased", 2, {0.0, 0.0, 0.0, 0.033333333333333215, 0.5, 0.7333333333333334, 1.0, 1.0, 1.0}},
    {"median_unbiased", 3, {0.0, 0.0, 0.16666666666666674, 0.33333333333333326, 1.0, 1.9999999999999991, 3.5000000000000004, 4.0, 4.0}},
    {"median_unbiased", 4, {0.0, 0.0, 0.41666666666666674, 0.6333333333333333, 2.5, 3.7999999999999994, 6.916666666666668, 9.0, 9.0}},
    {"median_unbiased", 5, {0.0, 0.0, 0.6666666666666667, 0.9333333333333333, 4.0, 6.666666666666666, 11.333333333333332, 16.0, 16.0}},
    {"median_unbiased", 7, {0.0, 0.06666666666666665, 1.4999999999999996, 2.5999999999999996, 9.0, 14.133333333333333, 23.499999999999996, 35.266666666666666, 36.0}},
    {"median_unbiased", 10, {0.0, 0.3666666666666667, 3.7499999999999996, 6.166666666666668, 20.5, 30.866666666666667, 50.25000000000001, 74.76666666666665, 81.0}},
    {"normal_unbiased", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"normal_unbiased", 2, {0.0, 0.0, 0.0, 0.050000000000000044, 0.5, 0.7250000000000001, 1.0, 1.0, 1.0}},
    {"normal_unbiased", 3, {0.0, 0.0, 0.1875, 0.34999999999999987, 1.0, 1.9749999999999992, 3.4375, 4.0, 4.0}},
    {"normal_unbiased", 4, {0.0, 0.0, 0.4375, 0.6499999999999999, 2.5, 3.7749999999999995, 6.8125, 9.0, 9.0}},
    {"normal_unbiased", 5, {0.0, 0.0, 0.6875, 0.95, 4.0, 6.625, 11.1875, 16.0, 16.0}},
    {"normal_unbiased", 7, {0.0, 0.10000000000000009, 1.5625, 2.650000000000001, 9.0, 14.075000000000003, 23.3125, 34.89999999999999, 36.0}},
    {"normal_unbiased", 10, {0.0, 0.3999999999999999, 3.8125, 6.250000000000001, 20.5, 30.775000000000006, 49.9375, 74.19999999999999, 81.0}},
    {"lower", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"lower", 2, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0}},
    {"lower", 3, {0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 1.0, 4.0}},
    {"lower", 4, {0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 9.0}},
    {"lower", 5, {0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 9.0, 9.0, 16.0}},
    {"lower", 7, {0.0, 0.0, 1.0, 1.0, 9.0, 9.0, 16.0, 25.0, 36.0}},
    {"lower", 10, {0.0, 0.0, 4.0, 4.0, 16.0, 25.0, 36.0, 64.0, 81.0}},
    {"higher", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"higher", 2, {0.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0}},
    {"higher", 3, {0.0, 1.0, 1.0, 1.0, 1.0, 4.0, 4.0, 4.0, 4.0}},
    {"higher", 4, {0.0, 1.0, 1.0, 1.0, 4.0, 4.0, 9.0, 9.0, 9.0}},
    {"higher", 5, {0.0, 1.0, 1.0, 4.0, 4.0, 9.0, 9.0, 16.0, 16.0}},
    {"higher", 7, {0.0, 1.0, 4.0, 4.0, 9.0, 16.0, 25.0, 36.0, 36.0}},
    {"higher", 10, {0.0, 1.0, 9.0, 9.0, 25.0, 36.0, 49.0, 81.0, 81.0}},
    {"midpoint", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"midpoint", 2, {0.0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 1.0}},
    {"midpoint", 3, {0.0, 0.5, 0.5, 0.5, 1.0, 2.5, 2.5, 2.5, 4.0}},
    {"midpoint", 4, {0.0, 0.5, 0.5, 0.5, 2.5, 2.5, 6.5, 6.5, 9.0}},
    {"midpoint", 5, {0.0, 0.5, 1.0, 2.5, 4.0, 6.5, 9.0, 12.5, 16.0}},
    {"midpoint", 7, {0.0, 0.5, 2.5, 2.5, 9.0, 12.5, 20.5, 30.5, 36.0}},
    {"midpoint", 10, {0.0, 0.5, 6.5, 6.5, 20.5, 30.5, 42.5, 72.5, 81.0}},
    {"nearest", 1, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
    {"nearest", 2, {0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 1.0}},
    {"nearest", 3, {0.0, 0.0, 0.0, 1.0, 1.0, 1.0, 4.0, 4.0, 4.0}},
    {"nearest", 4, {0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 4.0, 9.0, 9.0}},
    {"nearest", 5, {0.0, 0.0, 1.0, 1.0, 4.0, 4.0, 9.0, 16.0, 16.0}},
    {"nearest", 7, {0.0, 1.0, 4.0, 4.0, 9.0, 16.0, 16.0, 25.0, 36.0}},
    {"nearest", 10, {0.0, 1.0, 4.0, 9.0, 16.0, 25.0, 49.0, 64.0, 81.0}},
};

TEST(QuantileMethods, PositionsAndInterpolationGiveNumpysValues)
{
    for (const numpy_row& row : numpy_rows) {
        quantile_method m;
        ASSERT_TRUE(quantile_method_named(row.method, &m));
        EXPECT_STREQ(row.method, name_of(m));
        for (std::size_t i = 0; i < probabilities.size(); ++i) {
            const quantile_position p = position_of(probabilities[i], static_cast<std::uint64_t>(row.n), m);
            number a;
            number b;
            a.floating = static_cast<double>(p.below * p.below);
            b.floating = static_cast<double>(p.above * p.above);
            const double got = p.exact ? a.floating : interpolate(a, b, p.gamma);
            EXPECT_EQ(row.expected[i], got) << row.method << " n " << row.n << " q " << probabilities[i];
        }
    }
    quantile_method m;
    EXPECT_FALSE(quantile_method_named("Linear", &m));
}

/// Order statistics of this rank's own data (MPI_COMM_SELF) against a sort,
/// for layouts that take both the counting over the values (many equal keys)
/// and over copied keys. Returns the values found, to compare paths with.
template <typename T>
std::vector<double> check_selection(int n, int distinct)
{
    SCOPED_TRACE(::testing::Message() << "n " << n << " distinct " << distinct << " type "
                                      << facts_of(number_type_of<T>::value).name);
    std::mt19937_64 gen(static_cast<unsigned>(n * 31 + distinct));
    std::vector<T> v(n);
    std::vector<double> sorted(n);
    for (int g = 0; g < n; ++g) {
        const double u = std::floor(std::uniform_real_distribution<double>(0, 1)(gen) * distinct) - distinct / 2;
        if constexpr (std::is_floating_point_v<T>) {
            v[g] = static_cast<T>(u * 0.37 + (g % 5 == 0 ? -0.0 : 0.0));
        } else if constexpr (std::is_signed_v<T>) {
            v[g] = static_cast<T>(std::fmod(u, static_cast<double>(std::numeric_limits<T>::max())));
        } else {
            v[g] = static_cast<T>(std::fabs(std::fmod(u, static_cast<double>(std::numeric_limits<T>::max()))));
        }
        sorted[g] = static_cast<double>(v[g]) + 0.0;
    }
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::uint64_t> ranks = {static_cast<std::uint64_t>(n - 1), 0, static_cast<std::uint64_t>(n / 3),
                                        static_cast<std::uint64_t>(n / 2), 0};
    order_statistics s(number_type_of<T>::value);
    s.add(values_of(v.data(), n));
    const value_counts c = s.count(MPI_COMM_SELF);
    EXPECT_EQ(n, c.values[0]);
    const std::vector<number> got = s.select(c, {ranks}, MPI_COMM_SELF)[0];
    std::vector<double> out;
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        EXPECT_EQ(got[i].as_double(), sorted[ranks[i]]) << "rank " << ranks[i];
        out.push_back(got[i].as_double());
    }
    return out;
}

TEST(OrderStatistics, EveryPathAndNumberTypeFindsTheSortedValues)
{
    std::vector<double> reference;
    const int ran = virda_test::for_each_runnable_path([&] {
        std::vector<double> all;
        for (const int n : {1, 7, 511, 513, 5000, 70000}) {
            for (const int distinct : {1, 3, 1000, 1 << 30}) {
                for (auto* check : {&check_selection<double>, &check_selection<float>, &check_selection<std::int32_t>,
                                    &check_selection<std::int64_t>, &check_selection<std::uint8_t>,
                                    &check_selection<std::int16_t>}) {
                    const auto found = check(n, distinct);
                    all.insert(all.end(), found.begin(), found.end());
                }
            }
        }
        if (reference.empty()) {
            reference = all;
        } else {
            EXPECT_EQ(all, reference);
        }
    });
    EXPECT_GE(ran, 1);
}

TEST(OrderStatistics, QuantilesAreTheSameBitsAtAnySplit)
{
    // Ties, both zeros and a wide spread; every method.
    std::vector<double> all(30011);
    std::mt19937_64 gen(5);
    for (std::size_t g = 0; g < all.size(); ++g) {
        const double u = std::normal_distribution<double>(0, 1)(gen);
        all[g] = g % 7 == 0 ? std::round(u) * (g % 2 == 0 ? 1 : -1) * 0.0 + std::round(u) : std::ldexp(u, static_cast<int>(g % 40) - 20);
    }
    std::vector<double> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    order_statistics s(number_type::float64);
    add_share(s, all);
    const std::vector<double> q = {0.0, 0.05, 0.25, 0.5, 0.75, 0.95, 1.0, 0.33};
    for (const auto& row : {"linear", "lower", "higher", "midpoint", "nearest", "inverted_cdf", "hazen",
                            "averaged_inverted_cdf", "closest_observation", "interpolated_inverted_cdf", "weibull",
                            "median_unbiased", "normal_unbiased"}) {
        quantile_method m;
        ASSERT_TRUE(quantile_method_named(row, &m));
        const std::vector<double> got = s.quantiles(q, MPI_COMM_WORLD, m)[0];
        for (std::size_t i = 0; i < q.size(); ++i) {
            const quantile_position p = position_of(q[i], sorted.size(), m);
            number a;
            number b;
            a.floating = sorted[p.below] + 0.0;
            b.floating = sorted[p.above] + 0.0;
            const double expected = p.exact ? a.floating : interpolate(a, b, p.gamma);
            EXPECT_EQ(expected, got[i]) << row << " q " << q[i];
        }
    }
}

TEST(OrderStatistics, ExchangeRoomRefusedOnOneRankSumsAlikeOnEveryRank)
{
    // Four columns of more than 2^16 rows: the first round's counts (a 16-bit
    // digit) go by the exchange between ranks, whose room the last rank is
    // refused. Every rank then sums that round by MPI_Allreduce instead: the
    // same quantiles, no rank left waiting.
    const std::size_t rows = 70000;
    std::vector<double> table(rows * 4);
    std::mt19937_64 random(29);
    std::uniform_real_distribution<double> uniform(-1e6, 1e6);
    for (double& v : table) {
        v = uniform(random);
    }
    const auto [first, end] = uneven_share(rows);
    order_statistics s(number_type::float64, 4);
    s.add(table_of(table.data() + 4 * first, static_cast<std::int64_t>(end - first), 4, 4));
    const std::vector<double> q = {0.0, 0.37, 1.0};
    const std::vector<std::vector<double>> expected = s.quantiles(q, MPI_COMM_WORLD);
    if (world_rank() == world_size() - 1) {
        detail::refuse_allocations(1, 2); // past the search's state and columns
    }
    const std::vector<std::vector<double>> got = s.quantiles(q, MPI_COMM_WORLD);
    if (world_size() > 1 && world_rank() == world_size() - 1) {
        EXPECT_NO_THROW(detail::check_allocation()) << "the exchange did not ask for its room";
    }
    detail::refuse_allocations(0);
    for (std::size_t j = 0; j < 4; ++j) {
        for (std::size_t i = 0; i < q.size(); ++i) {
            EXPECT_TRUE(same_bits(expected[j][i], got[j][i])) << "column " << j << " q " << q[i];
        }
    }
}

/// Refuses rank 0, then the last rank, each allocation of a fresh search of
/// the quantiles q of s in turn, its state first: every rank must then get
/// the same quantiles (the copy and the exchange have local ways out) or the
/// same out_of_memory, never a hang or a wrong number; and the run refused
/// nothing must have reached every one of `sites` on the rank.
void refuse_each_allocation(const order_statistics& s, const std::vector<double>& q,
                            const std::vector<std::string>& sites)
{
    const std::vector<std::vector<double>> expected = s.quantiles(q, MPI_COMM_WORLD);
    for (int refused_rank = 0; refused_rank < world_size(); refused_rank += std::max(1, world_size() - 1)) {
        const bool refused_here = world_rank() == refused_rank;
        int outcomes[2] = {0, 0}; // the same quantiles, out_of_memory everywhere
        for (int after = 0;; ++after) {
            // While another search holds the buffers a search on this thread
            // keeps for the next, the search of the quantiles allocates afresh.
            const selection_search holder(number_type::float64, value_counts{{1}, {0}, 1}, {{0}});
            if (refused_here) {
                detail::refuse_allocations(1, after);
            }
            int outcome = 2; // anything else: a wrong number or another error
            try {
                const std::vector<std::vector<double>> got = s.quantiles(q, MPI_COMM_WORLD);
                outcome = 0;
                for (std::size_t j = 0; j < got.size(); ++j) {
                    for (std::size_t i = 0; i < q.size(); ++i) {
                        outcome = same_bits(expected[j][i], got[j][i]) ? outcome : 2;
                    }
                }
            } catch (const error& e) {
                outcome = e.code() == error_code::out_of_memory ? 1 : 2;
            }
            int unused = 0;
            std::vector<std::string> reached;
            if (refused_here) {
                reached = detail::allocation_sites_checked();
                try {
                    detail::check_allocation();
                } catch (const std::bad_alloc&) {
                    unused = 1;
                }
                detail::refuse_allocations(0);
            }
            int least = 0;
            int most = 0;
            int done = 0;
            MPI_Allreduce(&outcome, &least, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
            MPI_Allreduce(&outcome, &most, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
            MPI_Allreduce(&unused, &done, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
            SCOPED_TRACE(::testing::Message() << "allocation " << after << " refused on rank " << refused_rank);
            ASSERT_EQ(least, most) << "the ranks ended differently";
            ASSERT_NE(2, outcome);
            if (done != 0) {
                ASSERT_EQ(0, outcome);
                for (const std::string& site : sites) {
                    EXPECT_TRUE(!refused_here || std::find(reached.begin(), reached.end(), site) != reached.end())
                        << site << " was not reached";
                }
                break;
            }
            ++outcomes[outcome];
        }
        EXPECT_GT(outcomes[0], 0) << "no refusal had a local way out (the copies)";
        EXPECT_GT(outcomes[1], 0) << "no refusal stopped the search (the counts)";
    }
}

TEST(OrderStatistics, MemoryRefusedOnOneRankInAnyRoundStopsEveryRankAlike)
{
    std::vector<std::string> sites = {"selection: state", "selection: columns", "selection: counts",
                                      "selection: scratch", "selection: copy",    "selection: pruned copy"};
    // Values repeated through a stride of 0 are counted without the scratch:
    // it first grows when the copies of their keys are counted.
    const double repeated[5] = {-2.5, 1.0, 3.0, 7.5, 1e9};
    order_statistics few(number_type::float64);
    for (int i = 0; i < 5; ++i) {
        few.add(values_view{&repeated[i], number_type::float64, 1000 + 100 * world_rank() + 10 * i, 0});
    }
    refuse_each_allocation(few, {0.25, 0.5}, sites);

    // Two columns of more than 2^16 rows, one mostly of ties and one spread:
    // a wide first digit whose counts go by the exchange, then rounds that
    // copy the keys in question. Every rank holds values, and copies of the
    // ties that outgrow the room the exchange left for pruning them.
    const std::size_t rows = 140000;
    const std::size_t columns = 2;
    std::vector<double> table(rows * columns);
    std::mt19937_64 random(31);
    std::uniform_real_distribution<double> uniform(-1e3, 1e3);
    for (std::size_t i = 0; i < table.size(); ++i) {
        const double u = uniform(random);
        table[i] = i % columns != 0 ? u : i % 32 == 0 ? std::floor(u / 50) : 1.0;
    }
    const auto size = static_cast<std::size_t>(world_size());
    const auto rank = static_cast<std::size_t>(world_rank());
    const std::size_t first = rows * rank / size;
    const std::size_t end = rows * (rank + 1) / size;
    order_statistics s(number_type::float64, static_cast<std::int64_t>(columns));
    s.add(table_of(table.data() + columns * first, static_cast<std::int64_t>(end - first),
                   static_cast<std::int64_t>(columns), static_cast<std::int64_t>(columns)));
    if (size > 1) {
        sites.push_back("selection: exchange");
    }
    refuse_each_allocation(s, {0.25, 0.5}, sites);
}

TEST(OrderStatistics, ColumnsShareTheirRoundsAndNanPolicies)
{
    // A (rows, 4) table; column 3 holds NaN in some rows.
    const std::size_t rows = 70000; // more than 2^16: a 16-bit digit, then four of 12
    std::vector<double> table(rows * 4);
    std::vector<std::vector<double>> columns(4);
    for (std::size_t i = 0; i < rows; ++i) {
        const double v[4] = {static_cast<double>(i % 97), -static_cast<double>(i), std::sin(static_cast<double>(i)),
                             i % 10 == 3 ? nan : static_cast<double>(i % 13)};
        for (int j = 0; j < 4; ++j) {
            table[i * 4 + j] = v[j];
            if (!std::isnan(v[j])) {
                columns[j].push_back(v[j]);
            }
        }
    }
    const auto [first, end] = uneven_share(rows);
    order_statistics s(number_type::float64, 4);
    s.add(table_of(table.data() + 4 * first, static_cast<std::int64_t>(end - first), 4, 4));
    const std::vector<double> q = {0.1, 0.5, 0.9};
    std::vector<std::vector<double>> kept;
    const auto counts = virda_test::mpi_counts_during([&] { kept = s.quantiles(q, MPI_COMM_WORLD); });
    // The count, then one sum per digit for all four columns: an
    // MPI_Allreduce, or at several ranks for 2^15 counts and more an
    // exchange of blocks point to point after one MPI_Allreduce that agrees
    // its room.
    EXPECT_EQ(1 + 5, counts.allreduces);
    EXPECT_TRUE(std::isnan(kept[3][0]));
    const auto omitted = s.quantiles(q, MPI_COMM_WORLD, quantile_method::linear, nan_policy::omit);
    for (int j = 0; j < 4; ++j) {
        std::vector<double> sorted = columns[j];
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t i = 0; i < q.size(); ++i) {
            const quantile_position p = position_of(q[i], sorted.size(), quantile_method::linear);
            number a;
            number b;
            a.floating = sorted[p.below] + 0.0;
            b.floating = sorted[p.above] + 0.0;
            EXPECT_EQ(interpolate(a, b, p.gamma), omitted[j][i]) << "column " << j;
            if (j < 3) {
                EXPECT_EQ(omitted[j][i], kept[j][i]);
            }
        }
    }
}

TEST(OrderStatistics, AStreamedSearchCopiesKeysOnceTheyFitItsBudget)
{
    // 2^17 values on every rank: the first round reads them all; with room
    // for the keys in question, the second pass copies them and later
    // rounds read nothing; with no room (or too little for the copy and the
    // room it reserves past the keys) every round reads the values.
    const std::size_t n = std::size_t{1} << 17;
    std::vector<std::int64_t> mine(n);
    for (std::size_t i = 0; i < n; ++i) {
        // Spread over the whole range: the first digit leaves few in question.
        mine[i] = static_cast<std::int64_t>((i + 1) * 0x9e3779b97f4a7c15ull * static_cast<std::uint64_t>(world_rank() + 1));
    }
    order_statistics all(number_type::int64);
    all.add(values_of(mine.data(), static_cast<std::int64_t>(n)));
    const value_counts counts = all.count(MPI_COMM_WORLD);
    const std::vector<std::vector<std::uint64_t>> ranks = {{0, static_cast<std::uint64_t>(counts.values[0] / 2), static_cast<std::uint64_t>(counts.values[0] - 1)}};
    const auto expected = all.select(counts, ranks, MPI_COMM_WORLD)[0];
    for (const std::size_t budget : {std::size_t{0}, std::size_t{4096}, std::size_t{1} << 24}) {
        selection_search search(number_type::int64, counts, ranks, budget);
        while (!search.finished()) {
            if (search.wants_values()) {
                // In slabs, as a file is read.
                for (std::size_t i = 0; i < n; i += 10000) {
                    search.add(values_of(mine.data() + i, static_cast<std::int64_t>(std::min<std::size_t>(10000, n - i))));
                }
            }
            search.end_round(MPI_COMM_WORLD);
        }
        const auto got = search.result()[0];
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(expected[i].signed_, got[i].signed_);
        }
        EXPECT_EQ(5, search.rounds());
        EXPECT_EQ(budget < 4096 * 8 ? 5 : 2, search.passes()) << "budget " << budget;
    }
}

// A float32 key holds 35 bits that differ; the search finds them in five
// rounds over many columns (three for many values) and completes the rest
// from the sign: negative values, -0.0 with +0.0, subnormals, the extremes
// and infinities come back exactly.
TEST(OrderStatistics, Float32SearchesTakeTheirSignificantBitsOnly)
{
    const float big = std::numeric_limits<float>::max();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> pool = {-inf, -big, -1.5f, -tiny, -0.0f, 0.0f, tiny, 1e-38f, 2.5f, big, inf, -3e-39f};
    for (const std::size_t columns : {std::size_t{1}, std::size_t{65}}) {
        const std::size_t rows = columns == 1 ? 70000 : 40;
        // Row i of column j: pool entry (i * 7 + j + rank) mod size.
        std::vector<float> mine(rows * columns);
        for (std::size_t i = 0; i < rows; ++i) {
            for (std::size_t j = 0; j < columns; ++j) {
                mine[i * columns + j] = pool[(i * 7 + j + static_cast<std::size_t>(world_rank())) % pool.size()];
            }
        }
        order_statistics all(number_type::float32, static_cast<std::int64_t>(columns));
        all.add(table_of(mine.data(), static_cast<std::int64_t>(rows), static_cast<std::int64_t>(columns),
                         static_cast<std::int64_t>(columns)));
        const value_counts counts = all.count(MPI_COMM_WORLD);
        std::vector<std::vector<std::uint64_t>> ranks(columns);
        for (std::size_t j = 0; j < columns; ++j) {
            const auto n = static_cast<std::uint64_t>(counts.values[j]);
            ranks[j] = {0, n / 3, n / 2, n - 1};
        }
        selection_search search(number_type::float32, counts, ranks);
        while (!search.finished()) {
            if (search.wants_values()) {
                search.add(table_of(mine.data(), static_cast<std::int64_t>(rows), static_cast<std::int64_t>(columns),
                                    static_cast<std::int64_t>(columns)));
            }
            search.end_round(MPI_COMM_WORLD);
        }
        EXPECT_EQ(columns == 1 ? 3 : 5, search.rounds());
        // Every rank's values, sorted: the expected order statistics.
        const auto found = search.result();
        for (std::size_t j = 0; j < columns; ++j) {
            std::vector<double> column;
            for (int r = 0; r < world_size(); ++r) {
                for (std::size_t i = 0; i < rows; ++i) {
                    column.push_back(static_cast<double>(pool[(i * 7 + j + static_cast<std::size_t>(r)) % pool.size()]));
                }
            }
            std::sort(column.begin(), column.end());
            for (std::size_t q = 0; q < ranks[j].size(); ++q) {
                const double want = column[static_cast<std::size_t>(ranks[j][q])];
                EXPECT_EQ(want, found[j][q].floating) << "column " << j << " rank " << ranks[j][q];
                if (want != 0) {
                    EXPECT_EQ(std::signbit(want), std::signbit(found[j][q].floating));
                }
            }
        }
    }
}

TEST(OrderStatistics, RepeatedValuesCountAsTheirCopies)
{
    // Each rank: a few distinct values, a value repeated through a stride of
    // 0 and a table whose one row repeats. Every method gives the bits of the
    // same values written out; NaN repeated is counted as often.
    const int rank = world_rank();
    const std::vector<double> own = {-3.5, 0.25 * rank, 7.0, -0.0};
    const double repeated = 1.5 + rank;
    const std::int64_t times = 1000 + 37 * rank;
    const double row[3] = {2.0 * rank, -1.0, nan};
    const std::int64_t row_times = 50 + rank;

    std::vector<double> written = own;
    written.insert(written.end(), static_cast<std::size_t>(times), repeated);
    for (std::int64_t i = 0; i < row_times; ++i) {
        written.insert(written.end(), row, row + 3);
    }
    order_statistics viewed(number_type::float64);
    viewed.add(values_of(own.data(), 4));
    viewed.add(values_view{&repeated, number_type::float64, times, 0});
    viewed.add(table_view{row, number_type::float64, row_times, 3, 0, sizeof(double)});
    order_statistics copied(number_type::float64);
    copied.add(values_of(written.data(), static_cast<std::int64_t>(written.size())));

    const value_counts counts = viewed.count(MPI_COMM_WORLD);
    EXPECT_EQ(copied.count(MPI_COMM_WORLD).values, counts.values);
    std::int64_t nans = 0;
    for (int r = 0; r < world_size(); ++r) {
        nans += 50 + r;
    }
    EXPECT_EQ(nans, counts.nans[0]);
    const std::vector<double> q = {0.0, 0.1, 0.5, 0.77, 1.0};
    for (const auto& name : {"linear", "lower", "nearest", "median_unbiased"}) {
        quantile_method m;
        ASSERT_TRUE(quantile_method_named(name, &m));
        const auto a = viewed.quantiles(q, MPI_COMM_WORLD, m, nan_policy::omit)[0];
        const auto b = copied.quantiles(q, MPI_COMM_WORLD, m, nan_policy::omit)[0];
        for (std::size_t i = 0; i < q.size(); ++i) {
            EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << name << " q " << q[i];
        }
    }

    // Beyond 2^32 values per rank at the cost of a few: rank r repeats r.
    order_statistics huge(number_type::int32);
    const std::int32_t value = rank;
    huge.add(values_view{&value, number_type::int32, std::int64_t{1} << 33, 0});
    const auto median = huge.quantiles({0.5, 1.0}, MPI_COMM_WORLD, quantile_method::lower)[0];
    EXPECT_EQ((world_size() - 1) / 2, median[0]);
    EXPECT_EQ(world_size() - 1, median[1]);
}

TEST(OrderStatistics, BadArgumentsAndDisagreementsThrowOnEveryRank)
{
    order_statistics s(number_type::float64);
    const double v = 1.0;
    s.add(values_of(&v, 1));
    EXPECT_THROW(s.quantiles({1.5}, MPI_COMM_WORLD), error);
    EXPECT_THROW(s.quantiles({nan}, MPI_COMM_WORLD), error);
    const value_counts c = s.count(MPI_COMM_WORLD);
    EXPECT_THROW(s.select(c, {{static_cast<std::uint64_t>(c.values[0])}}, MPI_COMM_WORLD), error);
    // Every rank expects a total of its own: all throw alike.
    bool thrown = false;
    try {
        (void)s.count(MPI_COMM_WORLD, world_rank() + 1); // right at one rank only
    } catch (const error& e) {
        thrown = e.code() == error_code::ranks_disagree;
    }
    EXPECT_TRUE(world_size() == 1 ? !thrown : thrown);
    // No values anywhere: NaN, no selection rounds.
    order_statistics none(number_type::float32);
    EXPECT_TRUE(std::isnan(none.quantiles({0.5}, MPI_COMM_WORLD)[0][0]));
}

} // namespace
