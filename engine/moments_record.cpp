// The record of a moments accumulator: its columns' counts, extremes and
// exact totals written for the reduction over the ranks, and the summary
// read back from the reduced record.

#include "engine/moments_state.h"
#include "engine/order_keys.h"

#include <algorithm>
#include <array>

namespace virda::engine {

using namespace detail;
using namespace moment_layout;

namespace {

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

} // namespace virda::engine
