#include "engine/selection_round_sum.h"

#include "engine/allocation_failures.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

namespace virda::engine::detail {
namespace {

/// Counts beyond which sum_over_ranks exchanges blocks point to point
/// rather than calling MPI_Allreduce.
constexpr std::size_t exchanged_counts = std::size_t{1} << 15;

/// global = the sum of every rank's `local` (n counts) by MPI_Allreduce, in
/// pieces of at most `piece` counts (the same on every rank). Collective
/// over comm (at least one call, also for n = 0); returns MPI's code.
int allreduce_counts(const std::uint64_t* local, std::uint64_t* global, std::size_t n, std::size_t piece,
                     MPI_Comm comm)
{
    int rc = MPI_SUCCESS;
    std::size_t at = 0;
    do {
        const std::size_t m = std::min(piece, n - at);
        rc = MPI_Allreduce(local + at, global + at, static_cast<int>(m), MPI_UINT64_T, MPI_SUM, comm);
        at += m;
    } while (at < n && rc == MPI_SUCCESS);
    return rc;
}

/// Pieces of a sum by MPI_Allreduce between several ranks: small enough
/// for a rank without counts of its own to take part from fixed room.
constexpr std::size_t standby_piece = exchanged_counts;

/// The fixed room of a rank that takes part in a round's sum without counts
/// of its own (refused the memory for them): zeros out, the sums in.
struct standby_room {
    std::mutex busy;
    std::uint64_t out[standby_piece] = {};
    std::uint64_t in[standby_piece] = {};
};

standby_room& standby()
{
    static standby_room room;
    return room;
}

} // namespace

int stand_in_sum(std::size_t n, std::uint64_t last, std::uint64_t& last_sum, MPI_Comm comm)
{
    standby_room& room = standby();
    const std::lock_guard<std::mutex> hold(room.busy);
    int rc = MPI_SUCCESS;
    if (n >= exchanged_counts) {
        int refused = 0;
        int everywhere = 0;
        rc = MPI_Allreduce(&refused, &everywhere, 1, MPI_INT, MPI_MIN, comm);
    }
    for (std::size_t at = 0; at < n && rc == MPI_SUCCESS;) {
        const std::size_t m = std::min(standby_piece, n - at);
        at += m;
        room.out[m - 1] = at == n ? last : 0;
        rc = MPI_Allreduce(room.out, room.in, static_cast<int>(m), MPI_UINT64_T, MPI_SUM, comm);
        room.out[m - 1] = 0;
        last_sum = room.in[m - 1];
    }
    return rc;
}

int sum_over_ranks(const std::uint64_t* local, std::uint64_t* global, std::size_t n,
                   std::vector<std::uint64_t>& incoming, MPI_Comm comm)
{
    int ranks = 1;
    int rank = 0;
    MPI_Comm_size(comm, &ranks);
    MPI_Comm_rank(comm, &rank);
    if (ranks == 1) {
        return allreduce_counts(local, global, n, std::size_t{1} << 30, comm);
    }
    if (n < exchanged_counts) {
        return allreduce_counts(local, global, n, standby_piece, comm);
    }
    const auto block = [&](int r) {
        return std::pair<std::size_t, std::size_t>{n * static_cast<std::size_t>(r) / static_cast<std::size_t>(ranks),
                                                   n * static_cast<std::size_t>(r + 1) / static_cast<std::size_t>(ranks)};
    };
    const auto mine = block(rank);
    // The exchange's room, taken before its first message and agreed over
    // the ranks (one int): a rank refused it would leave the others waiting
    // in MPI_Sendrecv. Then every rank sums by MPI_Allreduce, which needs no
    // room of ours, in pieces a rank without counts can take part in (see
    // stand_in_sum). The blocks' places must be counted by an int.
    std::vector<int> counts;
    std::vector<int> displacements;
    int room = n <= static_cast<std::size_t>(std::numeric_limits<int>::max()) ? 1 : 0;
    try {
        if (room != 0) {
            detail::check_allocation("selection: exchange");
            incoming.resize(mine.second - mine.first);
            counts.resize(static_cast<std::size_t>(ranks));
            displacements.resize(static_cast<std::size_t>(ranks));
        }
    } catch (const std::bad_alloc&) {
        room = 0;
    }
    int room_everywhere = 0;
    int rc = MPI_Allreduce(&room, &room_everywhere, 1, MPI_INT, MPI_MIN, comm);
    if (rc != MPI_SUCCESS || room_everywhere == 0) {
        return rc != MPI_SUCCESS ? rc : allreduce_counts(local, global, n, standby_piece, comm);
    }
    std::copy(local + mine.first, local + mine.second, global + mine.first);
    for (int k = 1; k < ranks && rc == MPI_SUCCESS; ++k) {
        const int to = (rank + k) % ranks;
        const int from = (rank - k + ranks) % ranks;
        const auto theirs = block(to);
        rc = MPI_Sendrecv(local + theirs.first, static_cast<int>(theirs.second - theirs.first), MPI_UINT64_T, to, 0,
                          incoming.data(), static_cast<int>(incoming.size()), MPI_UINT64_T, from, 0, comm,
                          MPI_STATUS_IGNORE);
        for (std::size_t i = 0; i < incoming.size(); ++i) {
            global[mine.first + i] += incoming[i];
        }
    }
    for (int r = 0; r < ranks; ++r) {
        const auto b = block(r);
        counts[static_cast<std::size_t>(r)] = static_cast<int>(b.second - b.first);
        displacements[static_cast<std::size_t>(r)] = static_cast<int>(b.first);
    }
    if (rc == MPI_SUCCESS) {
        rc = MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, global, counts.data(), displacements.data(),
                            MPI_UINT64_T, comm);
    }
    return rc;
}

} // namespace virda::engine::detail
