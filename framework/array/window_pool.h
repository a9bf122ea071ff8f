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
/// arrays (finalize_registry.h).
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
// A communicator's kept windows are in its list, an MPI attribute of the
// communicator: a communicator freed by the program frees its kept windows
// in MPI_Comm_free, and a new communicator given the same handle starts
// without a list. Every window holds one of the process's MPI context ids,
// so only `kept_lists_bound` communicators per process have a list, one
// place of them for VIRDA_COMM, and each keeps at most `kept_windows_bound`
// windows and blocks of at most 1 GiB together (reckoned by the largest
// block of any rank). A communicator without a list frees its arrays'
// windows at release.
//
// Every decision is the same on every rank of a communicator: whether it
// gets a list is agreed in the reduction its array creations make anyway
// (every rank must have a place free), and keep, reuse and evict follow
// from the shape, the list and the array's size in the order of the
// collective calls, so every rank evicts (MPI_Win_free) in the same order.
// An array holds its list from its creation to its release, so that the
// release finds it without the communicator, which the program may have
// freed meanwhile (the window keeps its group; a freed communicator's list
// keeps nothing). Kept windows stay in the record of live arrays and are
// freed at the start of MPI_Finalize like arrays.

/// The kept windows of one communicator.
struct window_list;

/// The most windows kept per communicator.
inline constexpr int kept_windows_bound = 8;

/// The most communicators per process that keep windows, VIRDA_COMM's place
/// included: at most kept_lists_bound x kept_windows_bound windows, and as
/// many MPI context ids, are kept in all.
inline constexpr int kept_lists_bound = 4;

/// comm's list, or null when it has none. Local: a communicator attribute
/// query, so comm must not have been freed.
window_list* kept_list_of(MPI_Comm comm);

/// Whether this process can give comm a list: reuse is on, an array of
/// `largest_block_bytes` could be kept, and a place is free (VIRDA_COMM's
/// own, or one of the others). Local; the ranks of comm agree on the AND.
bool can_start_list(MPI_Comm comm, MPI_Aint largest_block_bytes);

/// Gives comm a list and takes a place for it. Call it on every rank of comm
/// alike, once they all could. Local.
window_list* start_list(MPI_Comm comm);

/// An array over the list's communicator holds the list from its creation
/// until its release; a list whose communicator was freed lives on, keeping
/// nothing, until its last array lets go. Local; null does nothing.
void hold_list(window_list* list);
void let_go_list(window_list* list);

/// Takes a kept window of this shape out of the list (the most recently kept
/// first); false when there is none or no list. Local.
bool take_window(window_list* list, const window_shape& shape, kept_window* out);

/// Keeps a released array's window and block in its communicator's list,
/// evicting the oldest kept windows (MPI_Win_free, collective over the
/// communicator) as the bounds require; false when it is not kept (no list,
/// the communicator was freed, too large, or reuse is off), and the caller
/// frees it. `largest_block_bytes` is the largest block any rank holds for
/// this shape, the same on every rank. Makes no call on the communicator.
bool keep_window(window_list* list, const window_shape& shape, MPI_Aint largest_block_bytes, const kept_window& w);

/// Frees every window kept in the list, oldest first; returns how many.
/// Collective over its communicator when any is kept (and that is the same
/// on every rank).
int drop_kept_windows(window_list* list);
/// The same for comm's list, when it has one.
int drop_kept_windows(MPI_Comm comm);

/// How many windows are kept for comm. Local.
int kept_window_count(MPI_Comm comm);

/// How many communicators have a list on this process. Local.
int kept_list_count();

/// For tests: turns keeping and reusing released windows on or off (on by
/// default) and returns the previous setting. Call it on every rank alike;
/// while it is off, what is kept stays kept and unused, and no communicator
/// gets a list.
bool set_window_reuse(bool on);

} // namespace virda_detail

#endif
