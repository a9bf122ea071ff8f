#ifndef VIRDA_ENGINE_RECORD_REDUCTION_H
#define VIRDA_ENGINE_RECORD_REDUCTION_H

// One MPI_Allreduce for everything a finish combines: totals that add, keys
// whose least and greatest are wanted, and agreement fields (which rank
// failed, whether every rank made the same call). Not installed.

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace virda::engine::detail {

/// A record of three sections of 64-bit fields: sums (int64, added; each
/// rank's contribution must keep the total within int64), least (uint64,
/// the least over the ranks is kept) and greatest (uint64, the greatest).
/// Fields are reserved section by section in the same order on every rank;
/// the sections' sizes must then be the same on every rank.
class reduction_record {
public:
    /// Room for n more fields of each section; returns the index of the
    /// first new one. Pointers into a section stay valid only until the
    /// next reservation.
    std::size_t reserve_sums(std::size_t n);
    std::size_t reserve_least(std::size_t n);
    std::size_t reserve_greatest(std::size_t n);

    std::int64_t* sums() { return sums_.data(); }
    std::uint64_t* least() { return least_.data(); }
    std::uint64_t* greatest() { return greatest_.data(); }
    const std::int64_t* sums() const { return sums_.data(); }
    const std::uint64_t* least() const { return least_.data(); }
    const std::uint64_t* greatest() const { return greatest_.data(); }

    /// Combines the record over every rank of comm: afterwards every rank
    /// holds the sums, least and greatest fields of all ranks. One
    /// MPI_Allreduce with the engine's own operation over one record;
    /// with comm MPI_COMM_NULL only the room for it is made, so that a later
    /// reduction of a record of this size allocates nothing. This is a collective operation
    /// and must be called by all processes in the communicator. False when
    /// an MPI call failed (under an error handler that returns).
    bool allreduce(MPI_Comm comm);

    /// Agreement fields, reserved in the least and greatest sections: the
    /// lowest rank that reports a failure (or none), and whether every rank
    /// passed the same fingerprint of its call.
    struct agreement {
        std::size_t failed_at = 0; ///< least: lowest failing rank, or no_rank
        std::size_t fingerprint_low = 0;
        std::size_t fingerprint_high = 0;
    };
    static constexpr std::uint64_t no_rank = ~std::uint64_t{0};
    /// Reserves the agreement fields, with this rank's state: `failed` (and
    /// its rank) and a fingerprint of the call (its arguments' shape).
    agreement reserve_agreement(bool failed, int rank, std::uint64_t fingerprint);
    /// After allreduce: the lowest failing rank, or -1 when none failed.
    int failed_rank(const agreement& a) const;
    /// After allreduce: whether every rank passed the same fingerprint.
    bool same_calls(const agreement& a) const;

    /// Empties the record, keeping its room.
    void clear();

private:
    std::vector<std::int64_t> sums_;
    std::vector<std::uint64_t> least_;
    std::vector<std::uint64_t> greatest_;
    std::vector<std::uint64_t> buffer_;
};

/// Mixes v into a fingerprint h (for reserve_agreement).
constexpr std::uint64_t mix(std::uint64_t h, std::uint64_t v)
{
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
    return h;
}

} // namespace virda::engine::detail

#endif
