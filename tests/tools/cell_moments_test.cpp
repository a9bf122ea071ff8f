// The compact per-cell float32 moments against the engine's general moments
// on the same values: the same bits for every statistic, with the values of
// a cell split between the ranks, on values that stress the fixed-point
// digits (the whole float32 range, subnormals, huge values cancelling,
// infinities, -0.0, NaN). Run at 1 to 4 ranks.
#include "cell_moments.h"

#include "engine/moments.h"

#include "framework/runtime/virda_globals.h"

#include "virda_test/ranks.h"
#include <gtest/gtest.h>
#include <mpi.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

using virda_stats::cell_moment_result;
using virda_stats::float_cell_moments;

namespace {

namespace engine = virda::engine;

/// Allocations through operator new while counting (this test program's own
/// operator new below).
std::atomic<long> allocations{0};
std::atomic<bool> counting{false};

} // namespace

// Every allocation of this test program goes through here, so that a test
// can count the allocations a step makes. (GCC
// takes the malloc/free pair below for a mismatch once it inlines them.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n)
{
    if (counting.load()) {
        ++allocations;
    }
    if (void* p = std::malloc(n == 0 ? 1 : n)) {
        return p;
    }
    throw std::bad_alloc();
}

void* operator new[](std::size_t n)
{
    return operator new(n);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

std::uint32_t bits_of(double v)
{
    const float f = static_cast<float>(v);
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

std::uint64_t bits_of_double(double v)
{
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

/// A table of `rows` rows of `cells` values (the same on every rank, from a
/// seed) of which this rank takes rows rank, rank + ranks, ...: each cell's
/// values are split between the ranks.
struct table {
    std::size_t rows;
    std::size_t cells;
    std::vector<float> values;
};

/// Compares every statistic of every cell, the compact accumulator's against
/// the engine's, after both merged the ranks' rows.
void expect_same_as_engine(const table& t)
{
    const int rank = VIRDA_ID;
    const int size = virda_test::ranks();
    std::vector<float> mine;
    for (std::size_t r = static_cast<std::size_t>(rank); r < t.rows; r += static_cast<std::size_t>(size)) {
        mine.insert(mine.end(), t.values.begin() + static_cast<std::ptrdiff_t>(r * t.cells),
                    t.values.begin() + static_cast<std::ptrdiff_t>((r + 1) * t.cells));
    }
    const std::size_t my_rows = mine.size() / t.cells;

    float_cell_moments compact(t.cells, true, size);
    // Added in two blocks, to check that blocks change nothing.
    const std::size_t half = my_rows / 2;
    compact.add(mine.data(), half, t.cells);
    compact.add(mine.data() + half * t.cells, my_rows - half, t.cells);
    // The same values merged share by share: each rank's share must finish
    // as the cells merged in full do.
    float_cell_moments shared(t.cells, true, size);
    shared.add(mine.data(), my_rows, t.cells);
    const auto share = shared.reduce_shares(VIRDA_COMM);
    compact.allreduce(VIRDA_COMM);
    for (std::size_t c = share.first; c < share.first + share.second; ++c) {
        const cell_moment_result a = shared.finish(c);
        const cell_moment_result b = compact.finish(c);
        EXPECT_EQ(a.count, b.count);
        EXPECT_EQ(a.nan_count, b.nan_count);
        EXPECT_EQ(bits_of_double(a.sum), bits_of_double(b.sum));
        EXPECT_EQ(bits_of_double(a.stdev), bits_of_double(b.stdev));
        EXPECT_EQ(bits_of(static_cast<double>(a.min)), bits_of(static_cast<double>(b.min)));
    }

    engine::moments general(engine::number_type::float32, static_cast<std::int64_t>(t.cells), true);
    if (my_rows > 0) {
        general.add(engine::table_of(mine.data(), static_cast<std::int64_t>(my_rows),
                                     static_cast<std::int64_t>(t.cells), static_cast<std::int64_t>(t.cells)));
    }
    const engine::moment_summary want = general.finish(VIRDA_COMM, engine::nan_policy::omit);

    for (std::size_t c = 0; c < t.cells; ++c) {
        const cell_moment_result got = compact.finish(c);
        SCOPED_TRACE("cell " + std::to_string(c));
        EXPECT_EQ(got.count, want.count(c));
        EXPECT_EQ(got.nan_count, want.nan_count(c));
        if (want.count(c) == 0) {
            continue;
        }
        EXPECT_EQ(bits_of_double(got.sum), bits_of_double(want.sum(c)));
        EXPECT_EQ(bits_of(static_cast<double>(static_cast<float>(got.precise_mean))),
                  bits_of(static_cast<double>(static_cast<float>(want.precise_mean(c)))));
        if (!std::isnan(want.precise_mean(c))) {
            EXPECT_EQ(got.precise_mean, want.precise_mean(c));
        }
        if (std::isnan(want.stdev(0, c))) {
            EXPECT_TRUE(std::isnan(got.stdev));
        } else {
            EXPECT_EQ(bits_of_double(got.stdev), bits_of_double(want.stdev(0, c)));
        }
        EXPECT_EQ(bits_of(static_cast<double>(got.min)), bits_of(want.exact_min(c).as_double()));
        EXPECT_EQ(bits_of(static_cast<double>(got.max)), bits_of(want.exact_max(c).as_double()));
    }
}

table random_table(std::size_t rows, std::size_t cells, unsigned seed, float (*draw)(std::mt19937&))
{
    table t{rows, cells, std::vector<float>(rows * cells)};
    std::mt19937 gen(seed);
    for (float& v : t.values) {
        v = draw(gen);
    }
    return t;
}

} // namespace

TEST(CellMoments, SharesCoverEveryCellOnce)
{
    for (const std::size_t cells : {0, 1, 5, 7, 1000}) {
        for (int ranks = 1; ranks <= 5; ++ranks) {
            std::size_t next = 0;
            for (int r = 0; r < ranks; ++r) {
                const auto share = float_cell_moments::share_of(cells, ranks, r);
                EXPECT_EQ(share.first, next);
                next = share.first + share.second;
            }
            EXPECT_EQ(next, cells);
        }
    }
}

TEST(CellMoments, OrdinaryValuesMatchTheEngine)
{
    expect_same_as_engine(random_table(37, 300, 1, [](std::mt19937& g) {
        return static_cast<float>(std::normal_distribution<double>(280.0, 15.0)(g));
    }));
}

TEST(CellMoments, ValuesSpanningTheWholeRangeMatchTheEngine)
{
    // Any bit pattern that is not NaN or infinite: subnormals up to FLT_MAX
    // of both signs, so every digit of both totals is used.
    expect_same_as_engine(random_table(41, 200, 2, [](std::mt19937& g) {
        for (;;) {
            const std::uint32_t b = static_cast<std::uint32_t>(g());
            if (((b >> 23) & 0xffu) != 0xffu) {
                float f;
                std::memcpy(&f, &b, sizeof f);
                return f;
            }
        }
    }));
}

TEST(CellMoments, HugeValuesCancellingLeaveTheTinyOnes)
{
    // Per cell: +FLT_MAX and -FLT_MAX (in different rows, so on different
    // ranks), a subnormal, a tiny normal; the total is the tiny values
    // exactly, and the spread comes from the huge ones.
    const float big = std::numeric_limits<float>::max();
    const float tiny = std::numeric_limits<float>::denorm_min();
    table t{4, 3, {big, -big, 1.0f, -big, big, -1.0f, tiny, 3 * tiny, 1e-30f, 1e-38f, -tiny, 2.5f}};
    expect_same_as_engine(t);
    float_cell_moments m(1, true);
    const float column[] = {big, -big, tiny, tiny};
    m.add(column, 4, 1);
    const cell_moment_result r = m.finish(0);
    EXPECT_EQ(r.sum, 2.0 * static_cast<double>(tiny));
    EXPECT_EQ(r.min, -big);
    EXPECT_EQ(r.max, big);
}

TEST(CellMoments, InfinitiesZerosAndNaN)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Cells: +inf with finite values; both infinities; only -0.0; -0.0 and
    // +0.0; NaN among finite values; only NaN.
    table t{3, 6, {inf, inf, -0.0f, -0.0f, nan, nan, 1.0f, -inf, -0.0f, 0.0f, 2.0f, nan, 2.0f, 3.0f, -0.0f, -0.0f,
                   4.0f, nan}};
    expect_same_as_engine(t);
    float_cell_moments m(6, true);
    m.add(t.values.data(), t.rows, t.cells);
    EXPECT_EQ(m.finish(0).sum, static_cast<double>(inf));
    EXPECT_TRUE(std::isnan(m.finish(0).stdev));
    EXPECT_TRUE(std::isnan(m.finish(1).sum));
    EXPECT_TRUE(std::signbit(m.finish(2).sum));
    EXPECT_FALSE(std::signbit(m.finish(3).sum));
    EXPECT_TRUE(std::signbit(m.finish(3).min));
    EXPECT_EQ(m.finish(4).count, 2);
    EXPECT_EQ(m.finish(4).nan_count, 1);
    EXPECT_EQ(m.finish(5).count, 0);
}

// The merge of the accumulators over the ranks runs between collectives: an
// allocation refused there on one rank would leave the others waiting. All
// its room comes from the constructor, which the tool runs in an agreed step.
TEST(CellMoments, MergesAllocateNothing)
{
    const int size = virda_test::ranks();
    const table t = random_table(8, 1001, 7, [](std::mt19937& g) {
        return std::uniform_real_distribution<float>(-3.0f, 3.0f)(g);
    });
    float_cell_moments shared(t.cells, true, size);
    float_cell_moments whole(t.cells, true, size);
    shared.add(t.values.data(), t.rows, t.cells);
    whole.add(t.values.data(), t.rows, t.cells);
    allocations = 0;
    counting = true;
    const auto share = shared.reduce_shares(VIRDA_COMM);
    whole.allreduce(VIRDA_COMM);
    counting = false;
    EXPECT_EQ(allocations.load(), 0);
    for (std::size_t c = share.first; c < share.first + share.second; ++c) {
        EXPECT_EQ(shared.count(c), 8 * size);
        EXPECT_EQ(bits_of_double(shared.finish(c).sum), bits_of_double(whole.finish(c).sum));
    }
}
