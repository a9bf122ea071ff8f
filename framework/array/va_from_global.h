#ifndef VIRDA_FRAMEWORK_ARRAY_VA_FROM_GLOBAL_H
#define VIRDA_FRAMEWORK_ARRAY_VA_FROM_GLOBAL_H

/// \file
/// va_from_global: a new array filled from a function of the global index.

#include "framework/array/va.h"

#include <mpi.h>

#include <vector>

/// A new array of T with extents `dims` over `comm` whose element with global
/// index g holds f(g) (converted to T), published to every rank.
///
/// Each rank writes only the elements it holds: a rank without rows writes
/// nothing, and the last rank's `extra_rows` continue the numbering past
/// va_size() (they get f(g) for those g too, though no global read reaches
/// them). An array that could not be created (rejected extents, a refused
/// allocation or window) holds no block on any rank; nothing is written and it
/// is returned as it is.
///
/// Collective over `comm`: one window creation (two with extra rows: the
/// array is re-created with them) and the barrier of va_sync.
template <typename T, typename F>
va<T> va_from_global(const std::vector<int>& dims, MPI_Comm comm, F&& f, int extra_rows = 0)
{
    va<T> a(dims, comm);
    if (extra_rows != 0) {
        a.va_create(dims, comm, extra_rows);
    }
    const va_range own = a.va_local_range();
    T* block = a.va_local_data();
    for (int i = 0; i < own.count; ++i) {
        block[i] = static_cast<T>(f(own.first + i));
    }
    a.va_sync();
    return a;
}

#endif
