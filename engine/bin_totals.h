#ifndef VIRDA_ENGINE_BIN_TOTALS_H
#define VIRDA_ENGINE_BIN_TOTALS_H

// Exact totals of doubles per bin, added one value at a time in any order,
// for the binning statistics. Not installed.
//
// Each bin has a small accumulator beside its exact total: a 128-bit
// integer in units of 2^base, base chosen from the bin's first nonzero
// value 20 binary places below it (at most 2005, so that no finite value
// lies more than 40 places above it), and moved up when a value lies more
// than 40 places above base. A normal nonzero value within those 40 places
// of base (the values of one bin are mostly of one magnitude) is added
// there: its signed mantissa shifted into two 64-bit words and added with a
// carry, 24 bytes per bin, which stay in cache for thousands of bins. Only
// that case is tested for on the way in; zeros, subnormals, values far
// smaller or larger, inf and NaN, and a bin's first value take the other
// path, which sets the bin's flags (so a value added on the short path
// never needs to) and sends what the accumulator cannot hold to the bin's
// exact total (see exact_total.h). fold() moves the accumulators into the
// exact totals; the value held is the same either way, so the rounded
// totals are those of the exact sum.

#include "engine/binning_support.h"
#include "engine/exact_total.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace virda::engine::detail {

class bin_totals {
public:
    /// `cells` totals of nothing. Throws std::bad_alloc.
    explicit bin_totals(std::size_t cells) : fast_(cells), exact_(cells) {}

    std::size_t size() const { return fast_.size(); }

    /// Adds x to the total of `cell`.
    void add(std::size_t cell, double x)
    {
        // Each term is below 2^(53 + max_shift): fold long before 2^127,
        // or 2^63 in a digit of an exact total (below 2^33 per value: a base move adds twice).
        if (++pending_ >= fold_interval) {
            fold();
        }
        add_held(fast_[cell], cell, x);
    }

    /// Adds term(v[i], cell) to the total of cell = base + numbers[i] for
    /// every i with numbers[i] >= 0: the same totals as add() one at a time,
    /// with the fold test once per run instead of once per value.
    template <typename Term>
    void add_run(std::size_t base, const std::int64_t* numbers, const double* v, std::size_t n, Term term)
    {
        while (n > 0) {
            if (pending_ >= fold_interval) {
                fold();
            }
            const auto m = static_cast<std::size_t>(
                std::min<std::int64_t>(static_cast<std::int64_t>(n), fold_interval - pending_));
            accumulator* const fast = fast_.data();
            for (std::size_t i = 0; i < m; ++i) {
                if (numbers[i] >= 0) {
                    const std::size_t cell = base + static_cast<std::size_t>(numbers[i]);
                    add_held(fast[cell], cell, term(v[i], cell));
                }
            }
            pending_ += static_cast<std::int64_t>(m);
            numbers += m;
            v += m;
            n -= m;
        }
    }

    /// Adds a value of any number type exactly: a 64-bit integer, which a
    /// double may not hold, as its high and low 32 bits.
    template <typename T>
    void add_value(std::size_t cell, T v)
    {
        if constexpr (std::is_integral_v<T> && sizeof(T) == 8) {
            add(cell, static_cast<double>(static_cast<T>(v >> 32)) * 4294967296.0);
            add(cell, static_cast<double>(static_cast<std::uint64_t>(v) & 0xffffffffu));
        } else {
            add(cell, static_cast<double>(v));
        }
    }

    /// Every total back to nothing.
    void clear()
    {
        std::fill(fast_.begin(), fast_.end(), accumulator{});
        std::fill(exact_.begin(), exact_.end(), exact_total{});
        pending_ = 0;
    }

    /// Moves every accumulator into its exact total (normalised).
    void fold()
    {
        for (std::size_t c = 0; c < fast_.size(); ++c) {
            accumulator& a = fast_[c];
            exact_total& t = exact_[c];
            move_to_exact(a, t);
            t.flags[flag_any] |= a.any;
            t.flags[flag_not_negzero] |= a.not_negzero;
            normalise(t);
        }
        pending_ = 0;
    }

    /// Folds and writes every total's record (exact_record_fields each).
    void write_records(std::int64_t* out)
    {
        fold();
        for (std::size_t c = 0; c < exact_.size(); ++c) {
            write_record(exact_[c], out + c * exact_record_fields);
        }
    }

private:
    static constexpr int max_shift = 40;
    // The highest base: the greatest finite value's place (2045) less max_shift.
    static constexpr int top_base = 2045 - max_shift;
    static constexpr int unset_base = -(1 << 20);
    static constexpr std::uint64_t mantissa_mask = (std::uint64_t{1} << 52) - 1;
    static constexpr std::uint64_t implicit_bit = std::uint64_t{1} << 52;
    static constexpr std::int64_t fold_interval = std::int64_t{1} << 29;

    struct accumulator {
        std::uint64_t low = 0; // the sum's low word
        std::uint64_t high = 0; // its high word, two's complement
        int base = unset_base; // unset until the first nonzero finite value
        std::uint8_t any = 0;
        std::uint8_t not_negzero = 0;
    };

    /// Adds x to the total of `cell`, whose accumulator is a (the fold
    /// counted by the caller).
    void add_held(accumulator& a, std::size_t cell, double x)
    {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        // The value's place above the bin's base: field - 1 for a normal
        // value (a zero or subnormal one gives a negative place, an unset
        // base a huge one; inf and NaN lie above every base).
        const int shift = static_cast<int>((bits >> 52) & 0x7ff) - 1 - a.base;
        if (static_cast<unsigned>(shift) <= static_cast<unsigned>(max_shift)) {
            const std::uint64_t m = (bits & mantissa_mask) | implicit_bit;
            const std::int64_t s = static_cast<std::int64_t>(bits) >> 63; // 0 or -1
            const auto v = static_cast<std::int64_t>((m ^ static_cast<std::uint64_t>(s)) - static_cast<std::uint64_t>(s));
            // v * 2^shift in two words: the low one, and the high one
            // arithmetic (two shifts, as shift may be 0).
            const std::uint64_t low = static_cast<std::uint64_t>(v) << shift;
            const std::int64_t high = (v >> 1) >> (63 - shift);
            a.low += low;
            a.high += static_cast<std::uint64_t>(high) + (a.low < low ? 1 : 0);
            return;
        }
        add_slowly(a, exact_[cell], bits, x);
    }

    /// Every value the short path of add() does not take.
    static void add_slowly(accumulator& a, exact_total& t, std::uint64_t bits, double x)
    {
        a.any = 1;
        a.not_negzero |= bits != (std::uint64_t{1} << 63) ? 1 : 0;
        const auto field = static_cast<int>((bits >> 52) & 0x7ff);
        if (field == 0x7ff) {
            add_exactly(t, x);
            return;
        }
        std::uint64_t mantissa = bits & mantissa_mask;
        if (field != 0) {
            mantissa |= implicit_bit;
        } else if (mantissa == 0) {
            return; // +-0.0: the flags say all there is
        }
        // x = mantissa * 2^place in units of 2^-1074, as add_exactly has it.
        const int place = std::max(field, 1) - 1;
        if (a.base == unset_base) {
            a.base = std::min(std::max(place - 20, 0), top_base);
        } else if (place - a.base > max_shift) {
            // Far above the bin's values so far: the accumulator is moved
            // into the exact total and starts again below this value.
            move_to_exact(a, t);
            a.base = std::min(place - 20, top_base);
        }
        const int shift = place - a.base;
        if (shift >= 0 && shift <= max_shift) {
            const i128 term = static_cast<i128>(static_cast<u128>(mantissa) << shift);
            add_to(a, (bits >> 63) != 0 ? -term : term);
        } else {
            add_exactly(t, x);
        }
    }

    static i128 sum_of(const accumulator& a)
    {
        return static_cast<i128>((static_cast<u128>(a.high) << 64) | a.low);
    }

    static void add_to(accumulator& a, i128 term)
    {
        const auto s = static_cast<u128>(sum_of(a)) + static_cast<u128>(term);
        a.low = static_cast<std::uint64_t>(s);
        a.high = static_cast<std::uint64_t>(s >> 64);
    }

    static void move_to_exact(accumulator& a, exact_total& t)
    {
        if ((a.low | a.high) != 0) {
            // Low 64 bits as an unsigned part, the rest signed.
            add_scaled(t, static_cast<i128>(a.low), a.base);
            add_scaled(t, static_cast<i128>(static_cast<std::int64_t>(a.high)), a.base + 64);
            a.low = 0;
            a.high = 0;
        }
    }

    std::vector<accumulator> fast_;
    std::vector<exact_total> exact_;
    std::int64_t pending_ = 0;
};

} // namespace virda::engine::detail

#endif
