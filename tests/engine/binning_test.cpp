// Histograms and binned means finished over ranks: counts against a serial
// rule computed from the global data on every rank, and the agreement that
// keeps a rank without its bins, or with other bins, from hanging the rest.

#include "engine_test_support.h"

#include "engine/bin_means.h"
#include "engine/allocation_failures.h"
#include "engine/histogram.h"

namespace {

using namespace engine_test;

TEST(EngineHistogram, CountsOfEveryNumberTypeAddUpOverRanks)
{
    // Global values g % 23 - 5 as int16, every rank adding g = rank, rank +
    // size, ...; bins of width 2 above -4 (so -4 itself is not counted).
    const std::int64_t n = 10007;
    std::vector<std::int16_t> mine;
    for (std::int64_t g = world_rank(); g < n; g += world_size()) {
        mine.push_back(static_cast<std::int16_t>(g % 23 - 5));
    }
    equal_width_histogram h(-4.0, 2.0, 8);
    h.add(values_of(mine.data(), static_cast<std::int64_t>(mine.size())));
    const std::vector<std::int64_t> got = h.finish(MPI_COMM_WORLD);
    std::vector<std::int64_t> want(8, 0);
    for (std::int64_t g = 0; g < n; ++g) {
        const double v = static_cast<double>(g % 23 - 5);
        const double q = (v + 4.0) / 2.0;
        if (v > -4.0 && q < 8.0) {
            ++want[static_cast<std::size_t>(q)];
        }
    }
    EXPECT_EQ(want, got);
}

TEST(EngineHistogram, ARepeatedValueCountsBeyondTwoToTheThirtyOne)
{
    const double v = 2.5;
    const std::int64_t times = std::int64_t{3} << 31;
    equal_width_histogram h(0.0, 1.0, 4);
    h.add(values_view{&v, number_type::float64, times, 0});
    const std::vector<std::int64_t> got = h.finish(MPI_COMM_WORLD);
    EXPECT_EQ(times * world_size(), got[2]);
    EXPECT_EQ(0, got[0] + got[1] + got[3]);
}

TEST(EngineHistogram, ARankThatCouldNotAllocateOrDisagreesStopsEveryRankAlike)
{
    // The last rank cannot allocate its bins: every rank is told at the
    // finish, naming it, instead of the others waiting in the reduction.
    const int last = world_size() - 1;
    if (world_rank() == last) {
        virda::engine::detail::refuse_allocations(1);
    }
    int code = 0;
    int rank = -2;
    try {
        equal_width_histogram h(0.0, 1.0, 4);
        (void)h.finish(MPI_COMM_WORLD);
    } catch (const error& e) {
        code = static_cast<int>(e.code());
        rank = e.rank();
    }
    EXPECT_EQ(static_cast<int>(error_code::out_of_memory), code);
    EXPECT_EQ(last, rank);

    // The finish's own buffers refused on the last rank: the same, for both
    // kinds of bins, before any rank enters the reduction of the counts.
    for (const bool means : {false, true}) {
        code = 0;
        rank = -2;
        try {
            equal_width_histogram h(0.0, 1.0, 4);
            bin_means m(0.0, 1.0, 4);
            if (world_rank() == last) {
                virda::engine::detail::refuse_allocations(1);
            }
            if (means) {
                (void)m.finish(MPI_COMM_WORLD);
            } else {
                (void)h.finish(MPI_COMM_WORLD);
            }
        } catch (const error& e) {
            code = static_cast<int>(e.code());
            rank = e.rank();
        }
        virda::engine::detail::refuse_allocations(0);
        EXPECT_EQ(static_cast<int>(error_code::out_of_memory), code) << (means ? "bin_means" : "histogram");
        EXPECT_EQ(last, rank);
    }

    // Other bins on one rank: every rank throws.
    code = code_of([&] {
        bin_means m(0.0, world_rank() == last ? 2.0 : 1.0, 4);
        (void)m.finish(MPI_COMM_WORLD);
    });
    EXPECT_EQ(world_size() > 1 ? static_cast<int>(error_code::ranks_disagree) : 0, code);
    EXPECT_THROW(equal_width_histogram(0.0, 1.0, -1), error);
}

TEST(EngineBinMeans, MeansPerBinOverRanks)
{
    // x = g / 10 binned on centres 0, 1, 2, 3; y = g.
    const std::int64_t n = 40;
    std::vector<double> x;
    std::vector<std::int32_t> y;
    for (std::int64_t g = world_rank(); g < n; g += world_size()) {
        x.push_back(static_cast<double>(g) / 10.0);
        y.push_back(static_cast<std::int32_t>(g));
    }
    bin_means means(0.0, 1.0, 4);
    means.add(values_of(x.data(), static_cast<std::int64_t>(x.size())),
              values_of(y.data(), static_cast<std::int64_t>(y.size())));
    const bin_means::result r = means.finish(MPI_COMM_WORLD);
    // Bin k holds x in [k - 1/2, k + 1/2) (bin 0 down to -1.5).
    std::vector<double> sums(4, 0.0);
    std::vector<std::int64_t> counts(4, 0);
    for (std::int64_t g = 0; g < n; ++g) {
        const auto k = static_cast<std::size_t>(std::floor(static_cast<double>(g) / 10.0 + 0.5));
        if (k < 4) {
            sums[k] += static_cast<double>(g);
            ++counts[k];
        }
    }
    EXPECT_EQ(counts, r.counts);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(sums[k] / static_cast<double>(counts[k]), r.means[k]) << "bin " << k;
    }
    EXPECT_THROW(means.add(values_of(x.data(), 1), values_of(y.data(), 0)), error);
}

} // namespace
