// Rows moved between layouts: every rank builds the rows it gives and the
// rows it should end with from the global row index.

#include "frontend/row_exchange.h"

#include "virda_test/ranks.h"
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdint>
#include <vector>

namespace {

using namespace virda::frontend;
using virda_test::world_rank;
using virda_test::world_size;

/// Row g holds three int32: g, -g, 7 g.
std::vector<std::int32_t> rows_of(const row_range& r)
{
    std::vector<std::int32_t> v;
    for (std::int64_t g = r.first; g < r.first + r.count; ++g) {
        v.insert(v.end(), {static_cast<std::int32_t>(g), static_cast<std::int32_t>(-g), static_cast<std::int32_t>(7 * g)});
    }
    return v;
}

TEST(RowExchange, AnyLayoutToTheBalancedOneAndBack)
{
    const int n = world_size();
    const int me = world_rank();
    for (const std::int64_t rows : {0, 1, 5, 1001}) {
        // Given: everything on the last rank, or rank r holding r + 1 parts.
        for (int shape = 0; shape < 2; ++shape) {
            std::vector<std::int64_t> given(static_cast<std::size_t>(n), 0);
            if (shape == 0) {
                given.back() = rows;
            } else {
                std::int64_t left = rows;
                for (int r = 0; r < n; ++r) {
                    given[static_cast<std::size_t>(r)] = r == n - 1 ? left : std::min(left, rows * (r + 1) / (n * (n + 1) / 2));
                    left -= given[static_cast<std::size_t>(r)];
                }
            }
            const std::vector<row_range> from = layout_of(given);
            std::vector<row_range> to;
            for (int r = 0; r < n; ++r) {
                to.push_back(balanced_rows(rows, n, r));
            }
            const std::vector<std::int32_t> mine = rows_of(from[static_cast<std::size_t>(me)]);
            std::vector<std::int32_t> got(static_cast<std::size_t>(to[static_cast<std::size_t>(me)].count) * 3, -1);
            EXPECT_TRUE(exchange_rows(mine.data(), got.data(), 12, from, to, MPI_COMM_WORLD));
            EXPECT_EQ(rows_of(to[static_cast<std::size_t>(me)]), got) << rows << " rows, shape " << shape;
            std::vector<std::int32_t> back(mine.size(), -1);
            EXPECT_TRUE(exchange_rows(got.data(), back.data(), 12, to, from, MPI_COMM_WORLD));
            EXPECT_EQ(mine, back);
        }
    }
}

TEST(RowExchange, TheBalancedLayout)
{
    // 10 rows on 4 ranks: 3, 3, 2, 2; 3 rows on 4 ranks: 1, 1, 1, 0.
    EXPECT_EQ(6, balanced_rows(10, 4, 2).first);
    EXPECT_EQ(2, balanced_rows(10, 4, 2).count);
    EXPECT_EQ(3, balanced_rows(3, 4, 3).first);
    EXPECT_EQ(0, balanced_rows(3, 4, 3).count);
    const std::int64_t huge = std::int64_t{1} << 40;
    EXPECT_EQ(huge / 3 + 1, balanced_rows(huge, 3, 0).count);
}

} // namespace
