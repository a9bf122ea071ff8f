#ifndef VIRDA_FRAMEWORK_ARRAY_WINDOW_POOL_H
#define VIRDA_FRAMEWORK_ARRAY_WINDOW_POOL_H

#include <mpi.h>

#include <cstdint>

namespace virda_detail {

/// What makes two arrays' windows interchangeable: the same element size
/// (the window's displacement unit) and the same rows on every rank of the
/// same communicator, hence the same block size on every rank. Every field is
/// a fact about the whole array, the same on every rank.
struct window_shape {
    int element_bytes = 0;
    bool placeholder = false; ///< a one-element block (the other fields 0)
    int rows = 0;             ///< the first extent
    int extra_rows = 0;
    int row_length = 0;

    bool operator==(const window_shape& o) const
    {
        return element_bytes == o.element_bytes && placeholder == o.placeholder && rows == o.rows &&
               extra_rows == o.extra_rows && row_length == o.row_length;
    }
};

/// A window with the block it exposes: the allocation (the block sits
/// 64-byte aligned inside it), its size, and its key in the record of live
/// arrays (array_registry.h).
struct kept_window {
    MPI_Win win = MPI_WIN_NULL;
    void* allocation = nullptr;
    MPI_Aint allocation_bytes = 0;
    std::uint64_t registry_key = 0;
};

// Windows of released arrays, kept for the next array of the same shape over
// the same communicator: a creation that finds one skips MPI_Win_create, a
// release that keeps one skips MPI_Win_free, and both are collectives whose
// cost (tens of microseconds at one rank, an exchange with every rank at
// many) does not depend on the data, so an operation that makes a dozen
// temporaries paid it a dozen times per call.
//
// Each communicator has its own list (an MPI attribute of the communicator,
// so a communicator freed by the program takes its list with it, its
// windows freed in MPI_Comm_free, and a new communicator given the same
// handle starts with none). Every decision (keep, reuse, evict) is taken
// from the shape, the list and the array's size, facts that are the same on
// every rank of the communicator, in the order of the collective calls, so
// every rank decides alike and evicts (MPI_Win_free) in the same order. At
// most `kept_windows_bound` windows are kept per communicator, and blocks of
// at most 1 GiB together (reckoned by the largest block of any rank).
// Kept windows stay in the record of live arrays and are freed at the start
// of MPI_Finalize like arrays.

/// The most windows kept per communicator.
inline constexpr int kept_windows_bound = 8;

/// Takes a kept window of this shape over comm out of its list (the most
/// recently kept first); false when there is none. No MPI call but
/// communicator attribute queries.
bool take_window(MPI_Comm comm, const window_shape& shape, kept_window* out);

/// Keeps a released array's window and block for reuse, evicting the oldest
/// kept windows (MPI_Win_free, collective over comm) as the bounds require;
/// false when this one is not kept (too large, or reuse is off), and the
/// caller frees it. `largest_block_bytes` is the largest block any rank holds
/// for this shape, the same on every rank.
bool keep_window(MPI_Comm comm, const window_shape& shape, MPI_Aint largest_block_bytes, const kept_window& w);

/// Frees every window kept for comm, oldest first; returns how many.
/// Collective over comm when any is kept (and that is the same on every
/// rank).
int drop_kept_windows(MPI_Comm comm);

/// How many windows are kept for comm. Local.
int kept_window_count(MPI_Comm comm);

/// For tests: turns keeping and reusing released windows on or off (on by
/// default) and returns the previous setting. Call it on every rank alike;
/// while it is off, what is kept stays kept and unused.
bool set_window_reuse(bool on);

} // namespace virda_detail

#endif
