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
    int rank = 0;
    MPI_Comm_rank(data.va_get_comm(), &rank);
    int first = 0;
    int last = -1;
    data.va_distribution_index(rank, &first, &last);
    // One element per row: the arrays here are one-dimensional.
    const hsize_t count = last >= first ? static_cast<hsize_t>(last - first + 1) : 0;
    return select_rows(dataset, static_cast<hsize_t>(first), count, h5_element<T>::components);
}

template row_selection select_own_rows<double>(hid_t, const va<double>&);
template row_selection select_own_rows<float>(hid_t, const va<float>&);
template row_selection select_own_rows<int>(hid_t, const va<int>&);
template row_selection select_own_rows<Vector2>(hid_t, const va<Vector2>&);
template row_selection select_own_rows<Vector3>(hid_t, const va<Vector3>&);

h5_handle collective_transfer()
{
    h5_handle list = h5_plist_handle(H5Pcreate(H5P_DATASET_XFER));
    if (list.valid() && H5Pset_dxpl_mpio(list.get(), H5FD_MPIO_COLLECTIVE) < 0) {
        list.reset();
    }
    return list;
}

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
