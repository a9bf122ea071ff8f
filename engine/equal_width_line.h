#ifndef VIRDA_ENGINE_EQUAL_WIDTH_LINE_H
#define VIRDA_ENGINE_EQUAL_WIDTH_LINE_H

// histogram_dd's pass for one axis of equal-width bins over contiguous
// doubles without weights: each value's bin found and counted in one loop,
// with no array of 64-bit located bins between. The bins are those of
// locate_bins (bin_numbering::within_edges) bit for bit: the same estimate
// from the first edge and bins / (last - first), moved by one where the
// axis's own edges say otherwise. Not installed.

#include <cstddef>
#include <cstdint>

namespace virda::engine::detail {

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

    /// bins[i] = the bin of v[i] in [0, bins), or -1 outside the edges and
    /// for NaN, for i < n <= line_block (line_kernels.h: the steps of
    /// locate_bins, the same bins on every instruction-set path).
    void bins_of(const double* v, std::size_t n, std::int32_t* bins) const;

    /// counts[k] += 1 for each x of v[0..n) in some bin k.
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

private:
    const double* e_;
    std::int64_t n_;
    double first_;
    double last_;
    double norm_;
};

} // namespace virda::engine::detail

#endif
