#ifndef VIRDA_FRAMEWORK_ARRAY_VA_WINDOW_IMPL_H
#define VIRDA_FRAMEWORK_ARRAY_VA_WINDOW_IMPL_H

// Member definitions of va<T>: its block and MPI window (allocation agreed
// over the ranks, windows kept from released arrays reused, publication of
// local stores).
// Included through va_impl.h.
#include "framework/messages.h"
#include "framework/array/finalize_registry.h"
#include "framework/array/block_cache.h"
#include "framework/array/va.h"
#include "framework/array/window_pool.h"
#include "framework/mpi/window_create.h"

#include <algorithm>
#include <cstdint>
#include <iostream>

template <typename T>
bool va<T>::allocate_and_expose(MPI_Aint block_elements)
{
    // A window kept from a released array of the same shape over the same
    // communicator serves as it is: every rank finds one alike.
    virda_detail::window_list* list = virda_detail::kept_list_of(comm);
    virda_detail::kept_window kept;
    const bool reused = virda_detail::take_window(list, window_shape(), &kept);

    // Byte sizes in MPI_Aint: a block of an int-countable number of elements
    // can still exceed 2^31 bytes. The block is aligned to 64 bytes inside a
    // slightly larger allocation so that inner loops start on a cache line.
    const MPI_Aint bytes = block_elements * static_cast<MPI_Aint>(element_bytes);
    constexpr MPI_Aint alignment = 64;
    if (reused) {
        allocation = kept.allocation;
        allocation_bytes = kept.allocation_bytes;
    } else {
        allocation_bytes = bytes + alignment;
        allocation = virda_detail::acquire_block(allocation_bytes);
    }

    // Every rank learns whether every block could be had before any window
    // exists: a rank without memory must not leave the others alone in
    // MPI_Win_create, nor hand out an array with a hole in it. This is the
    // one collective a creation adds to the window's own, and the only one
    // when a kept window is reused: once it returns, every rank has passed
    // its release of the array that had the window, so no rank still reads
    // the old contents when the new ones are written. A communicator
    // without a list of kept windows gets one in the same reduction when
    // every rank has a place for it (their other communicators differ).
    constexpr int have_block = 1;
    constexpr int can_keep = 2;
    const int mine = (allocation != nullptr ? have_block : 0) |
                     (list == nullptr && virda_detail::can_start_list(comm, largest_block_bytes()) ? can_keep : 0);
    int all = 0;
    MPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_BAND, comm);
    if ((all & have_block) == 0) {
        virda_messages::report(virda_messages::block_not_allocated);
        become_empty();
        return false;
    }
    if ((all & can_keep) != 0) {
        list = virda_detail::start_list(comm);
    }

    auto address = reinterpret_cast<std::uintptr_t>(allocation);
    address = (address + alignment - 1) & ~static_cast<std::uintptr_t>(alignment - 1);
    data = reinterpret_cast<T*>(address);
    if (reused) {
        win = kept.win;
        registry_key = kept.registry_key;
        virda_detail::move_array(registry_key, this, &va<T>::release_at_finalize);
        kept_list = list;
        virda_detail::hold_list(kept_list);
        return true;
    }
    // Window creation fails on every rank alike (the communication context
    // is agreed on inside it): typically the process has no context id left,
    // one per window and communicator. The windows kept for this
    // communicator hold some: they are given back, and the creation tried
    // once more.
    bool created = virda_detail::create_window(data, bytes, element_bytes, comm, &win);
    if (!created && virda_detail::drop_kept_windows(list) > 0) {
        created = virda_detail::create_window(data, bytes, element_bytes, comm, &win);
    }
    if (!created) {
        virda_messages::report(virda_messages::no_window);
        become_empty();
        return false;
    }
    registry_key = virda_detail::register_array(this, &va<T>::release_at_finalize);
    kept_list = list;
    virda_detail::hold_list(kept_list);
    return true;
}

template <typename T>
virda_detail::window_shape va<T>::window_shape() const
{
    // A placeholder (first extent 0) holds a one-element block; every other
    // array the rows of the distribution rule, also one whose later extent
    // is 0 (a block of no bytes): such an array and a placeholder both have
    // no elements, but their windows differ in size.
    virda_detail::window_shape shape;
    shape.element_bytes = element_bytes;
    shape.placeholder = dims.empty() || dims[0] == 0;
    if (!shape.placeholder) {
        shape.rows = dims[0];
        shape.extra_rows = extra_rows;
        shape.row_length = row_length();
    }
    return shape;
}

template <typename T>
MPI_Aint va<T>::largest_block_bytes() const
{
    // A placeholder's block is one element; no other rank holds more than
    // dims[0] / n + 1 rows and the extra rows.
    if (window_shape().placeholder) {
        return element_bytes;
    }
    // Reckoned in MPI_Aint: extra rows may be up to INT_MAX on an array of
    // zero-length rows, which still holds no elements.
    const MPI_Aint rows = MPI_Aint{dims[0] / num_ranks} + 1 + MPI_Aint{extra_rows};
    return rows * row_length() * static_cast<MPI_Aint>(element_bytes);
}

template <typename T>
void va<T>::become_empty()
{
    // An array without elements, block or window: every read reports an
    // index outside the array, and releasing it makes no MPI call.
    drop_allocation();
    win = MPI_WIN_NULL;
    num_elements = 0;
    local_rows = 0;
    extra_rows = 0;
    dims.assign(1, 0);
    num_dims = 1;
    std::fill(row_end, row_end + num_ranks, 0);
}

template <typename T>
void va<T>::drop_allocation()
{
    if (allocation != nullptr) {
        virda_detail::release_block(allocation, allocation_bytes);
    }
    allocation = nullptr;
    data = nullptr;
}

template <typename T>
void va<T>::release_at_finalize(void* self)
{
    auto* a = static_cast<va<T>*>(self);
    MPI_Win_free(&a->win);
    MPI_Free_mem(a->allocation);
    a->allocation = nullptr;
    a->data = nullptr;
    a->registry_key = 0;
}

template <typename T>
void va<T>::va_sync()
{
    if (win == MPI_WIN_NULL) {
        return;
    }
    // Local stores into the block become part of the window's public copy
    // (needed in the separate memory model, harmless in the unified one) ...
    MPI_Win_lock(MPI_LOCK_SHARED, my_rank, 0, win);
    MPI_Win_sync(win);
    MPI_Win_unlock(my_rank, win);
    // ... before any rank can go on to read them.
    MPI_Barrier(comm);
}

#endif
