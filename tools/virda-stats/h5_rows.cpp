#include "h5_rows.h"

#include <mpi.h>

namespace virda_stats {

namespace {

/// Rows [first, first + count) of a dataset with rows of `components` values;
/// none when count is 0.
row_selection select_rows(hid_t dataset, hsize_t first, hsize_t count, int components)
{
    row_selection s;
    s.file_space = h5_space_handle(H5Dget_space(dataset));
    const hsize_t memory_dims[2] = {count > 0 ? count : 1, static_cast<hsize_t>(components)};
    s.memory_space = h5_space_handle(H5Screate_simple(components > 1 ? 2 : 1, memory_dims, nullptr));
    if (!s.file_space.valid() || !s.memory_space.valid()) {
        return row_selection{};
    }
    herr_t status = 0;
    if (count == 0) {
        status = H5Sselect_none(s.file_space.get());
        if (status >= 0) {
            status = H5Sselect_none(s.memory_space.get());
        }
    } else {
        const hsize_t start[2] = {first, 0};
        const hsize_t block[2] = {count, static_cast<hsize_t>(components)};
        status = H5Sselect_hyperslab(s.file_space.get(), H5S_SELECT_SET, start, nullptr, block, nullptr);
        s.any = true;
    }
    if (status < 0) {
        return row_selection{};
    }
    return s;
}

} // namespace

template <typename T>
row_selection select_own_rows(hid_t dataset, const va<T>& data)
{
    // One element per row: the arrays here are one-dimensional.
    const va_range own = data.va_local_range();
    return select_rows(dataset, static_cast<hsize_t>(own.first), static_cast<hsize_t>(own.count),
                       h5_element<T>::components);
}

#define VIRDA_STATS_INSTANTIATE(T) template row_selection select_own_rows<T>(hid_t, const va<T>&);
VIRDA_STATS_FOR_EACH_HELD_TYPE(VIRDA_STATS_INSTANTIATE)
#undef VIRDA_STATS_INSTANTIATE

h5_handle independent_transfer()
{
    h5_handle list = h5_plist_handle(H5Pcreate(H5P_DATASET_XFER));
    if (list.valid() && H5Pset_dxpl_mpio(list.get(), H5FD_MPIO_INDEPENDENT) < 0) {
        list.reset();
    }
    return list;
}

h5_handle mpio_file_access(MPI_Comm comm)
{
    h5_handle list = h5_plist_handle(H5Pcreate(H5P_FILE_ACCESS));
    if (list.valid() && H5Pset_fapl_mpio(list.get(), comm, MPI_INFO_NULL) < 0) {
        list.reset();
    }
    return list;
}

} // namespace virda_stats
