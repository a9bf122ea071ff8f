#include "engine/moments.h"

#include "engine/error.h"
#include "engine/exact_sum.h"
#include "engine/exact_sum_kernels.h"
#include "engine/exact_total.h"
#include "engine/moment_kernels.h"
#include "engine/order_keys.h"
#include "engine/record_reduction.h"
#include "engine/wide_integer.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace virda_detail {

const moment_kernel_table& moment_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(moment_kernel_table, moment_table);
}

} // namespace virda_detail

namespace virda::engine {
namespace {

using namespace detail;

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

/// The record of a total of no values.
const std::array<std::int64_t, exact_record_fields>& empty_record()
{
    static const std::array<std::int64_t, exact_record_fields> record = [] {
        std::array<std::int64_t, exact_record_fields> r{};
        write_record(exact_total{}, r.data());
        return r;
    }();
    return record;
}

} // namespace

struct moments::state {
    static constexpr int no_top = std::numeric_limits<int>::min();
    struct column {
        std::int64_t count = 0;
        std::int64_t nan = 0;
        std::uint64_t least = ~std::uint64_t{0};
        std::uint64_t greatest = 0;
        // x, x^2, tiny x^2 * 2^1200, big x^2 * 2^-1200: made when a run first
        // needs them (a column of tiles never does); std::bad_alloc there is
        // reported at the finish, as any other in adding.
        std::unique_ptr<std::array<exact_sum, totals_per_column>> kept_sums;
        bool summed = false; // the first total was given values
        std::array<exact_sum, totals_per_column>& sums()
        {
            if (!kept_sums) {
                kept_sums = std::make_unique<std::array<exact_sum, totals_per_column>>();
            }
            return *kept_sums;
        }
        i128 int_sum = 0;
        u256 int_squares;
        // Tiles of a table deposited a row at a time (add_tile): their exact
        // total, kept apart from sums[0] and joined to it in the record.
        exact_total tiles;
        std::int64_t tiles_pending = 0;
        int tile_top = no_top; // the deposit's first level for the next tile
    };
    std::vector<column> columns;
    bool spread = true;
    bool failed = false;
    mutable reduction_record record;
    mutable reduction_record::agreement agreement;

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

void moments::state::fill_record(int rank, number_type type, std::int64_t ncolumns, nan_policy policy) const
{
    const std::uint64_t fingerprint =
        mix(mix(mix(mix(0, static_cast<std::uint64_t>(type)), static_cast<std::uint64_t>(ncolumns)),
                static_cast<std::uint64_t>(policy)),
            spread ? 1 : 0);
    const std::size_t stride = sums_per_column(spread);
    record.clear();
    agreement = record.reserve_agreement(failed, rank, fingerprint);
    const std::size_t sums_at = record.reserve_sums(columns.size() * stride);
    const std::size_t least_at = record.reserve_least(columns.size());
    const std::size_t greatest_at = record.reserve_greatest(columns.size());
    const bool floating = facts_of(type).floating;
    for (std::size_t j = 0; j < columns.size(); ++j) {
        const column& c = columns[j];
        std::int64_t* f = record.sums() + sums_at + j * stride;
        f[0] = c.count;
        f[1] = c.nan;
        f += 2;
        if (floating) {
            // The first total: the runs' and the tiles' (either may be
            // empty, which is the empty total's record, copied).
            const bool tiles = c.tiles.flags[flag_any] != 0;
            const bool runs = c.summed && c.kept_sums != nullptr; // not when making them failed
            if (runs) {
                (*c.kept_sums)[0].write_record(f);
            }
            if (runs && tiles) {
                exact_total joined = read_record(f);
                for (std::size_t d = 0; d < static_cast<std::size_t>(digit_count); ++d) {
                    joined.digits[d] += c.tiles.digits[d];
                }
                for (std::size_t g = 0; g < static_cast<std::size_t>(flag_count); ++g) {
                    joined.flags[g] = std::max(joined.flags[g], c.tiles.flags[g]);
                }
                write_record(joined, f); // normalised there
            } else if (tiles) {
                write_record(c.tiles, f);
            } else if (!runs) {
                std::copy(empty_record().begin(), empty_record().end(), f);
            }
            for (std::size_t t = 1; spread && t < totals_per_column; ++t) {
                if (c.kept_sums) {
                    (*c.kept_sums)[t].write_record(f + t * exact_record_fields);
                } else {
                    std::copy(empty_record().begin(), empty_record().end(), f + t * exact_record_fields);
                }
            }
        } else {
            exact_total sum;
            exact_total squares;
            // Integers are never -0.0; the totals are in units of 2^-1074.
            for (exact_total* t : {&sum, &squares}) {
                t->flags[flag_any] = c.count > 0 ? 1 : 0;
                t->flags[flag_not_negzero] = t->flags[flag_any];
            }
            add_scaled(sum, c.int_sum & ((i128{1} << 64) - 1), 1074);
            add_scaled(sum, c.int_sum >> 64, 1074 + 64);
            const u128 mask = (u128{1} << 64) - 1;
            add_scaled(squares, static_cast<i128>(c.int_squares.lo & mask), 1074);
            add_scaled(squares, static_cast<i128>(c.int_squares.lo >> 64), 1074 + 64);
            add_scaled(squares, static_cast<i128>(c.int_squares.hi & mask), 1074 + 128);
            add_scaled(squares, static_cast<i128>(c.int_squares.hi >> 64), 1074 + 192);
            write_record(sum, f);
            if (spread) {
                write_record(squares, f + exact_record_fields);
                write_record(exact_total{}, f + 2 * exact_record_fields);
                write_record(exact_total{}, f + 3 * exact_record_fields);
            }
        }
        record.least()[least_at + j] = c.least;
        record.greatest()[greatest_at + j] = c.greatest;
    }
}

moment_summary moments::state::summary(number_type type, nan_policy policy) const
{
    // The record's sections, as fill_record reserved them after the
    // agreement fields (two least, one greatest).
    const std::size_t n = columns.size();
    const std::int64_t* sums = record.sums();
    const std::uint64_t* least = record.least() + 2;
    const std::uint64_t* greatest = record.greatest() + 1;
    std::vector<moment_summary::column_result> out(n);
    for (std::size_t j = 0; j < n; ++j) {
        const std::int64_t* f = sums + j * sums_per_column(spread);
        moment_summary::column_result& r = out[j];
        r.count = f[0];
        r.nan_count = f[1];
        const exact_total s1 = read_record(f + 2);
        r.sum = round_to_double(s1);
        r.infinite = s1.flags[flag_pos_inf] != 0 || s1.flags[flag_neg_inf] != 0;
        r.least = number_of_key(type, least[j]);
        r.greatest = number_of_key(type, greatest[j]);
        r.spread_known = spread;
        if (r.count == 0 || r.infinite) {
            continue;
        }
        const wide_integer a = wide_integer::from_total(s1);
        const auto count = static_cast<std::uint64_t>(r.count);
        r.precise_mean = a.rounded(-1074) / static_cast<long double>(r.count);
        if (!spread) {
            continue;
        }
        // count * sum(x^2) - sum(x)^2 in units of 2^-2274: x^2 totals are in
        // units of 2^-1074, the tiny ones scaled by 2^1200 and the big ones
        // by 2^-1200; sum(x)^2 is in units of 2^-2148.
        const wide_integer squares =
            wide_integer::from_total(read_record(f + 2 + exact_record_fields))
                .shifted(1200)
                .plus(wide_integer::from_total(read_record(f + 2 + 2 * exact_record_fields)))
                .plus(wide_integer::from_total(read_record(f + 2 + 3 * exact_record_fields)).shifted(2400));
        r.spread = squares.times(count).minus(a.times(a).shifted(126)).rounded(-2274);
    }
    return moment_summary(std::move(out), policy);
}

moments::moments(number_type type, std::int64_t columns, bool spread) : type_(type), columns_(columns), spread_(spread)
{
    if (columns < 1) {
        throw error(error_code::invalid_argument, "moments: the number of columns must be at least 1");
    }
    state_ = std::make_unique<state>();
    state_->spread = spread;
    state_->columns.resize(static_cast<std::size_t>(columns));
    // The record's room, so that finishing allocates nothing new.
    state_->fill_record(0, type_, columns_, nan_policy::propagate);
    state_->record.allreduce(MPI_COMM_NULL);
}

moments::~moments() = default;
moments::moments(moments&&) noexcept = default;
moments& moments::operator=(moments&&) noexcept = default;

void moments::add(const values_view& v)
{
    if (v.type != type_) {
        throw error(error_code::invalid_argument, std::string("moments: values of type ") + facts_of(v.type).name +
                                                      " added to an accumulator of " + facts_of(type_).name);
    }
    if (columns_ != 1) {
        throw error(error_code::invalid_argument,
                    "moments: a run of values added to an accumulator of several columns (add a table)");
    }
    if (state_->failed || v.count <= 0) {
        return;
    }
    try {
        visit_number_type(type_, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            state_->add_run<T>(state_->columns[0], v);
        });
    } catch (const std::bad_alloc&) {
        // Reported by every rank at the finish.
        state_->failed = true;
    }
}

void moments::add(const table_view& t)
{
    if (t.type != type_) {
        throw error(error_code::invalid_argument, std::string("moments: values of type ") + facts_of(t.type).name +
                                                      " added to an accumulator of " + facts_of(type_).name);
    }
    if (columns_ == 1) {
        for_each_run(t, [&](const values_view& run) { add(run); });
        return;
    }
    if (t.columns != columns_) {
        throw error(error_code::invalid_argument, "moments: a table of " + std::to_string(t.columns) +
                                                      " columns added to an accumulator of " +
                                                      std::to_string(columns_));
    }
    if (state_->failed || t.rows <= 0) {
        return;
    }
    try {
        visit_number_type(type_, [&](auto* p) {
            using T = std::remove_pointer_t<decltype(p)>;
            // Where a row's values lie closer together than a column's, the
            // columns are read a tile of rows at a time, so that the lines a
            // tile touches stay in the cache from one column to the next.
            const auto magnitude = [](std::int64_t s) { return s < 0 ? -s : s; };
            const std::int64_t tile = magnitude(t.column_stride) < magnitude(t.row_stride) ? static_cast<std::int64_t>(chunk) : t.rows;
            if constexpr (std::is_same_v<T, double>) {
                const auto* base = static_cast<const char*>(t.data);
                if (!spread_ && t.column_stride == static_cast<std::int64_t>(sizeof(double)) &&
                    t.row_stride % static_cast<std::int64_t>(sizeof(double)) == 0 &&
                    magnitude(t.row_stride) >= t.columns * static_cast<std::int64_t>(sizeof(double)) &&
                    reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0) {
                    // Rows of contiguous columns: tiles of up to 256 columns
                    // and about 256 KB, a row at a time.
                    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(t.row_stride / 8);
                    for (std::int64_t j = 0; j < columns_; j += virda_detail::tile_deposit_columns) {
                        const std::int64_t k = std::min<std::int64_t>(columns_ - j, virda_detail::tile_deposit_columns);
                        const std::int64_t rows_per_tile =
                            std::clamp<std::int64_t>(32768 / k, 16, virda_detail::tile_deposit_rows);
                        for (std::int64_t r = 0; r < t.rows; r += rows_per_tile) {
                            state_->add_tile(reinterpret_cast<const double*>(base + r * t.row_stride) + j,
                                             static_cast<std::size_t>(std::min(rows_per_tile, t.rows - r)), step,
                                             static_cast<std::size_t>(j), static_cast<std::size_t>(k));
                        }
                    }
                    return;
                }
            }
            for (std::int64_t r = 0; r < t.rows; r += tile) {
                const auto* first = static_cast<const char*>(t.data) + r * t.row_stride;
                const std::int64_t m = std::min(tile, t.rows - r);
                for (std::int64_t j = 0; j < columns_; ++j) {
                    state_->add_run<T>(state_->columns[static_cast<std::size_t>(j)],
                                       values_view{first + j * t.column_stride, t.type, m, t.row_stride});
                }
            }
        });
    } catch (const std::bad_alloc&) {
        state_->failed = true;
    }
}

moment_summary moments::finish(MPI_Comm comm, nan_policy policy) const
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    state_->fill_record(rank, type_, columns_, policy);
    if (!state_->record.allreduce(comm)) {
        throw error(error_code::mpi_failure, "moments: the reduction over the communicator failed");
    }
    const int failed = state_->record.failed_rank(state_->agreement);
    if (failed >= 0) {
        throw error(error_code::out_of_memory,
                    "moments: rank " + std::to_string(failed) + " could not allocate memory for its values", failed);
    }
    if (!state_->record.same_calls(state_->agreement)) {
        throw error(error_code::ranks_disagree,
                    "moments: the ranks finished accumulators of different number types, columns or NaN policies");
    }
    return state_->summary(type_, policy);
}

moment_summary moments::finish_local(nan_policy policy) const
{
    if (state_->failed) {
        throw error(error_code::out_of_memory, "moments: could not allocate memory for the values");
    }
    state_->fill_record(0, type_, columns_, policy);
    return state_->summary(type_, policy);
}

void moments::clear()
{
    for (state::column& c : state_->columns) {
        c = state::column();
    }
    state_->failed = false;
}

bool moment_summary::propagates_nan(std::size_t column) const
{
    return policy_ == nan_policy::propagate && columns_.at(column).nan_count > 0;
}

double moment_summary::sum(std::size_t column) const
{
    return propagates_nan(column) ? std::numeric_limits<double>::quiet_NaN() : columns_.at(column).sum;
}

double moment_summary::mean(std::size_t column) const
{
    return sum(column) / static_cast<double>(columns_.at(column).count);
}

long double moment_summary::precise_mean(std::size_t column) const
{
    const column_result& r = columns_.at(column);
    if (propagates_nan(column) || r.count == 0 || r.infinite) {
        return static_cast<long double>(mean(column));
    }
    return r.precise_mean;
}

namespace {

/// spread / (n (n - ddof)) in long double: the variance, which may lie
/// beyond the doubles when the values are near their largest (NaN when it
/// is not defined).
long double wide_variance(const moment_summary::column_result& r, bool nan_propagates, double ddof)
{
    if (nan_propagates || r.count == 0 || r.infinite || !r.spread_known || std::isnan(ddof)) {
        return std::numeric_limits<long double>::quiet_NaN();
    }
    const long double n = static_cast<long double>(r.count);
    const long double dof = std::max(n - static_cast<long double>(ddof), 0.0L);
    return r.spread / (n * dof);
}

} // namespace

double moment_summary::variance(double ddof, std::size_t column) const
{
    return static_cast<double>(wide_variance(columns_.at(column), propagates_nan(column), ddof));
}

double moment_summary::stdev(double ddof, std::size_t column) const
{
    // The root of the long double variance, rounded once: a variance beyond
    // the doubles (values of both signs near the largest double) still has
    // a standard deviation that is one.
    return static_cast<double>(std::sqrt(wide_variance(columns_.at(column), propagates_nan(column), ddof)));
}

double moment_summary::min(std::size_t column) const
{
    const column_result& r = columns_.at(column);
    return propagates_nan(column) || r.count == 0 ? std::numeric_limits<double>::quiet_NaN() : r.least.as_double();
}

double moment_summary::max(std::size_t column) const
{
    const column_result& r = columns_.at(column);
    return propagates_nan(column) || r.count == 0 ? std::numeric_limits<double>::quiet_NaN()
                                                  : r.greatest.as_double();
}

} // namespace virda::engine
