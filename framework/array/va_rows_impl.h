#ifndef VIRDA_FRAMEWORK_ARRAY_VA_ROWS_IMPL_H
#define VIRDA_FRAMEWORK_ARRAY_VA_ROWS_IMPL_H

// Member definitions of va<T>: which rank holds which elements (the ranges
// of the row rule).
// Included through va_impl.h.
#include "framework/messages.h"
#include "framework/array/va.h"

#include <algorithm>
#include <iostream>
#include <vector>

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
        virda_messages::report(virda_messages::not_created);
        *first = 0;
        *last = -1;
        return;
    }
    if (rank < 0 || rank >= num_ranks) {
        virda_messages::report(virda_messages::rank_outside);
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

#endif
