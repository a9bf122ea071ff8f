#ifndef VIRDA_FRAMEWORK_ARRAY_VA_READS_IMPL_H
#define VIRDA_FRAMEWORK_ARRAY_VA_READS_IMPL_H

// Member definitions of va<T>: reads of elements, this rank's own from the
// block, other ranks' one-sided through the window.
// Included through va_impl.h.
#include "framework/messages.h"
#include "framework/array/va.h"

#include <algorithm>
#include <iostream>

template <typename T>
int va<T>::va_get_opt(int index, T* out) const
{
    if (index < 0 || index >= num_elements || data == nullptr) {
        virda_messages::report(virda_messages::index_too_large);
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
        virda_messages::report(virda_messages::inverted_range);
        return -1;
    }
    if (lo < 0 || hi >= num_elements || data == nullptr) {
        virda_messages::report(virda_messages::range_outside);
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

#endif
