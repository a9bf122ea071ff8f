#ifndef VIRDA_ENGINE_BINNING_SUPPORT_H
#define VIRDA_ENGINE_BINNING_SUPPORT_H

// What the binning statistics share: the bins' bounds and the agreement
// before a finish. Not installed.

#include "engine/error.h"
#include "engine/exact_total.h"
#include "engine/record_reduction.h"
#include "engine/run_pieces.h"
#include "engine/views.h"

#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace virda::engine::detail {

inline void check_bins(std::int64_t bins, const char* what)
{
    if (bins < 0 || bins > INT_MAX) {
        throw error(error_code::invalid_argument,
                    std::string(what) + ": the number of bins must be between 0 and 2^31 - 1, not " +
                        std::to_string(bins));
    }
}

/// Sums `count` values of `type` in place over comm, in reductions of at
/// most 2^30 values (MPI counts are int). Collective; the same number of
/// reductions on every rank for the same count. False when one failed.
inline bool allreduce_in_pieces(void* values, std::size_t count, MPI_Datatype type, MPI_Comm comm)
{
    int size = 0;
    MPI_Type_size(type, &size);
    constexpr std::size_t piece = std::size_t{1} << 30;
    for (std::size_t done = 0; done < count; done += piece) {
        const int n = static_cast<int>(std::min(piece, count - done));
        if (MPI_Allreduce(MPI_IN_PLACE, static_cast<char*>(values) + done * static_cast<std::size_t>(size), n, type,
                          MPI_SUM, comm) != MPI_SUCCESS) {
            return false;
        }
    }
    return true;
}

/// The agreement before a finish's reduction of `bins` per-bin fields:
/// every rank has its buffers and the same bins and parameters.
inline void agree(MPI_Comm comm, bool failed, std::uint64_t fingerprint, const char* what)
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    reduction_record record;
    const auto a = record.reserve_agreement(failed, rank, fingerprint);
    if (!record.allreduce(comm)) {
        throw error(error_code::mpi_failure, std::string(what) + ": the agreement over the communicator failed");
    }
    const int failing = record.failed_rank(a);
    if (failing >= 0) {
        throw error(error_code::out_of_memory,
                    std::string(what) + ": rank " + std::to_string(failing) + " could not allocate its bins", failing);
    }
    if (!record.same_calls(a)) {
        throw error(error_code::ranks_disagree, std::string(what) + ": the ranks finished different bins");
    }
}

/// Adds one double to an exact total, in units of 2^-1074 (a value of any
/// magnitude, or a special value into the flags).
inline void add_exactly(exact_total& t, double x)
{
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const auto exponent = static_cast<int>((bits >> 52) & 0x7ff);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    t.flags[flag_any] = 1;
    if (bits != (std::uint64_t{1} << 63)) {
        t.flags[flag_not_negzero] = 1;
    }
    if (exponent == 0x7ff) {
        if (mantissa != 0) {
            t.flags[flag_nan] = 1;
        } else {
            t.flags[(bits >> 63) != 0 ? flag_neg_inf : flag_pos_inf] = 1;
        }
        return;
    }
    if (exponent != 0) {
        mantissa |= std::uint64_t{1} << 52;
    }
    const auto m = static_cast<i128>(mantissa);
    add_scaled(t, (bits >> 63) != 0 ? -m : m, std::max(exponent, 1) - 1);
}

inline std::uint64_t bits_of(double x)
{
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

} // namespace virda::engine::detail

#endif
