#ifndef VIRDA_FRAMEWORK_ARRAY_VA_IMPL_H
#define VIRDA_FRAMEWORK_ARRAY_VA_IMPL_H

// Member definitions of va<T>. Included by the one source that instantiates
// the seven element types; programs use those instantiations.
#include "framework/messages.h"
#include "framework/array/array_registry.h"
#include "framework/array/block_cache.h"
#include "framework/array/va.h"
#include "framework/array/window_pool.h"
#include "framework/mpi/window_create.h"
#include "framework/runtime/virda_globals.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iostream>

template <typename T>
va<T>::va()
{
    va_internal_create({0}, VIRDA_COMM, 0);
}

template <typename T>
va<T>::va(const std::vector<int>& extents, MPI_Comm c)
{
    va_create(extents, c, 0);
}

template <typename T>
va<T>::va(const va& src)
{
    if (!src.dims.empty() && src.dims[0] != 0) {
        // Created straight away: a placeholder first would only cost one more
        // collective window creation and release.
        va_create(src.dims, src.comm, 0);
        copy_block_from(src);
        va_sync();
    } else {
        va_internal_create(src.dims, src.comm, 0);
    }
}

template <typename T>
va<T>::va(va&& src) noexcept
{
    take(src);
}

template <typename T>
va<T>& va<T>::operator=(const va& src)
{
    if (&src == this) {
        std::cerr << virda_messages::self_assignment << std::endl;
        return *this;
    }
    // Re-create when there is nothing to copy into (no elements, or released)
    // or the distributions differ; otherwise the blocks correspond already.
    const bool recreate = num_elements == 0 || win == MPI_WIN_NULL || dims != src.dims || comm != src.comm;
    if (recreate) {
        va_create(src.dims, src.comm, 0);
    }
    copy_block_from(src);
    if (recreate) {
        va_sync();
    }
    return *this;
}

template <typename T>
va<T>& va<T>::operator=(va&& src) noexcept
{
    if (&src != this) {
        va_free();
        take(src);
    }
    return *this;
}

template <typename T>
va<T>::~va()
{
    va_free();
}

template <typename T>
void va<T>::take(va& src) noexcept
{
    num_elements = src.num_elements;
    local_rows = src.local_rows;
    num_dims = src.num_dims;
    num_ranks = src.num_ranks;
    element_bytes = src.element_bytes;
    my_rank = src.my_rank;
    row_end = src.row_end;
    extra_rows = src.extra_rows;
    reserved = src.reserved;
    dims = std::move(src.dims);
    comm = src.comm;
    datatype = src.datatype;
    win = src.win;
    data = src.data;
    allocation = src.allocation;
    allocation_bytes = src.allocation_bytes;
    registry_key = src.registry_key;
    kept_list = src.kept_list;
    if (registry_key != 0) {
        virda_detail::move_array(registry_key, this);
    }

    // The source keeps its communicator but holds nothing: no elements, no
    // window, no block.
    src.num_elements = 0;
    src.local_rows = 0;
    src.row_end = nullptr;
    src.extra_rows = 0;
    src.dims.assign(1, 0);
    src.num_dims = 1;
    src.win = MPI_WIN_NULL;
    src.data = nullptr;
    src.allocation = nullptr;
    src.registry_key = 0;
    src.kept_list = nullptr;
}

template <typename T>
void va<T>::set_communicator(MPI_Comm c)
{
    comm = c;
    MPI_Comm_rank(comm, &my_rank);
    datatype = mpi_type_trait<T>().get();
    MPI_Comm_size(comm, &num_ranks);
    MPI_Type_size(datatype, &element_bytes);
}

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
        std::cerr << virda_messages::block_not_allocated << std::endl;
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
        std::cerr << virda_messages::no_window << std::endl;
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
void va<T>::set_shape(std::vector<int> extents, MPI_Comm c, int extra, int elements)
{
    set_communicator(c);
    extra_rows = extra;
    num_elements = elements;
    dims = std::move(extents);
    num_dims = static_cast<int>(dims.size());
    reserved = 0;
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
int va<T>::va_internal_create(std::vector<int> extents, MPI_Comm c, int extra)
{
    va_free();
    if (extents.empty()) {
        extents.assign(1, 0);
    }
    set_shape(std::move(extents), c, extra, 0);
    row_end = new int[num_ranks]();
    local_rows = dims[0] / num_ranks;
    return allocate_and_expose(1) ? 0 : -1;
}

template <typename T>
int va<T>::va_create(std::vector<int> extents, MPI_Comm c, int extra)
{
    va_free();

    // Validate before anything is allocated; every rank sees the same extents
    // and so takes the same path. A negative extent or extra-row count is
    // rejected even where a zero extent would otherwise make a placeholder.
    bool negative = extra < 0;
    for (int e : extents) {
        negative = negative || e < 0;
    }
    if (negative) {
        std::cerr << virda_messages::negative_extent << std::endl;
        va_internal_create({0}, c, 0);
        return -1;
    }
    if (extents.empty() || extents[0] == 0) {
        va_internal_create(std::move(extents), c, 0);
        return 1;
    }
    long long count = 1;
    for (int e : extents) {
        count *= e;
        count = std::min(count, static_cast<long long>(INT_MAX) + 1);
    }
    // The rows, extra rows included, are numbered in an int as well, also
    // when a zero extent after the first leaves them without elements.
    const long long row = count / extents[0];
    const long long rows = static_cast<long long>(extents[0]) + extra;
    const bool too_many = count > INT_MAX || rows > INT_MAX || rows * row > static_cast<long long>(INT_MAX);
    if (too_many) {
        std::cerr << virda_messages::too_many_elements << std::endl;
        va_internal_create({0}, c, 0);
        return -1;
    }

    set_shape(std::move(extents), c, extra, static_cast<int>(count));
    row_end = new int[num_ranks];

    // Rows of the first dimension: the first m = dims[0] % n ranks take
    // q + 1 = dims[0] / n + 1 rows each, the others q; the last rank also
    // holds the extra rows after the first extent.
    const long long n = num_ranks;
    const long long q = dims[0] / n;
    const long long m = dims[0] % n;
    for (long long r = 0; r < n; ++r) {
        row_end[r] = static_cast<int>(r < m ? (r + 1) * (q + 1) - 1 : m * (q + 1) + (r - m + 1) * q - 1);
    }
    row_end[n - 1] += extra_rows;
    local_rows = static_cast<int>(my_rank < m ? q + 1 : q);

    MPI_Aint block = static_cast<MPI_Aint>(local_rows) * row;
    if (my_rank == num_ranks - 1) {
        block += static_cast<MPI_Aint>(extra_rows) * row;
    }
    return allocate_and_expose(block) ? 0 : -1;
}

template <typename T>
void va<T>::va_free()
{
    if (win != MPI_WIN_NULL) {
        // Kept in the list held since creation, or freed; either way every
        // rank decides alike. comm is not looked up: the program may have
        // freed it, which the window survives.
        const virda_detail::kept_window w{win, allocation, allocation_bytes, registry_key};
        if (virda_detail::keep_window(kept_list, window_shape(), largest_block_bytes(), w)) {
            win = MPI_WIN_NULL;
            allocation = nullptr;
            data = nullptr;
            registry_key = 0; // the record follows the window
        } else {
            MPI_Win_free(&win);
        }
    }
    virda_detail::let_go_list(kept_list);
    kept_list = nullptr;
    drop_allocation();
    delete[] row_end;
    row_end = nullptr;
    if (registry_key != 0) {
        virda_detail::unregister_array(registry_key);
        registry_key = 0;
    }
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

template <typename T>
int va<T>::va_local_count() const
{
    return num_elements == 0 ? 0 : local_rows * row_length();
}

template <typename T>
int va<T>::row_start(int rank) const
{
    return rank == 0 ? 0 : (row_end[rank - 1] + 1) * row_length();
}

template <typename T>
int va<T>::owner_of(int index) const
{
    // The first rank whose last row is at or after the index's row; ranks
    // holding no rows repeat their predecessor's last row and are never first.
    const int row = index / row_length();
    return static_cast<int>(std::lower_bound(row_end, row_end + num_ranks, row) - row_end);
}

template <typename T>
void va<T>::va_distribution_index(int rank, int* first, int* last) const
{
    if (row_end == nullptr || dims.empty() || dims[0] == 0) {
        std::cerr << virda_messages::not_created << std::endl;
        *first = 0;
        *last = -1;
        return;
    }
    if (rank < 0 || rank >= num_ranks) {
        std::cerr << virda_messages::rank_outside << std::endl;
        *first = 0;
        *last = -1;
        return;
    }
    *first = row_start(rank);
    *last = (row_end[rank] + 1) * row_length() - 1;
}

template <typename T>
std::vector<int> va<T>::va_distribution_index(int rank) const
{
    std::vector<int> range(2, 0);
    va_distribution_index(rank, &range[0], &range[1]);
    return range;
}

template <typename T>
va_range va<T>::va_local_range() const
{
    if (row_end == nullptr || num_elements == 0) {
        return {};
    }
    const int first = row_start(my_rank);
    return {first, (row_end[my_rank] + 1) * row_length() - first};
}

template <typename T>
int va<T>::va_get_opt(int index, T* out) const
{
    if (index < 0 || index >= num_elements || data == nullptr) {
        std::cerr << virda_messages::index_too_large << std::endl;
        return -1;
    }
    const int owner = owner_of(index);
    const int offset = index - row_start(owner);
    if (owner == my_rank) {
        *out = data[offset];
        return 0;
    }
    MPI_Win_lock(MPI_LOCK_EXCLUSIVE, owner, MPI_MODE_NOCHECK, win);
    MPI_Get(out, 1, datatype, owner, offset, 1, datatype, win);
    MPI_Win_unlock(owner, win);
    return 0;
}

template <typename T>
template <typename U, std::enable_if_t<std::is_same_v<U, T> && virda_detail::is_real<U>, int>>
int va<T>::va_get(int lo, int hi, U* out) const
{
    if (lo > hi) {
        std::cerr << virda_messages::inverted_range << std::endl;
        return -1;
    }
    if (lo < 0 || hi >= num_elements || data == nullptr) {
        std::cerr << virda_messages::range_outside << std::endl;
        return -1;
    }
    const int first_rank = owner_of(lo);
    const int last_rank = owner_of(hi);
    const int row = row_length();
    int p = 0;
    for (int j = first_rank; j <= last_rank; ++j) {
        const int a = j == first_rank ? lo : row_start(j);
        const int b = j == last_rank ? hi : (row_end[j] + 1) * row - 1;
        const int count = b - a + 1;
        if (count <= 0) {
            continue;
        }
        const int offset = a - row_start(j);
        if (j == my_rank) {
            std::copy(data + offset, data + offset + count, out + p);
        } else {
            MPI_Win_lock(MPI_LOCK_EXCLUSIVE, j, MPI_MODE_NOCHECK, win);
            MPI_Get(out + p, count, datatype, j, offset, count, datatype, win);
            MPI_Win_unlock(j, win);
        }
        p += count;
    }
    return 0;
}

template <typename T>
T va<T>::operator[](int index) const
{
    T value{};
    va_get_opt(index, &value);
    return value;
}

template <typename T>
void va<T>::copy_block_from(const va& src)
{
    const int n = va_local_count();
    if (n > 0 && src.data != nullptr && data != nullptr) {
        std::copy(src.data, src.data + n, data);
    }
}

#endif
