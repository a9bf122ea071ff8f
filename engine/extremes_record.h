#ifndef VIRDA_ENGINE_EXTREMES_RECORD_H
#define VIRDA_ENGINE_EXTREMES_RECORD_H

// What each column of an extremes accumulator contributes to the reduction
// over the ranks, the reduction itself, and the summary read from its
// result. Not installed.

#include "engine/extremes.h"

#include <mpi.h>

#include <cstdint>
#include <vector>

namespace virda::engine::extremes_detail {

inline constexpr std::uint64_t none = ~std::uint64_t{0};

/// What one column contributes to the reduction, every field a uint64 so
/// that one MPI datatype describes it. Positions are rows counted from the
/// first row of the ranks combined so far; `none` when there is none.
struct column_record {
    std::uint64_t count;     ///< values that are not NaN (added)
    std::uint64_t nan_count; ///< NaN values (added)
    std::uint64_t rows;      ///< rows (added): the offset of the next rank's rows
    std::uint64_t least;     ///< order key of the least value, zeros alike
    std::uint64_t least_at;
    std::uint64_t greatest;  ///< order key of the greatest value
    std::uint64_t greatest_at;
    std::uint64_t nan_at;    ///< the first NaN
    std::uint64_t zeros;     ///< bit 0: a -0.0 was seen, bit 1: a +0.0
    std::uint64_t failed;    ///< the lowest rank short of memory, or none
    std::uint64_t fingerprint;
    std::uint64_t disagree;  ///< 1 when two ranks' fingerprints differed
};

/// Combines the records of every rank in rank order, in place (collective);
/// false when MPI failed.
bool reduce_records(std::vector<column_record>& record, MPI_Comm comm);

/// The summary of reduced (or this rank's own) records.
extremes_summary summary_of(number_type type, const std::vector<column_record>& record, nan_policy policy);

} // namespace virda::engine::extremes_detail

#endif
