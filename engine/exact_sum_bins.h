#ifndef VIRDA_ENGINE_EXACT_SUM_BINS_H
#define VIRDA_ENGINE_EXACT_SUM_BINS_H

// The exact sum's general path: values scattered by their exponent field
// into tables of 128-bit bins (mantissa totals and counts), folded into an
// exact total before any bin could overflow. Not installed.

#include "engine/exact_total.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace virda::engine::exact_sum_bins {

using detail::add_scaled;
using detail::exact_total;
using detail::flag_any;
using detail::flag_nan;
using detail::flag_neg_inf;
using detail::flag_not_negzero;
using detail::flag_pos_inf;
using detail::i128;
using detail::normalise;
using detail::u128;

struct bin {
    std::uint64_t lo;
    std::uint64_t hi;
};
constexpr int table_count = 4;
constexpr std::size_t table_padding = 20; // bins: 320 bytes
constexpr int count_shift = 96;
constexpr std::uint64_t count_unit_hi = std::uint64_t{1} << (count_shift - 64);

// Bins are folded into the fixed-point total after this many elements of one
// type, which keeps every bin count far below 2^32.
constexpr std::size_t fold_interval = std::size_t{1} << 24;

struct double_format {
    using value_type = double;
    using bits_type = std::uint64_t;
    static constexpr int frac_bits = 52;
    static constexpr int exp_bits = 11;
    // Position, in units of 2^-1074, of the unit of m in the bin of exponent
    // field e is max(e, 1) + unit_offset.
    static constexpr int unit_offset = -1;
};

template <typename Format>
constexpr std::size_t bins_per_table = std::size_t{1} << (Format::exp_bits + 1);

template <typename Format>
constexpr std::size_t table_stride = bins_per_table<Format> + table_padding;

template <typename Format>
typename Format::bits_type bits_of(const typename Format::value_type* p)
{
    typename Format::bits_type b;
    std::memcpy(&b, p, sizeof b);
    return b;
}

// lo + 2^64 hi += pattern + 2^96. Written so that the compiler emits one add
// and one add-with-carry into memory.
inline void add_to_bin(bin& b, std::uint64_t pattern)
{
    const std::uint64_t lo = b.lo + pattern;
    b.hi += count_unit_hi + (lo < pattern ? 1 : 0);
    b.lo = lo;
}

// The hot loop: element i (values[i * step]) goes to table i % table_count.
// Contiguous input has a copy of its own, so that its loads need no multiply.
template <typename Format, bool Contiguous>
void scatter(bin* __restrict bins, const typename Format::value_type* __restrict values,
             std::size_t count, std::size_t step)
{
    static_assert(table_count == 4, "the loop below is unrolled for four tables");
    constexpr std::size_t stride = table_stride<Format>;
    constexpr int shift = Format::frac_bits;
    const auto at = [values, step](std::size_t i) {
        return bits_of<Format>(values + (Contiguous ? i : i * step));
    };
    bin* const t0 = bins;
    bin* const t1 = bins + stride;
    bin* const t2 = bins + 2 * stride;
    bin* const t3 = bins + 3 * stride;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const std::uint64_t b0 = at(i);
        const std::uint64_t b1 = at(i + 1);
        const std::uint64_t b2 = at(i + 2);
        const std::uint64_t b3 = at(i + 3);
        add_to_bin(t0[b0 >> shift], b0);
        add_to_bin(t1[b1 >> shift], b1);
        add_to_bin(t2[b2 >> shift], b2);
        add_to_bin(t3[b3 >> shift], b3);
    }
    for (; i < count; ++i) {
        const std::uint64_t b = at(i);
        add_to_bin(t0[b >> shift], b);
    }
}

// Adds the bins of every table to t.
template <typename Format>
void fold(const bin* bins, exact_total& t)
{
    constexpr std::size_t stride = table_stride<Format>;
    constexpr unsigned exp_max = (1u << Format::exp_bits) - 1;
    for (std::size_t index = 0; index < bins_per_table<Format>; ++index) {
        u128 sum = 0;
        for (int table = 0; table < table_count; ++table) {
            const bin& b = bins[table * stride + index];
            sum += (u128{b.hi} << 64) | b.lo;
        }
        if (sum == 0) {
            continue;
        }
        const u128 count = sum >> count_shift;
        const u128 pattern_sum = sum - (count << count_shift);
        const u128 fractions = pattern_sum - count * (u128{index} << Format::frac_bits);
        const bool negative = (index >> Format::exp_bits) != 0;
        const unsigned exponent = static_cast<unsigned>(index) & exp_max;

        t.flags[flag_any] = 1;
        if (exponent == exp_max) {
            if (fractions != 0) {
                t.flags[flag_nan] = 1; // at least one NaN; inf counts no longer matter
            } else {
                t.flags[negative ? flag_neg_inf : flag_pos_inf] = 1;
            }
            t.flags[flag_not_negzero] = 1;
            continue;
        }
        if (!(negative && exponent == 0 && fractions == 0)) {
            t.flags[flag_not_negzero] = 1;
        }
        u128 significands = fractions;
        if (exponent != 0) {
            significands += count << Format::frac_bits;
        }
        if (significands == 0) {
            continue;
        }
        const i128 value = negative ? -static_cast<i128>(significands)
                                    : static_cast<i128>(significands);
        add_scaled(t, value, static_cast<int>(std::max(exponent, 1u)) + Format::unit_offset);
    }
    normalise(t);
}

template <typename Format>
void add_values(std::vector<bin>& bins, std::size_t& pending, exact_total& folded,
                const typename Format::value_type* values, std::size_t count, std::size_t step)
{
    if (count == 0) {
        return;
    }
    if (bins.empty()) {
        bins.assign(table_count * table_stride<Format>, bin{0, 0});
    }
    while (count > 0) {
        const std::size_t take = std::min(count, fold_interval - pending);
        if (step == 1) {
            scatter<Format, true>(bins.data(), values, take, 1);
        } else {
            scatter<Format, false>(bins.data(), values, take, step);
        }
        count -= take;
        pending += take;
        if (pending == fold_interval) {
            fold<Format>(bins.data(), folded);
            std::fill(bins.begin(), bins.end(), bin{0, 0});
            pending = 0;
        }
        if (count > 0) {
            values += take * step;
        }
    }
}

} // namespace virda::engine::exact_sum_bins

#endif
