#ifndef VIRDA_ENGINE_BINNING_SUPPORT_H
#define VIRDA_ENGINE_BINNING_SUPPORT_H

// What the binning statistics share: the bins' bounds, pieces of runs for
// the kernels, and the agreement before a finish. Not installed.

#include "engine/error.h"
#include "engine/record_reduction.h"
#include "engine/views.h"

#include <mpi.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace virda::engine::detail {


// Values per kernel call: the kernels count in int.
constexpr std::int64_t most_per_call = std::int64_t{1} << 30;
// Values copied at a time from a run that is not contiguous.
constexpr std::size_t copy_chunk = 4096;

inline void check_bins(std::int64_t bins, const char* what)
{
    if (bins < 0 || bins > INT_MAX) {
        throw error(error_code::invalid_argument,
                    std::string(what) + ": the number of bins must be between 0 and 2^31 - 1, not " +
                        std::to_string(bins));
    }
}

/// Calls f(pointer, n) for contiguous pieces of a run (n <= most_per_call):
/// the run itself where it is contiguous and aligned, else copies.
template <typename T, typename F>
void for_each_piece(const values_view& v, F f)
{
    const auto* p = static_cast<const unsigned char*>(v.data);
    if (v.stride == static_cast<std::int64_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0) {
        for (std::int64_t done = 0; done < v.count; done += most_per_call) {
            f(reinterpret_cast<const T*>(p) + done,
              static_cast<std::size_t>(std::min(most_per_call, v.count - done)));
        }
        return;
    }
    T copy[copy_chunk];
    for (std::int64_t done = 0; done < v.count;) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(v.count - done, copy_chunk));
        const unsigned char* q = p + done * v.stride;
        for (std::size_t i = 0; i < m; ++i, q += v.stride) {
            std::memcpy(&copy[i], q, sizeof(T));
        }
        f(static_cast<const T*>(copy), m);
        done += static_cast<std::int64_t>(m);
    }
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

inline std::uint64_t bits_of(double x)
{
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

} // namespace virda::engine::detail

#endif
