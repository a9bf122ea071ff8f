#ifndef VIRDA_ENGINE_BIN_MEANS_H
#define VIRDA_ENGINE_BIN_MEANS_H

/// \file
/// Per-bin means of paired values held by every rank.

#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <vector>

namespace virda::engine {

/// Per-bin means of paired values (x, y) in `bins` bins along a row of
/// centres c0, c0 + w, ...: k = floor((x - c0) / w + 1/2), with t + 1/2 never
/// rounded, taken when 0 <= k < bins (so bin 0 reaches down to 1.5 widths
/// below c0, where the truncation of negative quotients sends them); NaN x
/// is dropped. The sums are plain double sums in the order of the values,
/// combined over the ranks: the same on every rank, their last bits may
/// change with the split. Counts are exact.
class bin_means {
public:
    /// No communication; bins in [0, 2^31 - 1], else error(invalid_argument).
    bin_means(double c0, double w, std::int64_t bins);

    /// Adds the pairs (x[i], y[i]) of two runs of one length (x, y of any
    /// number type; x is taken as double). No communication.
    void add(const values_view& x, const values_view& y);

    /// This rank's sums and counts so far (bins entries each).
    ///@{
    const std::vector<double>& local_sums() const { return sums_; }
    const std::vector<std::int64_t>& local_counts() const { return counts_; }
    ///@}
    /// Whether this rank could not allocate its sums and counts.
    bool failed() const { return failed_; }

    /// What finish() gives every rank, bins entries each.
    struct result {
        std::vector<double> sums;          ///< the sum of y per bin
        std::vector<std::int64_t> counts;  ///< the number of pairs per bin
        std::vector<double> means;         ///< sum / count, 0 for an empty bin
    };
    /// Sums and counts of every rank of comm, and the means (sum / count, 0
    /// for an empty bin), on every rank. Two MPI_Allreduce: the agreement, as
    /// for the histogram, then sums and counts together (counts travel as
    /// doubles: exact below 2^53). This is a collective operation and must be
    /// called by all processes in the communicator.
    result finish(MPI_Comm comm) const;

private:
    double c0_;
    double w_;
    std::int64_t bins_;
    bool failed_ = false;
    std::vector<double> sums_;
    std::vector<std::int64_t> counts_;
};

} // namespace virda::engine

#endif
