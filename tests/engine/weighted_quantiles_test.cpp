// Exact weighted quantiles over blocks, columns and ranks: every rank builds
// the whole data from the global index and holds an uneven share of it (the
// last of three or more ranks none); results are checked against values
// repeated by their integer weights, against a sort with exact cumulative
// weights, and against one rank holding everything.

#include "engine_test_support.h"

#include "engine/allocation_failures.h"
#include "engine/order_statistics.h"
#include "engine/weighted_quantiles.h"

#include <algorithm>
#include <numeric>
#include <random>

namespace {

using namespace engine_test;

const double nan = std::numeric_limits<double>::quiet_NaN();

/// Adds this rank's share of (x, w) in blocks of growing size.
template <typename T, typename W>
void add_share(weighted_quantiles& s, const std::vector<T>& x, const std::vector<W>& w)
{
    const auto [first, end] = uneven_share(x.size());
    std::size_t block = 1 + static_cast<std::size_t>(world_rank()) * 5;
    for (std::size_t i = first; i < end;) {
        const std::size_t m = std::min(block, end - i);
        s.add(values_of(x.data() + i, static_cast<std::int64_t>(m)),
              values_of(w.data() + i, static_cast<std::int64_t>(m)));
        i += m;
        block = 2 * block + 1;
    }
}

const std::vector<double> probabilities{0.0, 1e-9, 0.1, 0.25, 0.3, 0.5, 0.5, 0.7, 0.75, 0.9, 0.999, 1.0};

/// The quantile by the definition, for integer weights: the smallest value
/// whose cumulative weight w_c satisfies w_c >= q W, compared in long
/// double (exact for these small totals).
double by_definition(std::vector<std::pair<double, std::int64_t>> pairs, double q)
{
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::int64_t total = 0;
    for (const auto& p : pairs) {
        total += p.second;
    }
    std::int64_t cumulative = 0;
    for (const auto& p : pairs) {
        cumulative += p.second;
        if (static_cast<long double>(cumulative) >= static_cast<long double>(q) * total) {
            return p.first + 0.0;
        }
    }
    return pairs.back().first;
}

TEST(WeightedQuantiles, IntegerWeightsGiveTheQuantilesOfRepeatedValues)
{
    std::mt19937_64 gen(7);
    for (const std::size_t n :
         {std::size_t{1}, std::size_t{2}, std::size_t{13}, std::size_t{500}, std::size_t{70000}}) {
        std::vector<double> x(n);
        std::vector<std::int32_t> w(n);
        for (std::size_t i = 0; i < n; ++i) {
            // Ties, both zeros, negatives and a wide range.
            const auto pick = gen() % 8;
            x[i] = pick == 0   ? -0.0
                   : pick == 1 ? 0.0
                               : static_cast<double>(static_cast<std::int64_t>(gen() % 41) - 20) / 4;
            if (pick == 7) {
                x[i] = std::ldexp(static_cast<double>(gen() % 1000), static_cast<int>(gen() % 200) - 100);
            }
            w[i] = static_cast<std::int32_t>(gen() % 4); // zeros included
        }
        w[0] = std::max(w[0], 1);
        std::vector<double> repeated;
        std::vector<std::pair<double, std::int64_t>> pairs;
        for (std::size_t i = 0; i < n; ++i) {
            repeated.insert(repeated.end(), static_cast<std::size_t>(w[i]), x[i]);
            pairs.emplace_back(x[i], w[i]);
        }
        weighted_quantiles s(number_type::float64, number_type::int32);
        add_share(s, x, w);
        const std::vector<double> got = s.quantiles(probabilities, MPI_COMM_WORLD)[0];

        order_statistics plain(number_type::float64);
        if (world_rank() == 0) {
            plain.add(values_of(repeated.data(), static_cast<std::int64_t>(repeated.size())));
        }
        const std::vector<double> want =
            plain.quantiles(probabilities, MPI_COMM_WORLD, quantile_method::inverted_cdf)[0];
        for (std::size_t i = 0; i < probabilities.size(); ++i) {
            // At q = 0 the smallest value counts even with no weight: not
            // among the repeated values.
            EXPECT_TRUE(probabilities[i] == 0 || same_bits(want[i], got[i]))
                << n << " values, q " << probabilities[i] << ": " << got[i];
            EXPECT_TRUE(same_bits(by_definition(pairs, probabilities[i]), got[i])) << n << " q " << probabilities[i];
        }
    }
}

TEST(WeightedQuantiles, ColumnsOfATableAndIntegerValues)
{
    // A (rows, 3) table of int64 values with float weights that are
    // integers and halves: column j's weights scaled by 2^-j.
    const std::size_t rows = 3001;
    std::vector<std::int64_t> x(rows * 3);
    std::vector<float> w(rows * 3);
    std::mt19937_64 gen(11);
    for (std::size_t i = 0; i < rows * 3; ++i) {
        x[i] = static_cast<std::int64_t>(gen() % 100) - 50 + (i % 3 == 2 ? (std::int64_t{1} << 60) : 0);
        w[i] = std::ldexp(static_cast<float>(gen() % 5), -static_cast<int>(i % 3));
    }
    const auto [first, end] = uneven_share(rows);
    weighted_quantiles s(number_type::int64, number_type::float32, 3);
    s.add(table_of(x.data() + 3 * first, static_cast<std::int64_t>(end - first), 3, 3),
          table_of(w.data() + 3 * first, static_cast<std::int64_t>(end - first), 3, 3));
    const auto got = s.select(probabilities, MPI_COMM_WORLD);
    ASSERT_EQ(3u, got.size());
    for (std::size_t j = 0; j < 3; ++j) {
        std::vector<std::pair<double, std::int64_t>> pairs;
        for (std::size_t i = 0; i < rows; ++i) {
            // Exact: the offset of column 2 is taken off before converting.
            const std::int64_t v = x[3 * i + j] - (j == 2 ? (std::int64_t{1} << 60) : 0);
            pairs.emplace_back(static_cast<double>(v),
                               static_cast<std::int64_t>(std::ldexp(w[3 * i + j], static_cast<int>(j))));
        }
        for (std::size_t i = 0; i < probabilities.size(); ++i) {
            ASSERT_FALSE(got[j][i].nan);
            EXPECT_EQ(number_type::int64, got[j][i].value.type);
            const std::int64_t v = got[j][i].value.signed_ - (j == 2 ? (std::int64_t{1} << 60) : 0);
            EXPECT_EQ(by_definition(pairs, probabilities[i]), static_cast<double>(v)) << "column " << j;
        }
    }
}

TEST(WeightedQuantiles, TheSameBitsAtAnySplitWithWeightsOfEveryMagnitude)
{
    // Weights from 2^-1074 to 1e300 and fractions that no double sum adds
    // exactly: every rank count gives what one rank holding all gives.
    const std::size_t n = 20000;
    std::vector<float> x(n);
    std::vector<double> w(n);
    std::mt19937_64 gen(3);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(u(gen) * 10 - 5);
        const auto pick = gen() % 10;
        w[i] = pick == 0 ? std::ldexp(1.0, -1074) : pick == 1 ? 1e300 * u(gen) : pick == 2 ? 0.0 : u(gen) / 3;
    }
    x[5] = nan;
    weighted_quantiles all(number_type::float32, number_type::float64);
    weighted_quantiles mine(number_type::float32, number_type::float64);
    all.add(values_of(x.data(), static_cast<std::int64_t>(n)), values_of(w.data(), static_cast<std::int64_t>(n)));
    add_share(mine, x, w);
    for (const nan_policy policy : {nan_policy::propagate, nan_policy::omit}) {
        const auto alone = all.quantiles(probabilities, MPI_COMM_SELF, policy)[0];
        const auto split = mine.quantiles(probabilities, MPI_COMM_WORLD, policy)[0];
        for (std::size_t i = 0; i < probabilities.size(); ++i) {
            EXPECT_TRUE(same_bits(alone[i], split[i])) << probabilities[i];
            EXPECT_EQ(policy == nan_policy::propagate, std::isnan(split[i]));
        }
    }
    // Only the huge weights count against them: the tiny and fractional ones
    // change the result only where a huge weight is reached exactly.
    std::vector<std::pair<double, double>> pairs;
    for (std::size_t i = 0; i < n; ++i) {
        if (w[i] > 1e200 && x[i] == x[i]) {
            pairs.emplace_back(x[i], w[i]);
        }
    }
    std::sort(pairs.begin(), pairs.end());
    const double median = mine.quantiles({0.5}, MPI_COMM_WORLD, nan_policy::omit)[0][0];
    const auto below = std::lower_bound(pairs.begin(), pairs.end(), std::make_pair(median, 0.0));
    ASSERT_NE(pairs.end(), below);
    EXPECT_EQ(below->first, median); // a value of huge weight
}

TEST(WeightedQuantiles, NanValuesZeroWeightsAndEmptyColumns)
{
    // Column 0: NaN values with heavy weights; column 1: every weight 0;
    // column 2: no values that are not NaN.
    std::vector<double> x;
    std::vector<std::uint8_t> w;
    for (int g = 0; g < 30; ++g) {
        if (g % world_size() != world_rank()) {
            continue;
        }
        x.insert(x.end(), {g % 3 == 0 ? nan : static_cast<double>(g), static_cast<double>(-g), nan});
        w.insert(w.end(), {static_cast<std::uint8_t>(g % 3 == 0 ? 200 : 1), 0, 1});
    }
    weighted_quantiles s(number_type::float64, number_type::uint8, 3);
    s.add(table_of(x.data(), static_cast<std::int64_t>(x.size() / 3), 3, 3),
          table_of(w.data(), static_cast<std::int64_t>(w.size() / 3), 3, 3));
    const auto kept = s.quantiles({0.0, 0.5, 1.0}, MPI_COMM_WORLD, nan_policy::propagate);
    const auto left_out = s.quantiles({0.0, 0.5, 1.0}, MPI_COMM_WORLD, nan_policy::omit);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(std::isnan(kept[0][i]));
        // No weight in total: the smallest value for every probability.
        EXPECT_EQ(-29.0, kept[1][i]);
        EXPECT_EQ(-29.0, left_out[1][i]);
        EXPECT_TRUE(std::isnan(kept[2][i]) && std::isnan(left_out[2][i]));
    }
    // Values 1, 2, 4, 5, ..., 29 of weight 1: 20 values; the 10th is 14.
    EXPECT_EQ(1.0, left_out[0][0]);
    EXPECT_EQ(14.0, left_out[0][1]);
    EXPECT_EQ(29.0, left_out[0][2]);

    // A value of weight 0 is the quantile of probability 0 only.
    std::vector<double> y{world_rank() == 0 ? -7.0 : 3.0, 1.0};
    std::vector<double> v{0.0, world_rank() == 0 ? 2.0 : 0.0};
    weighted_quantiles z(number_type::float64, number_type::float64);
    z.add(values_of(y.data(), 2), values_of(v.data(), 2));
    const auto q = z.quantiles({0.0, 1e-300, 1.0}, MPI_COMM_WORLD)[0];
    EXPECT_EQ(-7.0, q[0]);
    EXPECT_EQ(1.0, q[1]);
    EXPECT_EQ(1.0, q[2]);

    // No weight on any rank.
    std::vector<double> none{0.0, 0.0};
    weighted_quantiles empty_weight(number_type::float64, number_type::float64);
    empty_weight.add(values_of(y.data(), 2), values_of(none.data(), 2));
    EXPECT_EQ(-7.0, empty_weight.quantiles({0.0, 0.5, 1.0}, MPI_COMM_WORLD)[0][2]);
}

TEST(WeightedQuantiles, BadWeightsAndDisagreementsThrowOnEveryRank)
{
    const int last = world_size() - 1;
    std::vector<double> x{1.0, 2.0, 3.0};
    for (const double bad : {-1.0, nan, std::numeric_limits<double>::infinity(), -0.0}) {
        std::vector<double> w{1.0, world_rank() == last ? bad : 1.0, 1.0};
        weighted_quantiles s(number_type::float64, number_type::float64);
        s.add(values_of(x.data(), 3), values_of(w.data(), 3));
        std::string message;
        const int code = code_of([&] {
            try {
                (void)s.quantiles({0.5}, MPI_COMM_WORLD, nan_policy::omit);
            } catch (const error& e) {
                message = e.what();
                throw;
            }
        });
        if (bad == 0) {
            EXPECT_EQ(0, code); // -0.0 is a weight of 0
            continue;
        }
        EXPECT_EQ(static_cast<int>(error_code::invalid_argument), code) << bad;
        EXPECT_EQ(bad < 0 ? "Weights must be non-negative." : "Weights must be finite.", message);
    }
    // A negative integer weight, on a rank whose value is NaN.
    std::vector<double> y{nan};
    std::vector<std::int16_t> v{static_cast<std::int16_t>(world_rank() == last ? -1 : 1)};
    weighted_quantiles s(number_type::float64, number_type::int16);
    s.add(values_of(y.data(), 1), values_of(v.data(), 1));
    EXPECT_EQ(static_cast<int>(error_code::invalid_argument),
              code_of([&] { (void)s.quantiles({0.5}, MPI_COMM_WORLD); }));

    // Probabilities outside [0, 1]: before any communication.
    EXPECT_EQ(static_cast<int>(error_code::invalid_argument),
              code_of([&] { (void)s.quantiles({1.5}, MPI_COMM_WORLD); }));
    EXPECT_EQ(static_cast<int>(error_code::invalid_argument),
              code_of([&] { (void)s.quantiles({nan}, MPI_COMM_WORLD); }));
    EXPECT_THROW(weighted_quantiles(number_type::float64, number_type::float64, 0), error);
    std::vector<float> f{1.0f};
    EXPECT_THROW(s.add(values_of(f.data(), 1), values_of(v.data(), 1)), error);

    // Other columns or weight types on the last rank: every rank throws.
    for (const bool other_columns : {true, false}) {
        const bool odd = world_rank() == last && world_size() > 1;
        std::vector<double> t{1.0, 2.0};
        std::vector<double> tw{1.0, 1.0};
        std::vector<std::int64_t> iw{1, 1};
        weighted_quantiles a(number_type::float64, odd && !other_columns ? number_type::int64 : number_type::float64,
                             odd && other_columns ? 2 : 1);
        if (odd && !other_columns) {
            a.add(values_of(t.data(), 2), values_of(iw.data(), 2));
        } else if (odd) {
            a.add(table_of(t.data(), 1, 2, 2), table_of(tw.data(), 1, 2, 2));
        } else {
            a.add(values_of(t.data(), 2), values_of(tw.data(), 2));
        }
        EXPECT_EQ(world_size() > 1 ? static_cast<int>(error_code::ranks_disagree) : 0,
                  code_of([&] { (void)a.quantiles({0.5}, MPI_COMM_WORLD); }));
    }
}

TEST(WeightedQuantiles, ARankThatCannotAllocateItsCountsStopsEveryRank)
{
    const int last = world_size() - 1;
    std::vector<double> x{1.0, 2.0};
    std::vector<double> w{1.0, 3.0};
    weighted_quantiles s(number_type::float64, number_type::float64);
    s.add(values_of(x.data(), 2), values_of(w.data(), 2));
    if (world_rank() == last) {
        virda::engine::detail::refuse_allocations(1);
    }
    int code = 0;
    int rank = -2;
    try {
        (void)s.quantiles({0.5}, MPI_COMM_WORLD);
    } catch (const error& e) {
        code = static_cast<int>(e.code());
        rank = e.rank();
    }
    virda::engine::detail::refuse_allocations(0);
    EXPECT_EQ(static_cast<int>(error_code::out_of_memory), code);
    EXPECT_EQ(last, rank);
    // Afterwards the same object finds its quantile.
    EXPECT_EQ(2.0, s.quantiles({0.5}, MPI_COMM_WORLD)[0][0]);
}

} // namespace
