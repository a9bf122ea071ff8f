#ifndef VIRDA_ENGINE_HISTOGRAM_H
#define VIRDA_ENGINE_HISTOGRAM_H

/// \file
/// Equal-width histograms of values held by every rank.

#include "engine/views.h"

#include <mpi.h>

#include <cstdint>
#include <vector>

namespace virda::engine {

/// Counts of values in `bins` bins of equal width above `lower`: a value v
/// is counted when v > lower and k = trunc((v - lower) / width) satisfies
/// 0 <= k < bins (so the lower edge itself and the top edge are never
/// counted, nor is NaN). Values of any number type, added in any number of
/// blocks; the counts are exact, so the same at any split.
class equal_width_histogram {
public:
    /// No communication. bins must be in [0, 2^31 - 1]; otherwise
    /// error(invalid_argument). The counts are allocated here: a rank that
    /// cannot is told at finish(), with every other rank.
    equal_width_histogram(double lower, double width, std::int64_t bins);

    /// Counts the values of a run or a table. No communication.
    ///@{
    void add(const values_view& values);
    void add(const table_view& values);
    ///@}

    /// This rank's counts so far (bins entries).
    const std::vector<std::int64_t>& local_counts() const { return counts_; }
    /// Whether this rank could not allocate its counts.
    bool failed() const { return failed_; }

    /// The counts of every rank of comm, on every rank. Two MPI_Allreduce:
    /// one that agrees that every rank has its counts and the same bins (else
    /// every rank throws error(out_of_memory) or error(ranks_disagree)), then
    /// the counts. This is a collective operation and must be called by all
    /// processes in the communicator.
    std::vector<std::int64_t> finish(MPI_Comm comm) const;

private:
    double lower_;
    double width_;
    std::int64_t bins_;
    bool failed_ = false;
    std::vector<std::int64_t> counts_;
};

} // namespace virda::engine

#endif
