#ifndef VIRDA_TOOLS_VIRDA_STATS_CELL_MOMENTS_H
#define VIRDA_TOOLS_VIRDA_STATS_CELL_MOMENTS_H

// Exact moments of float32 values per cell of a map, held compactly: a few
// hundred bytes per cell instead of the general accumulator's kilobytes, so
// that every cell of a (lat, lon) map fits a rank and the ranks merge them in
// one small reduction.

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace virda_stats {

/// The finished moments of one cell, as the general engine accumulator
/// finishes them: the same bits.
struct cell_moment_result {
    long long count = 0;     ///< values that are not NaN (infinities included)
    long long nan_count = 0; ///< NaN values
    /// The exact total rounded once to a double (IEEE rules for infinities
    /// and for a total of -0.0 values).
    double sum = 0;
    /// The exact total rounded once to a long double, divided by the count
    /// (sum / count when an infinity was taken).
    long double precise_mean = 0;
    /// The population standard deviation: the root of count * sum(x^2) -
    /// sum(x)^2, formed exactly and rounded once to a long double, over
    /// count^2; NaN when an infinity was taken or squares were not summed.
    double stdev = 0;
    float min = 0; ///< -0.0 below +0.0
    float max = 0;
};

/// Count, NaN count, exact sum, exact sum of squares, least and greatest of
/// float32 values per cell. A value m * 2^e (m the 24-bit significand) is
/// a fixed-point integer in units of 2^-149, added into 32-bit digits kept in
/// 64-bit words (it lands in two of them; its exact 48-bit square lands in
/// three of the squares' digits, in units of 2^-298). Carries are settled
/// every 2^30 values per cell, so the digits never overflow. Totals are
/// exact: the same bits whatever the order, blocks or ranks of the values.
class float_cell_moments {
public:
    /// 32-bit digits of the total: 2^(277 + 64) with the sign.
    static constexpr int sum_digits = 11;
    /// 32-bit digits of the total of squares: 2^(554 + 64).
    static constexpr int square_digits = 20;
    /// 64-bit words per cell: count, NaN count, +inf and -inf counts, the
    /// digits of both totals, then the negated least key and the greatest key.
    static constexpr std::size_t words = 4 + sum_digits + square_digits + 2;

    /// Empty accumulators for `cells` cells, to be merged over `ranks` ranks;
    /// without `squares` the squares are not summed and every stdev finished
    /// is NaN. Everything a merge needs is allocated here, so that allreduce
    /// and reduce_shares allocate nothing between their collectives: build
    /// it in a step the ranks agree on. std::bad_alloc passes.
    float_cell_moments(std::size_t cells, bool squares, int ranks = 1);

    std::size_t cells() const { return cells_; }
    /// Bytes held per cell for a merge over `ranks` ranks, at most: the
    /// accumulators, and room for the extremes merged apart or a share
    /// received.
    static constexpr std::size_t bytes_per_cell(int ranks = 1)
    {
        return words * sizeof(std::int64_t) + (ranks > 1 ? words * sizeof(std::int64_t) / 2 + 16 : 0);
    }

    /// Adds a table of `rows` rows whose row r holds the values of cells
    /// 0 .. cells() - 1 at values[r * stride + j]. No communication.
    void add(const float* values, std::size_t rows, std::size_t stride);

    /// Sums every rank's accumulators into every rank's (collective over
    /// comm, of the size given to the constructor: two MPI_Allreduce per 2^24
    /// cells). Throws std::runtime_error alike on every rank when MPI fails.
    void allreduce(MPI_Comm comm);

    /// Sums every rank's accumulators of a share of the cells into this
    /// rank's: rank r of n gets cells [r * cells / n, (r + 1) * cells / n),
    /// returned as (first, count); the other cells' accumulators are lost.
    /// Collective over comm: n - 1 steps of MPI_Sendrecv (step k to rank + k,
    /// from rank - k; one message per 2^20 cells), nothing on one rank.
    /// Throws std::runtime_error alike on every rank when MPI fails or comm
    /// is not of the size given to the constructor.
    std::pair<std::size_t, std::size_t> reduce_shares(MPI_Comm comm);
    /// The share of `cells` cells that rank `rank` of `ranks` finishes.
    static std::pair<std::size_t, std::size_t> share_of(std::size_t cells, int ranks, int rank);

    /// The moments of cell j from what was added (after allreduce: on every
    /// rank; after reduce_shares: for a cell of this rank's share). Local.
    cell_moment_result finish(std::size_t j) const;

    /// Counts of cell j, without finishing it.
    long long count(std::size_t j) const { return at(j)[0]; }
    long long nan_count(std::size_t j) const { return at(j)[1]; }

private:
    const std::int64_t* at(std::size_t j) const { return state_.data() + j * words; }
    std::int64_t* at(std::size_t j) { return state_.data() + j * words; }
    void normalise();

    std::size_t cells_;
    bool squares_;
    int ranks_;
    std::size_t pending_ = 0; ///< values added per cell since the carries were settled
    std::vector<std::int64_t> state_;
    /// Room for a merge: the extremes of the cells of one allreduce, or the
    /// records of one message (empty on one rank).
    std::vector<std::int64_t> scratch_;
};

} // namespace virda_stats

#endif
