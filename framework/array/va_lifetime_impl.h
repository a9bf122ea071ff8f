#ifndef VIRDA_FRAMEWORK_ARRAY_VA_LIFETIME_IMPL_H
#define VIRDA_FRAMEWORK_ARRAY_VA_LIFETIME_IMPL_H

// Member definitions of va<T>: creation, copying, moving and release; the row
// rule that sizes a block and the checks of the extents before anything is
// allocated.
// Included through va_impl.h.
#include "framework/messages.h"
#include "framework/array/finalize_registry.h"
#include "framework/array/va.h"
#include "framework/array/window_pool.h"
#include "framework/runtime/virda_globals.h"

#include <algorithm>
#include <climits>
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
        virda_messages::report(virda_messages::self_assignment);
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
        virda_messages::report(virda_messages::negative_extent);
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
        virda_messages::report(virda_messages::too_many_elements);
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
void va<T>::copy_block_from(const va& src)
{
    const int n = va_local_count();
    if (n > 0 && src.data != nullptr && data != nullptr) {
        std::copy(src.data, src.data + n, data);
    }
}

#endif
