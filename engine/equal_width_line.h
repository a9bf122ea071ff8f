#ifndef VIRDA_ENGINE_EQUAL_WIDTH_LINE_H
#define VIRDA_ENGINE_EQUAL_WIDTH_LINE_H

// histogram_dd's pass for one axis of equal-width bins over contiguous
// doubles: each value's bin found and counted (or its weight added) in one
// loop, with no array of located bins between. The bins are those of
// locate_bins (bin_numbering::within_edges) bit for bit: the same estimate
// from the first edge and bins / (last - first), moved by one where the
// axis's own edges say otherwise. Not installed.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace virda::engine::detail {

__extension__ typedef unsigned __int128 line_u128;

/// Values located at a time by the line pass.
inline constexpr std::size_t line_block = 512;

/// One equal-width axis as the line pass reads it: its bins + 1 edges (at
/// least 2, the first below the last).
class equal_width_line {
public:
    equal_width_line(const double* edges, std::int64_t bins)
        : e_(edges), n_(bins), first_(edges[0]), last_(edges[bins]),
          norm_(static_cast<double>(bins) / (edges[bins] - edges[0]))
    {
    }

    /// How many bins.
    std::int64_t bins() const { return n_; }

    /// The bin of x in [0, bins), or -1 outside the edges and for NaN. For
    /// x between the edges the estimate is at least 0 and is never moved
    /// below bin 0 (x >= e[0]) nor past the last bin, and it is moved down
    /// or up, not both (after a move down x < e[k + 1]): the steps of
    /// locate_bins, without the checks that cannot fail here.
    std::int64_t bin(double x) const
    {
        if (!(x >= first_ && x <= last_)) {
            return -1;
        }
        std::int64_t k = static_cast<std::int64_t>((x - first_) * norm_);
        k = k < n_ - 1 ? k : n_ - 1;
        if (x < e_[k]) {
            --k;
        } else if (k != n_ - 1 && x >= e_[k + 1]) {
            ++k;
        }
        return k;
    }

    /// bins[i] = bin(v[i]) for i < n <= line_block, four values at a time
    /// where the instruction set allows (the same bins on every path: the
    /// same exact operations in every lane).
    void bins_of(const double* v, std::size_t n, std::int32_t* bins) const;

    /// counts[bin(x)] += 1 for each x of v[0..n) in some bin.
    template <typename Count>
    void count(const double* v, std::size_t n, Count* counts) const
    {
        std::int32_t bins[line_block];
        for (std::size_t start = 0; start < n; start += line_block) {
            const std::size_t m = n - start < line_block ? n - start : line_block;
            bins_of(v + start, m, bins);
            for (std::size_t i = 0; i < m; ++i) {
                if (bins[i] >= 0) {
                    counts[bins[i]] += 1;
                }
            }
        }
    }

    /// For each x = v[i] in some bin: counts[bin(x)] += 1 (when counts is
    /// not null) and w[i] added to the bin's fixed-point total (see
    /// add_fixed), or its flag raised for a weight that is not finite
    /// (1: +inf, 2: -inf, 4: NaN).
    template <typename Total, typename Count>
    void add_weights(const double* v, const double* w, std::size_t n, int unit, Total* totals,
                     std::uint8_t* flags, Count* counts) const
    {
        std::int32_t bins[line_block];
        for (std::size_t start = 0; start < n; start += line_block) {
            const std::size_t m = n - start < line_block ? n - start : line_block;
            bins_of(v + start, m, bins);
            const double* wb = w + start;
            for (std::size_t i = 0; i < m; ++i) {
                const std::int32_t k = bins[i];
                if (k < 0) {
                    continue;
                }
                if (counts != nullptr) {
                    counts[k] += 1;
                }
                add_fixed(wb[i], unit, totals[k], flags[k]);
            }
        }
    }

    /// total += x in units of 2^unit, two's complement modulo the width of
    /// Total (an unsigned integer of 64 or 128 bits), for a finite x whose
    /// lowest set bit is at or above 2^unit and whose value fits; flag |= 1,
    /// 2 or 4 for +inf, -inf or NaN.
    template <typename Total>
    static void add_fixed(double x, int unit, Total& total, std::uint8_t& flag)
    {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        const auto field = static_cast<int>((bits >> 52) & 0x7ff);
        std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
        const bool negative = (bits >> 63) != 0;
        if (field == 0x7ff) {
            flag |= mantissa != 0 ? 4 : (negative ? 2 : 1);
            return;
        }
        if (field != 0) {
            mantissa |= std::uint64_t{1} << 52;
        }
        // x = mantissa * 2^(exponent): the bits below 2^unit are zero, so a
        // right shift loses nothing, and a zero mantissa shifts to zero.
        const int shift = (field == 0 ? 1 : field) - 1075 - unit;
        Total t;
        if (shift >= 0) {
            t = static_cast<Total>(mantissa) << shift;
        } else {
            t = shift > -64 ? static_cast<Total>(mantissa >> -shift) : Total{0};
        }
        total = negative ? total - t : total + t;
    }

private:
    const double* e_;
    std::int64_t n_;
    double first_;
    double last_;
    double norm_;
};

} // namespace virda::engine::detail

#endif
