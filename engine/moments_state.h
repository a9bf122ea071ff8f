#ifndef VIRDA_ENGINE_MOMENTS_STATE_H
#define VIRDA_ENGINE_MOMENTS_STATE_H

// What a moments accumulator keeps per column between adding and finishing,
// and the layout of the record its finish reduces. Shared by the adding
// passes, the record and the accumulator itself. Not installed.

#include "engine/exact_sum.h"
#include "engine/exact_total.h"
#include "engine/moments.h"
#include "engine/record_reduction.h"
#include "engine/wide_integer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace virda::engine {
namespace moment_layout {

using detail::exact_record_fields;
using detail::u128;

/// A 256-bit unsigned total (squares of 64-bit integers).
struct u256 {
    u128 lo = 0;
    u128 hi = 0;
    void add(u128 v)
    {
        lo += v;
        hi += lo < v ? 1 : 0;
    }
    /// += v * times.
    void add_times(u128 v, std::uint64_t times)
    {
        const u128 mask = (u128{1} << 64) - 1;
        const u128 low = (v & mask) * times;  // below 2^128
        const u128 high = (v >> 64) * times; // below 2^128, weight 2^64
        add(low);
        add(high << 64);
        hi += high >> 64;
    }
};

constexpr std::size_t chunk = 2048;
// Squares of values in [2^-480, 2^511] and their rests are exact doubles;
// smaller values are squared after scaling by 2^600, larger by 2^-600.
constexpr double tiny_bound = 0x1p-480;
constexpr double big_bound = 0x1p511;
constexpr int scale_bits = 600;

// A column's record: count and NaN count, then four exact totals (x, x^2,
// and x^2 of tiny and of big values, each scaled), or without the squares
// the first alone; the same length for every number type so that a
// mismatch of types is caught by the fingerprint rather than by MPI.
constexpr std::size_t totals_per_column = 4;
constexpr std::size_t sums_per_column(bool spread)
{
    return 2 + (spread ? totals_per_column : 1) * exact_record_fields;
}

} // namespace moment_layout

struct moments::state {
    using u256 = moment_layout::u256;
    static constexpr int no_top = std::numeric_limits<int>::min();
    struct column {
        std::int64_t count = 0;
        std::int64_t nan = 0;
        std::uint64_t least = ~std::uint64_t{0};
        std::uint64_t greatest = 0;
        // x, x^2, tiny x^2 * 2^1200, big x^2 * 2^-1200: made when a run first
        // needs them (a column of tiles never does); std::bad_alloc there is
        // reported at the finish, as any other in adding.
        std::unique_ptr<std::array<exact_sum, moment_layout::totals_per_column>> kept_sums;
        bool summed = false; // the first total was given values
        std::array<exact_sum, moment_layout::totals_per_column>& sums()
        {
            if (!kept_sums) {
                kept_sums = std::make_unique<std::array<exact_sum, moment_layout::totals_per_column>>();
            }
            return *kept_sums;
        }
        detail::i128 int_sum = 0;
        u256 int_squares;
        // Tiles of a table deposited a row at a time (add_tile): their exact
        // total, kept apart from sums[0] and joined to it in the record.
        detail::exact_total tiles;
        std::int64_t tiles_pending = 0;
        int tile_top = no_top; // the deposit's first level for the next tile
    };
    std::vector<column> columns;
    bool spread = true;
    bool failed = false;
    mutable detail::reduction_record record;
    mutable detail::reduction_record::agreement agreement;

    void add_floats(column& c, const double* x, std::size_t m);
    void add_tile(const double* x, std::size_t rows, std::ptrdiff_t row_step, std::size_t first, std::size_t k);
    template <typename T>
    void add_integers(column& c, const T* x, std::size_t m);
    template <typename T>
    void add_run(column& c, const values_view& v);
    template <typename T>
    void add_repeated(column& c, T value, std::int64_t times);
    void fill_record(int rank, number_type type, std::int64_t ncolumns, nan_policy policy) const;
    moment_summary summary(number_type type, nan_policy policy) const;
};

} // namespace virda::engine

#endif
