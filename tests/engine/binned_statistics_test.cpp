// Binned statistics over ranks: every rank builds the whole data from the
// global index and holds an uneven share of it in blocks (the last of three
// or more ranks none); results are checked bit for bit against the same
// statistics of all the data on one rank, and against serial oracles
// (sorting, exact cancellations) computed on every rank.

#include "engine_test_support.h"

#include "engine/allocation_failures.h"
#include "engine/bin_totals.h"
#include "engine/binned_statistics.h"

#include <algorithm>

namespace {

using namespace engine_test;

const double nan = std::numeric_limits<double>::quiet_NaN();

/// Points of two value columns: bins g * 7 % bins (some bins left empty
/// when bins is odd-sized), values spanning many magnitudes with ties,
/// signed zeros, NaN and infinities in a few bins, and points left out
/// (bin -1).
struct points {
    std::int64_t bins;
    std::vector<std::int64_t> bin;
    std::vector<double> values; // rows of two columns
};

points make_points(std::size_t n, std::int64_t bins)
{
    points p{bins, {}, {}};
    for (std::size_t g = 0; g < n; ++g) {
        std::int64_t b = static_cast<std::int64_t>(g * 7 % static_cast<std::size_t>(bins - 3));
        if (g % 97 == 5) {
            b = -1;
        }
        const double scale = std::ldexp(1.0, static_cast<int>(g % 13) * 70 - 420);
        double v = (static_cast<double>(g % 11) - 5.0) * scale + static_cast<double>(g % 3);
        if (g % 89 == 0) {
            v = -0.0;
        }
        double w = static_cast<double>(g % 5); // many ties
        if (b == 4 && g % 3 == 0) {
            w = nan;
        }
        if (b == 6 && g % 2 == 0) {
            v = g % 4 == 0 ? INFINITY : -INFINITY;
        }
        p.bin.push_back(b);
        p.values.push_back(v);
        p.values.push_back(w);
    }
    return p;
}

binned_statistics_wanted everything()
{
    binned_statistics_wanted w;
    w.sum = w.mean = w.std = w.min = w.max = w.median = true;
    w.quantiles = {0.0, 0.1, 0.25, 0.5, 0.9, 1.0};
    return w;
}

/// Adds points [first, end) in blocks of growing size.
void add_range(binned_statistics& s, const points& p, std::size_t first, std::size_t end)
{
    std::size_t block = 1 + static_cast<std::size_t>(world_rank()) * 3;
    for (std::size_t i = first; i < end;) {
        const std::size_t m = std::min(block, end - i);
        s.add(values_of(p.bin.data() + i, static_cast<std::int64_t>(m)),
              table_of(p.values.data() + 2 * i, static_cast<std::int64_t>(m), 2, 2));
        i += m;
        block = 2 * block + 1;
    }
}

void expect_same(const binned_statistics_result& a, const binned_statistics_result& b)
{
    EXPECT_EQ(a.counts, b.counts);
    EXPECT_EQ(a.nan_counts, b.nan_counts);
    EXPECT_TRUE(same_bits(a.sum, b.sum));
    EXPECT_TRUE(same_bits(a.mean, b.mean));
    EXPECT_TRUE(same_bits(a.std, b.std));
    EXPECT_TRUE(same_bits(a.min, b.min));
    EXPECT_TRUE(same_bits(a.max, b.max));
    EXPECT_TRUE(same_bits(a.median, b.median));
    ASSERT_EQ(a.quantiles.size(), b.quantiles.size());
    for (std::size_t q = 0; q < a.quantiles.size(); ++q) {
        EXPECT_TRUE(same_bits(a.quantiles[q], b.quantiles[q])) << "quantile " << q;
    }
}

TEST(EngineBinnedStatistics, EveryStatisticIsTheSameBitsAtAnySplitAndRankCount)
{
    const points p = make_points(20011, 40);
    const auto [first, end] = uneven_share(p.bin.size());
    binned_statistics spread(p.bins, 2);
    add_range(spread, p, first, end);
    const binned_statistics_result got = spread.finish(MPI_COMM_WORLD, everything());

    // All the points on this rank alone, in one block, in reverse order.
    points reversed = p;
    std::reverse(reversed.bin.begin(), reversed.bin.end());
    for (std::size_t i = 0; i < p.bin.size(); ++i) {
        reversed.values[2 * i] = p.values[2 * (p.bin.size() - 1 - i)];
        reversed.values[2 * i + 1] = p.values[2 * (p.bin.size() - 1 - i) + 1];
    }
    binned_statistics alone(p.bins, 2);
    alone.add(values_of(reversed.bin.data(), static_cast<std::int64_t>(p.bin.size())),
              table_of(reversed.values.data(), static_cast<std::int64_t>(p.bin.size()), 2, 2));
    expect_same(got, alone.finish(MPI_COMM_SELF, everything()));
}

TEST(EngineBinnedStatistics, MomentsFromTotalsPerBinAreTheBitsOfTheGatheredValues)
{
    // About 500 points per bin: sums, means and deviations alone are taken
    // from exact totals per bin, everything() gathers each bin's values.
    const points p = make_points(20011, 40);
    const auto [first, end] = uneven_share(p.bin.size());
    binned_statistics spread(p.bins, 2);
    add_range(spread, p, first, end);
    binned_statistics_wanted moments;
    moments.sum = moments.mean = moments.std = true;
    const binned_statistics_result by_totals = spread.finish(MPI_COMM_WORLD, moments);
    const binned_statistics_result by_values = spread.finish(MPI_COMM_WORLD, everything());
    EXPECT_EQ(by_values.counts, by_totals.counts);
    EXPECT_TRUE(same_bits(by_values.sum, by_totals.sum));
    EXPECT_TRUE(same_bits(by_values.mean, by_totals.mean));
    EXPECT_TRUE(same_bits(by_values.std, by_totals.std));
    EXPECT_TRUE(by_totals.min.empty() && by_totals.median.empty() && by_totals.quantiles.empty());

    // Only -0.0 in bin 0 (a total of -0.0, deviation 0), 1e300 and -1e300
    // with ones in bin 1 (exactly the ones), bin 2 empty (0, no mean).
    const std::int64_t n = 300;
    std::vector<std::int64_t> bin(static_cast<std::size_t>(n));
    std::vector<double> value(static_cast<std::size_t>(n));
    for (std::int64_t g = 0; g < n; ++g) {
        bin[static_cast<std::size_t>(g)] = g % 2;
        value[static_cast<std::size_t>(g)] = g % 2 == 0 ? -0.0 : (g == 1 ? 1e300 : (g == 3 ? -1e300 : 1.0));
    }
    const auto [lo, hi] = uneven_share(static_cast<std::size_t>(n));
    binned_statistics few(3, 1);
    few.add(values_of(bin.data() + lo, static_cast<std::int64_t>(hi - lo)),
            table_of(value.data() + lo, static_cast<std::int64_t>(hi - lo), 1, 1));
    const binned_statistics_result r = few.finish(MPI_COMM_WORLD, moments);
    EXPECT_TRUE(r.sum[0] == 0.0 && std::signbit(r.sum[0]) && std::signbit(r.mean[0]));
    EXPECT_EQ(0.0, r.std[0]);
    EXPECT_EQ(148.0, r.sum[1]);
    EXPECT_EQ(148.0 / 150.0, r.mean[1]);
    EXPECT_TRUE(r.sum[2] == 0.0 && !std::signbit(r.sum[2]) && std::isnan(r.mean[2]) && std::isnan(r.std[2]));
}

TEST(EngineBinnedStatistics, PerBinTotalsHoldWhatOneExactTotalPerBinHolds)
{
    // Per cell, values of many magnitudes in an order that moves the
    // accumulator's units up (a tiny first value, then ones, then 2^80),
    // leaves some far below them, and mixes signs, subnormals, 64-bit
    // integers beyond 2^53 and special values: every record the bits of
    // adding each value straight to an exact total.
    constexpr std::size_t cells = 5;
    virda::engine::detail::bin_totals totals(cells);
    std::vector<virda::engine::detail::exact_total> want(cells);
    const auto put = [&](std::size_t c, double x) {
        totals.add(c, x);
        virda::engine::detail::add_exactly(want[c], x);
    };
    for (int g = 0; g < 3000; ++g) {
        const std::size_t c = static_cast<std::size_t>(g) % 4;
        const double sign = g % 7 == 0 ? -1.0 : 1.0;
        put(c, sign * std::ldexp(1.0 + g % 5 / 3.0, g == 0 ? -60 : (g * 29) % 150 - 75));
        if (g % 500 == 3) {
            put(c, std::ldexp(1.0, 80));
            put(c, std::numeric_limits<double>::denorm_min());
        }
    }
    put(0, -std::ldexp(1.0, 80));
    put(1, INFINITY);
    put(2, nan);
    put(4, -0.0);
    const std::int64_t big = (std::int64_t{1} << 62) + 1;
    totals.add_value(3, big);
    totals.add_value(3, -big);
    totals.add_value(3, std::int64_t{-3});
    virda::engine::detail::add_exactly(want[3], -3.0);
    std::vector<std::int64_t> got(cells * virda::engine::detail::exact_record_fields);
    totals.write_records(got.data());
    for (std::size_t c = 0; c < cells; ++c) {
        std::vector<std::int64_t> expected(virda::engine::detail::exact_record_fields);
        virda::engine::detail::write_record(want[c], expected.data());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                               got.begin() + static_cast<std::ptrdiff_t>(c * expected.size())))
            << "cell " << c;
    }
}

/// Every cell's record from bin_totals against adding each value straight
/// to an exact total, for a per-cell list of values added round-robin.
void expect_totals_as_exact(const std::vector<std::vector<double>>& per_cell, bool fold_midway)
{
    namespace d = virda::engine::detail;
    d::bin_totals totals(per_cell.size());
    std::vector<d::exact_total> want(per_cell.size());
    std::size_t longest = 0;
    for (const auto& v : per_cell) {
        longest = std::max(longest, v.size());
    }
    for (std::size_t i = 0; i < longest; ++i) {
        if (fold_midway && i == longest / 2) {
            totals.fold();
        }
        for (std::size_t c = 0; c < per_cell.size(); ++c) {
            if (i < per_cell[c].size()) {
                totals.add(c, per_cell[c][i]);
                d::add_exactly(want[c], per_cell[c][i]);
            }
        }
    }
    std::vector<std::int64_t> got(per_cell.size() * d::exact_record_fields);
    totals.write_records(got.data());
    for (std::size_t c = 0; c < per_cell.size(); ++c) {
        d::normalise(want[c]);
        std::vector<std::int64_t> expected(d::exact_record_fields);
        d::write_record(want[c], expected.data());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                               got.begin() + static_cast<std::ptrdiff_t>(c * expected.size())))
            << "cell " << c << (fold_midway ? " (folded midway)" : "");
        const double rounded = d::round_to_double(d::read_record(got.data() + c * d::exact_record_fields));
        EXPECT_TRUE(same_bits(d::round_to_double(want[c]), rounded)) << "cell " << c;
    }
}

TEST(EngineBinnedStatistics, PerBinTotalsAtTheEdgesOfTheAccumulator)
{
    const double max = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double least_normal = std::numeric_limits<double>::min();
    const std::vector<std::vector<double>> cells = {
        // Near the greatest double, where the units stop rising: infinities
        // and NaN must not pass for numbers, and max - max cancels exactly.
        {max, max / 3, -max, std::ldexp(1.0, 1000), INFINITY, max, -max},
        {max, nan, -max / 7},
        {-max, -INFINITY, max},
        // Values exactly 40 and 41 places above the first (the largest
        // shift kept, the first moved out), and back below the new units.
        {1.0, std::ldexp(1.0, 20), std::ldexp(1.0, 60), std::ldexp(1.0, 61), -std::ldexp(1.0, 61), 1.0, -3.0},
        // Zeros first and between others: -0.0 alone stays -0.0, a +0.0 or
        // any other value makes it +0.0, and zeros never set the units.
        {-0.0, -0.0},
        {-0.0, 0.0, -0.0},
        {0.0, -0.0, 1.5, -1.5, -0.0},
        {-0.0, std::ldexp(1.0, -1000), -std::ldexp(1.0, -1000)},
        // Subnormals with normals just above them (place 0 on both sides of
        // the least normal), and cancellation to one unit of the least.
        {tiny, least_normal, -least_normal, 3 * tiny, least_normal * 1.5, -tiny},
        {least_normal, tiny, 1.0, -1.0, -least_normal},
        // Cancellation to a few units of a large total: 2^52 + 1 pairs.
        {std::ldexp(1.0, 52), 1.0, -std::ldexp(1.0, 52), 2.0, std::ldexp(1.0, 30), -std::ldexp(1.0, 30)},
        // Signs alternating in one bin of mixed exponents.
        {0.1, -0.2, 0.30000000000000004, -0.1, 1e-30, -1e-30, 7e20, -7e20},
        {}, // a bin never added to
    };
    expect_totals_as_exact(cells, false);
    expect_totals_as_exact(cells, true);
}

TEST(EngineBinnedStatistics, PerBinTotalsOfManyValuesFoldedMidBin)
{
    // Many values per cell of several magnitudes, negative ones among them,
    // with a fold while every cell holds a partial sum in its accumulator.
    std::vector<std::vector<double>> cells(7);
    for (int g = 0; g < 20000; ++g) {
        const auto c = static_cast<std::size_t>(g % 7);
        const double v = std::fmod(g * 0.6180339887498949, 1.0) * std::ldexp(1.0, static_cast<int>(c) * 9 - 20);
        cells[c].push_back(g % 3 == 0 ? -v : v);
    }
    expect_totals_as_exact(cells, true);
}

TEST(EngineBinnedStatistics, PerBinTotalsAddedInRunsAreThoseAddedOneAtATime)
{
    // Runs of bin numbers with points left out (-1), into the second half
    // of the cells (a base), each value through a term of its cell, with
    // single adds between the runs: every record the same bits.
    namespace d = virda::engine::detail;
    const points p = make_points(5003, 40);
    const std::size_t n = p.bin.size();
    const std::size_t cells = 2 * static_cast<std::size_t>(p.bins);
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = p.values[2 * i];
    }
    const auto term = [](double x, std::size_t cell) { return x * static_cast<double>(cell % 5) - 1.0; };
    d::bin_totals runs(cells);
    d::bin_totals single(cells);
    const std::size_t base = static_cast<std::size_t>(p.bins);
    for (std::size_t start = 0; start < n; start += 1000) {
        const std::size_t m = std::min<std::size_t>(1000, n - start);
        runs.add_run(base, p.bin.data() + start, v.data() + start, m, term);
        for (std::size_t i = start; i < start + m; ++i) {
            if (p.bin[i] >= 0) {
                const std::size_t cell = base + static_cast<std::size_t>(p.bin[i]);
                single.add(cell, term(v[i], cell));
            }
        }
        runs.add(start % cells, v[start]);
        single.add(start % cells, v[start]);
    }
    std::vector<std::int64_t> got(cells * d::exact_record_fields);
    std::vector<std::int64_t> want(cells * d::exact_record_fields);
    runs.write_records(got.data());
    single.write_records(want.data());
    EXPECT_EQ(want, got);
}

TEST(EngineBinnedStatistics, MomentsOfContiguousAndStridedRunsAreTheSameBits)
{
    // The same points as plain arrays (read in place) and as strided columns
    // of wider tables (copied a chunk at a time).
    const points p = make_points(20011, 40);
    const std::size_t n = p.bin.size();
    std::vector<double> first(n);
    std::vector<std::int64_t> wide_bins(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        first[i] = p.values[2 * i];
        wide_bins[2 * i] = p.bin[i];
        wide_bins[2 * i + 1] = 1000; // never read
    }
    const auto [lo, hi] = uneven_share(n);
    const auto count = static_cast<std::int64_t>(hi - lo);
    binned_statistics_wanted moments;
    moments.sum = moments.mean = moments.std = true;
    binned_statistics plain(p.bins, 1);
    plain.add(values_of(p.bin.data() + lo, count), table_of(first.data() + lo, count, 1, 1));
    binned_statistics strided(p.bins, 1);
    strided.add(values_of(wide_bins.data() + 2 * lo, count, 2), table_of(p.values.data() + 2 * lo, count, 1, 2));
    const binned_statistics_result a = plain.finish(MPI_COMM_WORLD, moments);
    const binned_statistics_result b = strided.finish(MPI_COMM_WORLD, moments);
    EXPECT_EQ(a.counts, b.counts);
    EXPECT_TRUE(same_bits(a.sum, b.sum));
    EXPECT_TRUE(same_bits(a.mean, b.mean));
    EXPECT_TRUE(same_bits(a.std, b.std));
}

TEST(EngineBinnedStatistics, OrderStatisticsMatchASortWithNaNLast)
{
    const points p = make_points(5003, 16);
    const auto [first, end] = uneven_share(p.bin.size());
    binned_statistics s(p.bins, 2);
    add_range(s, p, first, end);
    const binned_statistics_wanted wanted = everything();
    const binned_statistics_result r = s.finish(MPI_COMM_WORLD, wanted);
    for (std::int64_t b = 0; b < p.bins; ++b) {
        for (std::size_t c = 0; c < 2; ++c) {
            std::vector<double> v;
            for (std::size_t i = 0; i < p.bin.size(); ++i) {
                if (p.bin[i] == b) {
                    v.push_back(p.values[2 * i + c]);
                }
            }
            std::stable_sort(v.begin(), v.end(), [](double x, double y) { return !std::isnan(x) && (std::isnan(y) || x < y); });
            const std::size_t at = c * static_cast<std::size_t>(p.bins) + static_cast<std::size_t>(b);
            ASSERT_EQ(static_cast<std::int64_t>(v.size()), r.counts[static_cast<std::size_t>(b)]);
            if (v.empty()) {
                EXPECT_TRUE(std::isnan(r.median[at]) && std::isnan(r.min[at]) && std::isnan(r.max[at]));
                EXPECT_TRUE(std::isnan(r.mean[at]) && std::isnan(r.std[at]));
                EXPECT_EQ(0.0, r.sum[at]);
                continue;
            }
            const std::size_t n = v.size();
            const double median = (v[(n - 1) / 2] + v[n / 2]) / 2;
            EXPECT_TRUE(median == r.median[at] || (std::isnan(median) && std::isnan(r.median[at])))
                << "bin " << b << " column " << c;
            std::vector<double> numbers;
            std::copy_if(v.begin(), v.end(), std::back_inserter(numbers), [](double x) { return !std::isnan(x); });
            EXPECT_EQ(static_cast<std::int64_t>(n - numbers.size()), r.nan_counts[at]);
            if (!numbers.empty()) {
                EXPECT_EQ(numbers.front(), r.min[at]);
                EXPECT_EQ(numbers.back(), r.max[at]);
            }
            // The linear method: a + (b - a) g at h = (n - 1) q, for the
            // probabilities that fall on a value or where both are finite.
            for (std::size_t q = 0; q < wanted.quantiles.size(); ++q) {
                const double h = static_cast<double>(n - 1) * wanted.quantiles[q];
                const auto lo = static_cast<std::size_t>(std::floor(h));
                const double a = v[lo];
                if (h == std::floor(h)) {
                    EXPECT_TRUE(a == r.quantiles[q][at] || (std::isnan(a) && std::isnan(r.quantiles[q][at])))
                        << "bin " << b << " column " << c << " q " << q << ": " << a << " " << r.quantiles[q][at] << " n " << n;
                } else if (std::isfinite(a) && std::isfinite(v[lo + 1])) {
                    EXPECT_NEAR(a + (v[lo + 1] - a) * (h - std::floor(h)), r.quantiles[q][at],
                                1e-12 * std::max(std::fabs(a), std::fabs(v[lo + 1])));
                }
            }
        }
    }
}

TEST(EngineBinnedStatistics, SumsAreExactAndSpecialValuesFollowIEEE)
{
    // Bin 0: 1e300, 1, -1e300 on different ranks (exactly 1); bin 1: only
    // -0.0 (-0.0); bin 2: +inf and -inf (NaN); bin 3: NaN and 1 (NaN, min 1,
    // max 1, median NaN); bin 4: one value (std 0); bin 5 empty.
    const std::vector<std::int64_t> bin{0, 0, 0, 1, 1, 2, 2, 3, 3, 4};
    const std::vector<double> value{1e300, 1.0, -1e300, -0.0, -0.0, INFINITY, -INFINITY, nan, 1.0, 7.5};
    binned_statistics s(6, 1);
    for (std::size_t i = 0; i < bin.size(); ++i) {
        if (static_cast<int>(i) % world_size() == world_rank()) {
            s.add(values_of(bin.data() + i, 1), table_of(value.data() + i, 1, 1, 1));
        }
    }
    const binned_statistics_result r = s.finish(MPI_COMM_WORLD, everything());
    EXPECT_EQ((std::vector<std::int64_t>{3, 2, 2, 2, 1, 0}), r.counts);
    EXPECT_EQ(1.0, r.sum[0]);
    EXPECT_EQ(1.0 / 3.0, r.mean[0]);
    EXPECT_TRUE(r.sum[1] == 0.0 && std::signbit(r.sum[1]));
    EXPECT_TRUE(std::isnan(r.sum[2]) && std::isnan(r.mean[2]));
    EXPECT_TRUE(std::isnan(r.sum[3]) && std::isnan(r.std[3]) && std::isnan(r.median[3]));
    EXPECT_EQ(1.0, r.min[3]);
    EXPECT_EQ(1.0, r.max[3]);
    EXPECT_EQ(1, r.nan_counts[3]);
    EXPECT_EQ(7.5, r.median[4]);
    EXPECT_EQ(0.0, r.std[4]);
    EXPECT_EQ(0.0, r.sum[5]);
    EXPECT_TRUE(std::isnan(r.mean[5]) && std::isnan(r.std[5]) && std::isnan(r.min[5]) && std::isnan(r.median[5]));
}

TEST(EngineBinnedStatistics, IntegerValuesAndCountsOnlyAgreeWithTheSerialRule)
{
    // int32 values read in place as doubles; the population std of bin b's
    // values {b, b + 10, b + 20, ...} against the two-pass formula.
    const std::int64_t n = 3001;
    const std::int64_t bins = 10;
    std::vector<std::int64_t> bin;
    std::vector<std::int32_t> value;
    for (std::int64_t g = 0; g < n; ++g) {
        bin.push_back(g % bins);
        value.push_back(static_cast<std::int32_t>(g));
    }
    const auto [first, end] = uneven_share(static_cast<std::size_t>(n));
    binned_statistics s(bins, 1);
    binned_statistics counts_only(bins, 0);
    const auto m = static_cast<std::int64_t>(end - first);
    s.add(values_of(bin.data() + first, m), table_of(value.data() + first, m, 1, 1));
    counts_only.add(values_of(bin.data() + first, m));
    binned_statistics_wanted w;
    w.std = w.sum = true;
    const binned_statistics_result r = s.finish(MPI_COMM_WORLD, w);
    const binned_statistics_result c = counts_only.finish(MPI_COMM_WORLD, w);
    EXPECT_EQ(r.counts, c.counts);
    EXPECT_TRUE(c.sum.empty() && c.std.empty());
    EXPECT_TRUE(r.mean.empty());
    for (std::int64_t b = 0; b < bins; ++b) {
        double sum = 0;
        std::int64_t k = 0;
        for (std::int64_t g = b; g < n; g += bins) {
            sum += static_cast<double>(g);
            ++k;
        }
        const double mean = sum / static_cast<double>(k);
        double squares = 0;
        for (std::int64_t g = b; g < n; g += bins) {
            squares += (static_cast<double>(g) - mean) * (static_cast<double>(g) - mean);
        }
        EXPECT_EQ(k, r.counts[static_cast<std::size_t>(b)]);
        EXPECT_EQ(sum, r.sum[static_cast<std::size_t>(b)]);
        EXPECT_DOUBLE_EQ(std::sqrt(squares / static_cast<double>(k)), r.std[static_cast<std::size_t>(b)]);
    }
}

TEST(EngineBinnedStatistics, ABadBinNumberAMissingAllocationOrAnotherCallStopsEveryRankAlike)
{
    const std::vector<std::int64_t> bin{0, 1, world_rank() == 0 ? 5 : 1};
    const std::vector<double> value{1, 2, 3};
    binned_statistics bad(5, 1);
    bad.add(values_of(bin.data(), 3), table_of(value.data(), 3, 1, 1));
    EXPECT_EQ(static_cast<int>(error_code::invalid_argument),
              code_of([&] { bad.finish(MPI_COMM_WORLD, everything()); }));

    const int refusing = world_size() - 1;
    if (world_rank() == refusing) {
        detail::refuse_allocations(1);
    }
    binned_statistics short_of_memory(5, 1);
    detail::refuse_allocations(0);
    EXPECT_EQ(static_cast<int>(error_code::out_of_memory),
              code_of([&] { short_of_memory.finish(MPI_COMM_WORLD, everything()); }));

    binned_statistics fine(5, 1);
    fine.add(values_of(bin.data(), 2), table_of(value.data(), 2, 1, 1));
    binned_statistics_wanted other = everything();
    if (world_rank() == refusing) {
        other.quantiles.push_back(0.3);
    }
    const int expected = world_size() > 1 ? static_cast<int>(error_code::ranks_disagree) : 0;
    EXPECT_EQ(expected, code_of([&] { fine.finish(MPI_COMM_WORLD, other); }));
    // The accumulator still finishes when the calls agree.
    EXPECT_EQ(2 * world_size(), fine.finish(MPI_COMM_WORLD, everything()).counts[0] +
                                    fine.finish(MPI_COMM_WORLD, everything()).counts[1]);
}

} // namespace
