// The adding passes of a moments accumulator: runs of values, repeated
// values and tiles of a table into each column's counts, extremes and exact
// totals.

#include "engine/exact_sum_kernels.h"
#include "engine/moment_kernels.h"
#include "engine/moments_state.h"
#include "engine/order_keys.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace virda::engine {

using namespace detail;
using namespace moment_layout;

void moments::state::add_floats(column& c, const double* x, std::size_t m)
{
    const virda_detail::moment_kernel_table& k = virda_detail::moment_kernels();
    virda_detail::moment_scan s;
    // Without the squares, the smallest magnitude is not needed.
    (spread ? k.scan : k.extremes)(x, m, &s);
    double clean[chunk];
    const double* v = x;
    std::size_t n = m;
    if (s.nan != 0) {
        c.nan += static_cast<std::int64_t>(s.nan);
        n = k.drop_nan(x, m, clean);
        v = clean;
    }
    if (n == 0) {
        return;
    }
    c.count += static_cast<std::int64_t>(n);
    c.summed = true;
    const double least = s.least == 0.0 ? (s.negative_zero ? -0.0 : 0.0) : s.least;
    const double greatest = s.greatest == 0.0 ? (s.positive_zero ? 0.0 : -0.0) : s.greatest;
    c.least = std::min(c.least, key_of(least));
    c.greatest = std::max(c.greatest, key_of(greatest));
    c.sums()[0].add_scanned(v, n, s.largest_abs);
    if (!spread) {
        return;
    }

    double hi[chunk];
    double lo[chunk];
    if (s.largest_abs <= big_bound && s.smallest_abs >= tiny_bound) {
        // The squares' largest is the largest value's square; every rest is
        // at most half a unit in the last place of that square.
        k.square(v, n, hi, lo);
        const double top = s.largest_abs * s.largest_abs;
        c.sums()[1].add_scanned(hi, n, top);
        c.sums()[1].add_scanned(lo, n, top == 0.0 ? 0.0 : std::ldexp(1.0, std::ilogb(top) - 52));
        return;
    }
    // Values outside the squares' exact range, scaled by a power of two
    // into it (exactly), each class into its own total; infinities have no
    // square to add (their variance is NaN).
    double parts[3][chunk];
    std::size_t counts[3] = {0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        const double a = std::fabs(v[i]);
        if (a == 0.0 || (a >= tiny_bound && a <= big_bound)) {
            parts[0][counts[0]++] = v[i];
        } else if (a < tiny_bound) {
            parts[1][counts[1]++] = std::ldexp(v[i], scale_bits);
        } else if (!std::isinf(a)) {
            parts[2][counts[2]++] = std::ldexp(v[i], -scale_bits);
        }
    }
    for (int p = 0; p < 3; ++p) {
        if (counts[p] == 0) {
            continue;
        }
        k.square(parts[p], counts[p], hi, lo);
        c.sums()[1 + p].add(hi, counts[p]);
        c.sums()[1 + p].add(lo, counts[p]);
    }
}

// A tile of a table of doubles with contiguous columns: each column a lane
// of the exact sum's error-free deposit, its extremes and NaN count found in
// the same pass. The deposit's first level must lie 13 binades above the
// column's largest magnitude: it is taken from the column's previous tile,
// with a binade to spare (from a pass of its own on a column's first tile),
// and checked against this tile's extremes afterwards. A column the deposit
// could not take exactly (NaN, an infinity, a zero among its extremes whose
// sign the pass does not tell, a magnitude above the level, magnitudes
// spanning more than three levels) goes the way of a strided run instead;
// the totals are exact either way. Only without the squares.
void moments::state::add_tile(const double* x, std::size_t rows, std::ptrdiff_t row_step, std::size_t first,
                              std::size_t k)
{
    using virda_detail::tile_deposit_columns;
    const virda_detail::moment_kernel_table& kernels = virda_detail::moment_kernels();
    double least[tile_deposit_columns];
    double greatest[tile_deposit_columns];
    std::int64_t nans[tile_deposit_columns];
    int tops[tile_deposit_columns];
    // The first level for a column whose largest magnitude is `largest`
    // (finite, not zero), and whether a column's extremes allow a deposit.
    const auto top_for = [](double largest) { return std::max(std::ilogb(largest), -1022) + 13; };
    const auto depositable = [&](std::size_t j) {
        return nans[j] == 0 && least[j] != 0.0 && greatest[j] != 0.0 && std::isfinite(least[j]) &&
               std::isfinite(greatest[j]);
    };
    bool unknown = false;
    for (std::size_t j = 0; j < k; ++j) {
        unknown = unknown || columns[first + j].tile_top == no_top;
    }
    if (unknown) {
        kernels.tile_extremes(x, rows, row_step, k, least, greatest, nans);
        for (std::size_t j = 0; j < k; ++j) {
            column& c = columns[first + j];
            if (c.tile_top == no_top) {
                c.tile_top = depositable(j) ? std::min(top_for(std::max(-least[j], greatest[j])), 1022) : 0;
            }
        }
    }
    for (std::size_t j = 0; j < k; ++j) {
        tops[j] = columns[first + j].tile_top;
    }
    std::int64_t units[3 * tile_deposit_columns];
    std::uint8_t rest[tile_deposit_columns];
    kernels.tile_deposit(x, rows, row_step, k, tops, 2, units, rest, least, greatest, nans);
    std::uint8_t left[tile_deposit_columns];
    bool deeper = false;
    for (std::size_t j = 0; j < k; ++j) {
        const bool fits = depositable(j) && top_for(std::max(-least[j], greatest[j])) <= tops[j];
        left[j] = fits ? rest[j] : 2;
        deeper = deeper || left[j] == 1;
    }
    if (deeper) {
        // Some column spans more than two levels: three for every column,
        // kept where two left a rest.
        std::int64_t units3[3 * tile_deposit_columns];
        double ignored[2][tile_deposit_columns];
        std::int64_t ignored_nans[tile_deposit_columns];
        kernels.tile_deposit(x, rows, row_step, k, tops, 3, units3, rest, ignored[0], ignored[1], ignored_nans);
        for (std::size_t j = 0; j < k; ++j) {
            if (left[j] == 1) {
                std::copy(units3 + 3 * j, units3 + 3 * j + 3, units + 3 * j);
                left[j] = rest[j];
            }
        }
    }
    // The digits take 2^20 tiles' units before they must be normalised.
    constexpr std::int64_t normalise_interval = std::int64_t{1} << 20;
    for (std::size_t j = 0; j < k; ++j) {
        column& c = columns[first + j];
        if (depositable(j)) {
            // The next tile's level, with a binade to spare.
            c.tile_top = std::min(top_for(std::max(-least[j], greatest[j])) + 1, 1022);
        }
        if (left[j] != 0) {
            add_run<double>(c, values_view{x + j, number_type::float64, static_cast<std::int64_t>(rows),
                                           static_cast<std::int64_t>(row_step * static_cast<std::ptrdiff_t>(sizeof(double)))});
            continue;
        }
        c.count += static_cast<std::int64_t>(rows);
        c.least = std::min(c.least, key_of(least[j]));
        c.greatest = std::max(c.greatest, key_of(greatest[j]));
        int a = tops[j];
        for (int l = 0; l < 3; ++l) {
            add_scaled(c.tiles, units[3 * j + static_cast<std::size_t>(l)], a - 52 + 1074);
            a = virda_detail::exact_next_level(a);
        }
        c.tiles.flags[flag_any] = 1;
        c.tiles.flags[flag_not_negzero] = 1; // the column's extremes are not zero
        if (++c.tiles_pending == normalise_interval) {
            normalise(c.tiles);
            c.tiles_pending = 0;
        }
    }
}

/// The square of a 64-bit integer's value, in unsigned 128-bit arithmetic
/// (up to (2^64 - 1)^2, beyond the signed 128-bit range).
static u128 square_of(i128 v)
{
    const u128 a = v < 0 ? static_cast<u128>(-v) : static_cast<u128>(v);
    return a * a;
}

template <typename T>
void moments::state::add_integers(column& c, const T* x, std::size_t m)
{
    using wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
    std::uint64_t least = ~std::uint64_t{0};
    std::uint64_t greatest = 0;
    i128 sum = 0;
    if constexpr (sizeof(T) <= 4) {
        // Squares below 2^64: a chunk's total stays within 2^75.
        u128 squares = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const std::int64_t v = x[i];
            const std::uint64_t a = static_cast<std::uint64_t>(v < 0 ? -v : v);
            sum += v;
            squares += a * a; // below 2^64 for values of 32 bits
            const std::uint64_t key = key_of(static_cast<wide>(x[i]));
            least = std::min(least, key);
            greatest = std::max(greatest, key);
        }
        c.int_squares.add(squares);
    } else {
        for (std::size_t i = 0; i < m; ++i) {
            const i128 v = static_cast<i128>(x[i]);
            sum += v;
            c.int_squares.add(square_of(v));
            const std::uint64_t key = key_of(static_cast<wide>(x[i]));
            least = std::min(least, key);
            greatest = std::max(greatest, key);
        }
    }
    c.int_sum += sum;
    c.count += static_cast<std::int64_t>(m);
    c.least = std::min(c.least, least);
    c.greatest = std::max(c.greatest, greatest);
}

template <typename T>
void moments::state::add_repeated(column& c, T value, std::int64_t times)
{
    // One value `times` times, at the cost of one: a broadcast view.
    if constexpr (std::is_floating_point_v<T>) {
        const double x = static_cast<double>(value);
        if (std::isnan(x)) {
            c.nan += times;
            return;
        }
        c.count += times;
        c.least = std::min(c.least, key_of(x));
        c.greatest = std::max(c.greatest, key_of(x));
        c.sums()[0].add(values_view{&x, number_type::float64, times, 0});
        c.summed = true;
        if (std::isinf(x) || !spread) {
            return;
        }
        const double a = std::fabs(x);
        int part = 0;
        double y = x;
        if (a != 0.0 && a < tiny_bound) {
            part = 1;
            y = std::ldexp(x, scale_bits);
        } else if (a > big_bound) {
            part = 2;
            y = std::ldexp(x, -scale_bits);
        }
        double hi = 0;
        double lo = 0;
        virda_detail::moment_kernels().square(&y, 1, &hi, &lo);
        c.sums()[1 + part].add(values_view{&hi, number_type::float64, times, 0});
        c.sums()[1 + part].add(values_view{&lo, number_type::float64, times, 0});
    } else {
        using wide = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
        const i128 v = static_cast<i128>(value);
        c.count += times;
        c.int_sum += v * times;
        c.int_squares.add_times(square_of(v), static_cast<std::uint64_t>(times));
        c.least = std::min(c.least, key_of(static_cast<wide>(value)));
        c.greatest = std::max(c.greatest, key_of(static_cast<wide>(value)));
    }
}

template <typename T>
void moments::state::add_run(column& c, const values_view& v)
{
    if (v.stride == 0 && v.count > 0) {
        T value;
        std::memcpy(&value, v.data, sizeof value);
        add_repeated(c, value, v.count);
        return;
    }
    // Chunks of contiguous values: the run itself where it is contiguous and
    // aligned, else copied (floats converted to doubles, exactly).
    const auto* p = static_cast<const unsigned char*>(v.data);
    const bool in_place = v.stride == static_cast<std::int64_t>(sizeof(T)) &&
                          reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0;
    using held = std::conditional_t<std::is_floating_point_v<T>, double, T>;
    held copy[chunk];
    for (std::int64_t done = 0; done < v.count;) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(v.count - done, chunk));
        const held* block = copy;
        if (in_place && std::is_same_v<T, held>) {
            block = reinterpret_cast<const held*>(p + done * v.stride);
        } else {
            const unsigned char* q = p + done * v.stride;
            for (std::size_t i = 0; i < m; ++i, q += v.stride) {
                T value;
                std::memcpy(&value, q, sizeof value);
                copy[i] = static_cast<held>(value);
            }
        }
        if constexpr (std::is_floating_point_v<T>) {
            add_floats(c, block, m);
        } else {
            add_integers(c, block, m);
        }
        done += static_cast<std::int64_t>(m);
    }
}

// Every number type's run, as the accumulator adds them.
#define VIRDA_MOMENTS_ADD_RUN(T, name, fl, s) \
    template void moments::state::add_run<T>(column & c, const values_view& v);
VIRDA_NUMBER_TYPES(VIRDA_MOMENTS_ADD_RUN)
#undef VIRDA_MOMENTS_ADD_RUN

} // namespace virda::engine
