// The engine's power sums of a polynomial fit (what poly-fit solves): the
// same bits however the pairs are split into blocks and ranks, the right
// powers, non-finite terms reported, and one rank's failure or different
// call stopping every rank alike. Run at 1 to 4 ranks; every rank generates
// the whole data set from the global index.

#include "engine_test_support.h"

#include "engine/allocation_failures.h"
#include "engine/power_sums.h"

namespace {

using namespace engine_test;

constexpr int points = 3001;

double x_at(int g) { return 1000.0 + 0.37 * g + 1e-3 * std::sin(g); }
float y_at(int g) { return static_cast<float>(2.0 + 0.01 * g - 1e-6 * g * g); }
std::int32_t w_at(int g) { return 1 + g % 4; }

/// The pairs of the global indices g with g % ranks == rank (an uneven,
/// interleaved share), added in blocks of 1, 7 and the rest.
void add_share(power_sums& s, bool weighted)
{
    std::vector<double> x;
    std::vector<float> y;
    std::vector<std::int32_t> w;
    for (int g = world_rank(); g < points; g += world_size()) {
        x.push_back(x_at(g));
        y.push_back(y_at(g));
        w.push_back(w_at(g));
    }
    const auto n = static_cast<std::int64_t>(x.size());
    std::int64_t done = 0;
    for (const std::int64_t block : {std::int64_t{1}, std::int64_t{7}, n}) {
        const std::int64_t m = std::min(block, n - done);
        if (weighted) {
            s.add(values_of(x.data() + done, m), values_of(y.data() + done, m), values_of(w.data() + done, m));
        } else {
            s.add(values_of(x.data() + done, m), values_of(y.data() + done, m));
        }
        done += m;
    }
}

} // namespace

TEST(PowerSums, TheSameBitsWhateverTheSplitAndTheRightPowers)
{
    const int order = 3;
    const double centre = 1555.0;
    const double scale = 555.0;
    power_sums spread(order, centre, scale);
    add_share(spread, true);
    const power_totals got = spread.finish(MPI_COMM_WORLD);

    // Every pair on this rank alone, in one block, in another order.
    std::vector<double> x;
    std::vector<float> y;
    std::vector<std::int32_t> w;
    for (int g = points - 1; g >= 0; --g) {
        x.push_back(x_at(g));
        y.push_back(y_at(g));
        w.push_back(w_at(g));
    }
    power_sums whole(order, centre, scale);
    whole.add(values_of(x.data(), points), values_of(y.data(), points), values_of(w.data(), points));
    const power_totals want = whole.finish(MPI_COMM_SELF);

    ASSERT_EQ(got.powers.size(), 2u * order + 1);
    ASSERT_EQ(got.moments.size(), static_cast<std::size_t>(order) + 1);
    EXPECT_EQ(got.count, points);
    EXPECT_TRUE(got.finite());
    for (std::size_t k = 0; k < got.powers.size(); ++k) {
        EXPECT_EQ(got.powers[k], want.powers[k]) << "power " << k;
    }
    for (std::size_t k = 0; k < got.moments.size(); ++k) {
        EXPECT_EQ(got.moments[k], want.moments[k]) << "moment " << k;
    }

    // The powers themselves, against long double arithmetic.
    for (int k = 0; k <= 2 * order; ++k) {
        long double p = 0;
        long double q = 0;
        for (int g = 0; g < points; ++g) {
            const long double t = (static_cast<long double>(x_at(g)) - centre) / scale;
            p += w_at(g) * std::pow(t, k);
            q += w_at(g) * static_cast<long double>(y_at(g)) * std::pow(t, k);
        }
        EXPECT_NEAR(got.powers[static_cast<std::size_t>(k)], static_cast<double>(p), 1e-12 * std::fabs(p) + 1e-9)
            << "power " << k;
        if (k <= order) {
            EXPECT_NEAR(got.moments[static_cast<std::size_t>(k)], static_cast<double>(q),
                        1e-12 * std::fabs(q) + 1e-9)
                << "moment " << k;
        }
    }

    // finish_into: the same totals into a buffer of the caller's.
    std::vector<double> into(3 * order + 2);
    EXPECT_EQ(spread.finish_into(MPI_COMM_WORLD, into.data()), points);
    EXPECT_EQ(into[0], got.powers[0]);
    EXPECT_EQ(into[2 * order + 1], got.moments[0]);
}

TEST(PowerSums, UnweightedPairsWeighOne)
{
    power_sums plain(2, 0.0, 1.0);
    std::vector<double> x = {-1.0, 0.5, 2.0};
    std::vector<double> y = {3.0, 1.0, -2.0};
    plain.add(values_of(x.data(), 3), values_of(y.data(), 3));
    const power_totals t = plain.finish(MPI_COMM_WORLD);
    const double ranks = world_size();
    EXPECT_EQ(t.powers, (std::vector<double>{3 * ranks, 1.5 * ranks, 5.25 * ranks, 7.125 * ranks, 17.0625 * ranks}));
    EXPECT_EQ(t.moments, (std::vector<double>{2 * ranks, -6.5 * ranks, -4.75 * ranks}));
}

TEST(PowerSums, NonFiniteTermsMakeTheTotalsNonFinite)
{
    power_sums s(1, 0.0, 1.0);
    std::vector<double> x = {1.0, 2.0};
    std::vector<double> y = {1.0, world_rank() == world_size() - 1 ? std::numeric_limits<double>::quiet_NaN() : 2.0};
    s.add(values_of(x.data(), 2), values_of(y.data(), 2));
    const power_totals t = s.finish(MPI_COMM_WORLD);
    EXPECT_FALSE(t.finite());
    EXPECT_TRUE(std::isfinite(t.powers[2])) << "x alone is finite";
    EXPECT_TRUE(std::isnan(t.moments[0]));
}

TEST(PowerSums, OneRanksFailureOrOtherCallStopsEveryRank)
{
    // The last rank cannot allocate while adding: every rank learns it at
    // the finish, naming that rank, rather than waiting in the reduction.
    const int last = world_size() - 1;
    std::vector<double> x = {1.0, 2.0, 3.0};
    int code = 0;
    int rank = -2;
    try {
        power_sums s(2, 0.0, 1.0);
        if (world_rank() == last) {
            virda::engine::detail::refuse_allocations(1);
        }
        s.add(values_of(x.data(), 3), values_of(x.data(), 3));
        EXPECT_EQ(s.failed(), world_rank() == last);
        (void)s.finish(MPI_COMM_WORLD);
    } catch (const error& e) {
        code = static_cast<int>(e.code());
        rank = e.rank();
    }
    virda::engine::detail::refuse_allocations(0);
    EXPECT_EQ(static_cast<int>(error_code::out_of_memory), code);
    EXPECT_EQ(last, rank);

    // Another centre on one rank: every rank throws.
    code = code_of([&] {
        power_sums s(2, world_rank() == last ? 1.0 : 0.0, 1.0);
        (void)s.finish(MPI_COMM_WORLD);
    });
    EXPECT_EQ(world_size() > 1 ? static_cast<int>(error_code::ranks_disagree) : 0, code);

    // Arguments no rank can use, before any communication.
    EXPECT_THROW(power_sums(2, 0.0, 0.0), error);
    EXPECT_THROW(power_sums(-1, 0.0, 1.0), error);
    EXPECT_THROW(power_sums(1, std::numeric_limits<double>::infinity(), 1.0), error);
    power_sums s(1, 0.0, 1.0);
    EXPECT_THROW(s.add(values_of(x.data(), 3), values_of(x.data(), 2)), error);
}

TEST(PowerSums, AVariableSetAfterConstructionIsTheConstructorsOne)
{
    // As a caller that allocates before it knows the range of x does.
    const std::vector<double> x = {0.5, 2.0, 7.25, -3.0};
    const std::vector<double> y = {1.0, -2.0, 0.125, 9.0};
    power_sums direct(3, 1.5, 4.0);
    direct.add(values_of(x.data(), 4), values_of(y.data(), 4));
    power_sums later(3, 0.0, 1.0);
    later.set_variable(1.5, 4.0);
    later.add(values_of(x.data(), 4), values_of(y.data(), 4));
    const power_totals a = direct.finish(MPI_COMM_WORLD);
    const power_totals b = later.finish(MPI_COMM_WORLD);
    EXPECT_EQ(a.powers, b.powers);
    EXPECT_EQ(a.moments, b.moments);
    // Not once pairs are in, nor to a variable the constructor refuses.
    EXPECT_THROW(later.set_variable(0.0, 1.0), error);
    EXPECT_THROW(power_sums(1, 0.0, 1.0).set_variable(0.0, 0.0), error);
}
