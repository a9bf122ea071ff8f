// n-D histograms finished over ranks: counts and weight totals the same bits
// at any rank count and split (against the whole data binned on one rank,
// and against exact totals known by hand), special weights, and the
// agreement that makes every rank throw alike.

#include "engine_test_support.h"

#include "engine/histogram_dd.h"

#include "virda_test/isa_paths.h"

namespace {

using namespace engine_test;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Global point g: x, y and a weight spanning many binades and both signs.
double x_of(std::int64_t g) { return static_cast<double>((g * 37) % 101) / 10.0 - 0.5; }
double y_of(std::int64_t g) { return g % 13 == 0 ? nan : static_cast<double>((g * 11) % 67) * 0.25; }
double w_of(std::int64_t g) { return std::ldexp((g % 7 == 0 ? -1.0 : 1.0) * (1.0 + g % 5 / 3.0), (g * 29) % 150 - 75); }

struct points {
    std::vector<double> x, y, w;
    void add(std::int64_t g)
    {
        x.push_back(x_of(g));
        y.push_back(y_of(g));
        w.push_back(w_of(g));
    }
    histogram_dd_result bin(const std::vector<bin_axis>& axes, MPI_Comm comm) const
    {
        const auto n = static_cast<std::int64_t>(x.size());
        const values_view wv = values_of(w.data(), n);
        return histogram_dd(axes, {values_of(x.data(), n), values_of(y.data(), n)}, &wv, comm);
    }
};

TEST(HistogramDd, CountsAndTotalsAreTheSameBitsAtAnySplit)
{
    const std::int64_t n = 20011;
    const std::vector<bin_axis> axes = {bin_axis::equal_width(0, 9, 9), bin_axis::with_edges({0, 1, 2.5, 4, 8, 16})};
    points whole;
    points dealt;  // every size-th point
    points blocks; // contiguous blocks, the last rank's empty
    for (std::int64_t g = 0; g < n; ++g) {
        whole.add(g);
        if (g % world_size() == world_rank()) {
            dealt.add(g);
        }
        const int owner = world_size() == 1 ? 0 : static_cast<int>(g * (world_size() - 1) / n);
        if (owner == world_rank()) {
            blocks.add(g);
        }
    }
    const histogram_dd_result one = whole.bin(axes, MPI_COMM_SELF);
    const histogram_dd_result a = dealt.bin(axes, MPI_COMM_WORLD);
    const histogram_dd_result b = blocks.bin(axes, MPI_COMM_WORLD);
    EXPECT_EQ(one.counts, a.counts);
    EXPECT_EQ(one.counts, b.counts);
    EXPECT_TRUE(same_bits(one.weight_totals, a.weight_totals));
    EXPECT_TRUE(same_bits(one.weight_totals, b.weight_totals));

    // The counts against a serial rule of the bins.
    std::vector<std::int64_t> want(45, 0);
    const std::vector<double> ye = {0, 1, 2.5, 4, 8, 16};
    for (std::int64_t g = 0; g < n; ++g) {
        const double x = x_of(g);
        const double y = y_of(g);
        if (!(x >= 0 && x <= 9 && y >= 0 && y <= 16)) {
            continue;
        }
        const auto i = static_cast<std::size_t>(std::min(std::floor(x), 8.0));
        std::size_t j = 0;
        while (j < 4 && y >= ye[j + 1]) {
            ++j;
        }
        ++want[i * 5 + j];
    }
    EXPECT_EQ(want, one.counts);
}

TEST(HistogramDd, CountFormsGiveTheSameCounts)
{
    // Counted as doubles, over few bins and over a million (mostly empty,
    // the counts held in fresh zeroed pages), with points outside and NaN:
    // the int64 counts exactly; with weights and no counts, the same totals.
    const std::int64_t n = 20011;
    points mine;
    for (std::int64_t g = world_rank(); g < n; g += world_size()) {
        mine.add(g);
    }
    const auto m = static_cast<std::int64_t>(mine.x.size());
    const std::vector<values_view> xy = {values_of(mine.x.data(), m), values_of(mine.y.data(), m)};
    const values_view wv = values_of(mine.w.data(), m);
    for (const auto& axes : {std::vector<bin_axis>{bin_axis::equal_width(0, 9, 9), bin_axis::with_edges({0, 1, 2.5, 4, 8, 16})},
                             std::vector<bin_axis>{bin_axis::equal_width(0, 9, 1000), bin_axis::equal_width(0, 17, 1000)}}) {
        const histogram_dd_result ints = histogram_dd(axes, xy, &wv, MPI_COMM_WORLD);
        const histogram_dd_result doubles = histogram_dd(axes, xy, nullptr, MPI_COMM_WORLD, bin_count_form::float64);
        const histogram_dd_result totals = histogram_dd(axes, xy, &wv, MPI_COMM_WORLD, bin_count_form::none);
        ASSERT_TRUE(doubles.double_counts);
        EXPECT_TRUE(doubles.counts.empty());
        std::int64_t counted = 0;
        std::size_t differ = 0;
        for (std::size_t b = 0; b < ints.counts.size(); ++b) {
            counted += ints.counts[b];
            differ += static_cast<double>(ints.counts[b]) != doubles.double_counts[b] ? 1 : 0;
        }
        EXPECT_EQ(0u, differ);
        EXPECT_GT(counted, n / 2);
        EXPECT_LT(counted, n);
        EXPECT_TRUE(totals.counts.empty());
        EXPECT_FALSE(totals.double_counts);
        EXPECT_TRUE(same_bits(ints.weight_totals, totals.weight_totals));
    }
}

TEST(HistogramDd, FewAndManyBinsTotalAlike)
{
    // The bins of the test above, and the same bins times a third axis of
    // 1000 bins (45000 in all) on which every point lies in the first: each
    // bin's total is the same bits whichever way it was held.
    const std::int64_t n = 20011;
    points mine;
    for (std::int64_t g = world_rank(); g < n; g += world_size()) {
        mine.add(g);
    }
    const std::vector<bin_axis> axes = {bin_axis::equal_width(0, 9, 9), bin_axis::with_edges({0, 1, 2.5, 4, 8, 16})};
    std::vector<bin_axis> deeper = axes;
    deeper.push_back(bin_axis::equal_width(-1, 999, 1000));
    const std::vector<double> z(mine.x.size(), -0.5);
    const auto m = static_cast<std::int64_t>(mine.x.size());
    const values_view wv = values_of(mine.w.data(), m);
    const histogram_dd_result few = mine.bin(axes, MPI_COMM_WORLD);
    const histogram_dd_result many = histogram_dd(
        deeper, {values_of(mine.x.data(), m), values_of(mine.y.data(), m), values_of(z.data(), m)}, &wv,
        MPI_COMM_WORLD);
    ASSERT_EQ(45000u, many.weight_totals.size());
    std::vector<double> first(45);
    std::vector<std::int64_t> counts(45);
    for (std::size_t b = 0; b < 45; ++b) {
        first[b] = many.weight_totals[b * 1000];
        counts[b] = many.counts[b * 1000];
    }
    EXPECT_EQ(few.counts, counts);
    EXPECT_TRUE(same_bits(few.weight_totals, first));
}

TEST(HistogramDd, TotalsAreExactSumsRoundedOnce)
{
    // Per bin of [0, 1), [1, 2), [2, 3], weights dealt over the ranks:
    // 2^60, 1, -2^60 (a running double sum loses the 1); ten times 0.1 (a
    // running sum gives 0.9999999999999999); three smallest subnormals.
    std::vector<double> x;
    std::vector<double> w;
    const auto put = [&](double xv, double wv) {
        x.push_back(xv);
        w.push_back(wv);
    };
    put(0.5, std::ldexp(1.0, 60));
    put(0.5, 1.0);
    put(0.5, -std::ldexp(1.0, 60));
    for (int i = 0; i < 10; ++i) {
        put(1.5, 0.1);
    }
    for (int i = 0; i < 3; ++i) {
        put(3.0, std::numeric_limits<double>::denorm_min());
    }
    std::vector<double> mx;
    std::vector<double> mw;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (static_cast<int>(i % world_size()) == world_rank()) {
            mx.push_back(x[i]);
            mw.push_back(w[i]);
        }
    }
    const auto m = static_cast<std::int64_t>(mx.size());
    const values_view wv = values_of(mw.data(), m);
    const histogram_dd_result r =
        histogram_dd({bin_axis::equal_width(0, 3, 3)}, {values_of(mx.data(), m)}, &wv, MPI_COMM_WORLD);
    EXPECT_EQ((std::vector<std::int64_t>{3, 10, 3}), r.counts);
    EXPECT_TRUE(same_bits({1.0, 1.0, 3 * std::numeric_limits<double>::denorm_min()}, r.weight_totals));

    // Integer weights beyond 2^53 stay exact; a total beyond the doubles
    // is infinite; a negative total keeps its sign.
    const std::vector<std::int64_t> big = {(std::int64_t{1} << 62) + 1, (std::int64_t{1} << 62) + 1, -3};
    const std::vector<double> at = {0.5, 0.5, 1.5};
    const values_view bw = values_of(big.data(), world_rank() == 0 ? 3 : 0);
    const histogram_dd_result ri =
        histogram_dd({bin_axis::equal_width(0, 2, 2)}, {values_of(at.data(), world_rank() == 0 ? 3 : 0)}, &bw,
                     MPI_COMM_WORLD);
    EXPECT_EQ(std::ldexp(1.0, 63), ri.weight_totals[0]); // 2^63 + 2 rounds to 2^63
    EXPECT_EQ(-3.0, ri.weight_totals[1]);
    const std::vector<double> huge = {1e308, 1e308};
    const values_view hw = values_of(huge.data(), world_rank() == 0 ? 2 : 0);
    const histogram_dd_result rh =
        histogram_dd({bin_axis::equal_width(0, 2, 2)}, {values_of(at.data(), world_rank() == 0 ? 2 : 0)}, &hw,
                     MPI_COMM_WORLD);
    EXPECT_EQ(inf, rh.weight_totals[0]);
    EXPECT_EQ(0.0, rh.weight_totals[1]);
}

TEST(HistogramDd, InfiniteAndNaNWeightsAcrossRanks)
{
    // Bin 0: +inf on rank 0 and -inf on the last rank (NaN); bin 1: +inf;
    // bin 2: NaN; bin 3: finite; a NaN coordinate's weight is not counted.
    const int last = world_size() - 1;
    std::vector<double> x;
    std::vector<double> w;
    if (world_rank() == 0) {
        x = {0.5, 1.5, 2.5, 3.5, nan};
        w = {inf, inf, nan, 2.0, nan};
    }
    if (world_rank() == last) {
        x.push_back(0.5);
        w.push_back(-inf);
    }
    const auto m = static_cast<std::int64_t>(x.size());
    const values_view wv = values_of(w.data(), m);
    const histogram_dd_result r =
        histogram_dd({bin_axis::equal_width(0, 4, 4)}, {values_of(x.data(), m)}, &wv, MPI_COMM_WORLD);
    ASSERT_EQ(4u, r.weight_totals.size());
    EXPECT_TRUE(std::isnan(r.weight_totals[0]));
    EXPECT_EQ(inf, r.weight_totals[1]);
    EXPECT_TRUE(std::isnan(r.weight_totals[2]));
    EXPECT_EQ(2.0, r.weight_totals[3]);
    EXPECT_EQ((std::vector<std::int64_t>{2, 1, 1, 1}), r.counts);
}

TEST(HistogramDd, OneEqualWidthAxisOfDoublesBinsAsAnyOtherRun)
{
    // One equal-width axis over contiguous doubles is counted in a pass of
    // its own; the same values read through a stride take the general one.
    // Values on, just below and just above every edge, outside, infinite and
    // NaN, in runs of odd lengths, in every count form; with weights of
    // narrow and wide ranges, infinities and NaN, the counts and totals too.
    const std::vector<bin_axis> axes_list = {bin_axis::equal_width(-0.3, 0.7, 7), bin_axis::equal_width(0, 1, 100),
                                             bin_axis::equal_width(1e-3, 2e-3, 1),
                                             bin_axis::equal_width(-5, 5, 4099)};
    for (const bin_axis& axis : axes_list) {
        std::vector<double> x;
        for (double e : axis.edges()) {
            x.insert(x.end(), {e, std::nextafter(e, -inf), std::nextafter(e, inf)});
        }
        x.insert(x.end(), {nan, inf, -inf, -0.0, 0.0, 1e300, -1e300});
        for (std::int64_t g = 0; static_cast<std::int64_t>(x.size()) < 3001; ++g) {
            x.push_back(x_of(g) / 9.0 - 0.2);
        }
        // This rank's share, from a different start on each rank.
        std::vector<double> mine(x.begin() + world_rank() * 5, x.end() - (world_size() - 1 - world_rank()) * 3);
        const auto m = static_cast<std::int64_t>(mine.size());
        std::vector<double> small(mine.size());
        std::vector<double> unit_range(mine.size());
        std::vector<double> wide(mine.size());
        for (std::size_t i = 0; i < mine.size(); ++i) {
            small[i] = static_cast<double>(static_cast<int>(i % 7) - 3);
            unit_range[i] = (i % 3 == 0 ? -1.0 : 1.0) * std::ldexp(static_cast<double>((i * 2654435761u) % 9007199254740991u), -53 - static_cast<int>(i % 9));
            wide[i] = w_of(static_cast<std::int64_t>(i));
        }
        std::vector<double> special = unit_range;
        special[special.size() / 2] = inf;
        special[special.size() / 3] = nan;
        for (const std::vector<double>* weights : {&small, &unit_range, &wide, &special}) {
            // Interleaved copies: every value 16 bytes from the next.
            std::vector<double> strided(2 * mine.size());
            std::vector<double> weights_strided(2 * mine.size());
            for (std::size_t i = 0; i < mine.size(); ++i) {
                strided[2 * i] = mine[i];
                weights_strided[2 * i] = (*weights)[i];
            }
            const values_view plain{mine.data(), number_type::float64, m, 8};
            const values_view through{strided.data(), number_type::float64, m, 16};
            const values_view w_plain{weights->data(), number_type::float64, m, 8};
            const values_view w_through{weights_strided.data(), number_type::float64, m, 16};
            for (bin_count_form form : {bin_count_form::int64, bin_count_form::float64, bin_count_form::none}) {
                const histogram_dd_result a = histogram_dd({axis}, {plain}, &w_plain, MPI_COMM_WORLD, form);
                const histogram_dd_result b = histogram_dd({axis}, {through}, &w_through, MPI_COMM_WORLD, form);
                EXPECT_EQ(a.counts, b.counts) << axis.bins();
                EXPECT_TRUE(same_bits(a.weight_totals, b.weight_totals)) << axis.bins();
                if (form == bin_count_form::float64) {
                    const auto bins = static_cast<std::size_t>(axis.bins());
                    EXPECT_TRUE(same_bits(std::vector<double>(a.double_counts.get(), a.double_counts.get() + bins),
                                          std::vector<double>(b.double_counts.get(), b.double_counts.get() + bins)));
                }
            }
            // The line pass, with and without weights, on every
            // instruction-set path this processor runs.
            virda_test::for_each_runnable_path([&] {
                const histogram_dd_result a = histogram_dd({axis}, {plain}, nullptr, MPI_COMM_WORLD);
                const histogram_dd_result b = histogram_dd({axis}, {through}, nullptr, MPI_COMM_WORLD);
                EXPECT_EQ(a.counts, b.counts) << axis.bins();
                const histogram_dd_result aw =
                    histogram_dd({axis}, {plain}, &w_plain, MPI_COMM_WORLD, bin_count_form::none);
                const histogram_dd_result bw =
                    histogram_dd({axis}, {through}, &w_through, MPI_COMM_WORLD, bin_count_form::none);
                EXPECT_TRUE(same_bits(aw.weight_totals, bw.weight_totals)) << axis.bins();
            });
        }
    }
}

TEST(HistogramDd, OneAxisOfSubnormalWidthsCountsByItsEdges)
{
    // bins / width overflows: no pass may estimate these bins.
    const double u = std::numeric_limits<double>::denorm_min();
    const std::vector<double> x = {0.0, -0.0, u, 2 * u, 3 * u, 4 * u, nan, 0.0, u};
    const histogram_dd_result r = histogram_dd({bin_axis::equal_width(0, 3 * u, 3)},
                                               {values_of(x.data(), static_cast<std::int64_t>(x.size()))}, nullptr,
                                               MPI_COMM_WORLD);
    const std::int64_t n = world_size();
    EXPECT_EQ((std::vector<std::int64_t>{3 * n, 2 * n, 2 * n}), r.counts);
}

TEST(HistogramDd, ManyBinsCountAsTheirLocatedPoints)
{
    // 2048 x 2048 bins (counted block by block) over more points than one
    // block of points holds: each bin's count is the number of points
    // locate_bins puts there, in both count forms.
    const std::vector<bin_axis> axes = {bin_axis::equal_width(0, 1, 2048), bin_axis::equal_width(-1, 1, 2048)};
    const std::int64_t n = (std::int64_t{1} << 20) + 4099;
    std::vector<double> x;
    std::vector<double> y;
    for (std::int64_t g = world_rank(); g < n; g += world_size()) {
        x.push_back(g % 9973 == 0 ? nan : static_cast<double>((g * 7919) % 100003) / 100000.0);
        y.push_back(static_cast<double>((g * 104729) % 20011) / 10000.0 - 1.0 - (g % 3 == 0 ? 1e-9 : 0.0));
    }
    const auto m = static_cast<std::int64_t>(x.size());
    const std::vector<values_view> columns = {values_of(x.data(), m), values_of(y.data(), m)};
    std::vector<std::int64_t> located(x.size());
    locate_bins(axes, columns, bin_numbering::within_edges, located.data());
    std::vector<std::int64_t> expected(std::size_t{2048} * 2048, 0);
    for (std::int64_t b : located) {
        if (b >= 0) {
            ++expected[static_cast<std::size_t>(b)];
        }
    }
    MPI_Allreduce(MPI_IN_PLACE, expected.data(), static_cast<int>(expected.size()), MPI_INT64_T, MPI_SUM,
                  MPI_COMM_WORLD);
    const histogram_dd_result counts = histogram_dd(axes, columns, nullptr, MPI_COMM_WORLD);
    EXPECT_TRUE(counts.counts == expected);
    const histogram_dd_result doubles = histogram_dd(axes, columns, nullptr, MPI_COMM_WORLD, bin_count_form::float64);
    std::size_t differ = 0;
    for (std::size_t b = 0; b < expected.size(); ++b) {
        differ += doubles.double_counts[b] != static_cast<double>(expected[b]) ? 1 : 0;
    }
    EXPECT_EQ(0u, differ);
}

TEST(HistogramDd, BadArgumentsOnOneRankStopEveryRank)
{
    const int last = world_size() - 1;
    const std::vector<double> x = {0.5, 1.5};
    const std::vector<double> w = {1.0, 2.0};
    const std::vector<bin_axis> axes = {bin_axis::equal_width(0, 2, 2)};
    // Fewer weights than points on the last rank.
    EXPECT_EQ(static_cast<int>(error_code::invalid_argument), code_of([&] {
                  const values_view wv = values_of(w.data(), world_rank() == last ? 1 : 2);
                  histogram_dd(axes, {values_of(x.data(), 2)}, &wv, MPI_COMM_WORLD);
              }));
    // Other bins on the last rank.
    EXPECT_EQ(world_size() > 1 ? static_cast<int>(error_code::ranks_disagree) : 0, code_of([&] {
                  const std::vector<bin_axis> mine = {bin_axis::equal_width(0, world_rank() == last ? 3 : 2, 2)};
                  histogram_dd(world_size() > 1 ? mine : axes, {values_of(x.data(), 2)}, nullptr, MPI_COMM_WORLD);
              }));
    // Weights on some ranks only.
    EXPECT_EQ(world_size() > 1 ? static_cast<int>(error_code::ranks_disagree) : 0, code_of([&] {
                  const values_view wv = values_of(w.data(), 2);
                  histogram_dd(axes, {values_of(x.data(), 2)}, world_rank() == 0 ? &wv : nullptr, MPI_COMM_WORLD);
              }));
    // Counts in another form on the last rank.
    EXPECT_EQ(world_size() > 1 ? static_cast<int>(error_code::ranks_disagree) : 0, code_of([&] {
                  histogram_dd(axes, {values_of(x.data(), 2)}, nullptr, MPI_COMM_WORLD,
                               world_size() > 1 && world_rank() == last ? bin_count_form::float64
                                                                       : bin_count_form::int64);
              }));
}

} // namespace
