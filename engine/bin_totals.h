#ifndef VIRDA_ENGINE_BIN_TOTALS_H
#define VIRDA_ENGINE_BIN_TOTALS_H

// Exact totals of doubles per bin, added one value at a time in any order,
// for the binning statistics. Not installed.
//
// Each bin has a small accumulator beside its exact total: a 128-bit
// integer in units of 2^base, base chosen from the bin's first value 20
// binary places below it, and moved up when a value lies more than 40
// places above base. A finite value within those 40 places of base (the
// values of one bin are mostly of one magnitude) is added there: one
// shift and one 128-bit add in 32 bytes per bin, which stay in cache for
// thousands of bins. Any other value (far smaller or larger, inf, NaN) goes
// to the bin's exact total (see exact_total.h). fold() moves the
// accumulators into the exact totals; the value held is the same either
// way, so the rounded totals are those of the exact sum.

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
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const auto field = static_cast<int>((bits >> 52) & 0x7ff);
        // Each term is below 2^(53 + max_shift) and a digit takes below 2^32
        // per value: fold long before 2^127, or 2^63 in a digit.
        if (++pending_ == fold_interval) {
            fold();
        }
        accumulator& a = fast_[cell];
        a.any = 1;
        a.not_negzero |= bits != (std::uint64_t{1} << 63) ? 1 : 0;
        std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
        if (field == 0x7ff) {
            add_exactly(exact_[cell], x);
            return;
        }
        if (field != 0) {
            mantissa |= std::uint64_t{1} << 52;
        }
        // x = mantissa * 2^place in units of 2^-1074, as add_exactly has it.
        const int place = std::max(field, 1) - 1;
        if (a.base < 0) {
            a.base = std::max(place - 20, 0);
        } else if (place - a.base > max_shift) {
            // Far above the bin's values so far: the accumulator is moved
            // into the exact total and starts again below this value.
            move_to_exact(a, exact_[cell]);
            a.base = place - 20;
        }
        const int shift = place - a.base;
        if (shift >= 0 && shift <= max_shift) {
            const i128 term = static_cast<i128>(static_cast<u128>(mantissa) << shift);
            a.sum += (bits >> 63) != 0 ? -term : term;
        } else {
            add_exactly(exact_[cell], x);
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
    static constexpr std::int64_t fold_interval = std::int64_t{1} << 29;

    struct alignas(32) accumulator {
        i128 sum = 0;
        int base = -1; // unset until the first finite value
        std::uint8_t any = 0;
        std::uint8_t not_negzero = 0;
    };

    static void move_to_exact(accumulator& a, exact_total& t)
    {
        if (a.sum != 0) {
            // Low 64 bits as an unsigned part, the rest signed.
            const auto low = static_cast<std::uint64_t>(static_cast<u128>(a.sum));
            const auto high = static_cast<std::int64_t>(a.sum >> 64);
            add_scaled(t, static_cast<i128>(low), a.base);
            add_scaled(t, static_cast<i128>(high), a.base + 64);
            a.sum = 0;
        }
    }

    std::vector<accumulator> fast_;
    std::vector<exact_total> exact_;
    std::int64_t pending_ = 0;
};

} // namespace virda::engine::detail

#endif
