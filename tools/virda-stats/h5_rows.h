#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_ROWS_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_ROWS_H

#include "h5_handle.h"
#include "held_types.h"

#include "framework/array/va.h"

#include <string>

namespace virda_stats {

/// One rank's part of a dataset in a transfer: a copy of the file space with
/// the rank's rows selected, and a memory space of those rows. A rank with no
/// rows selects none in either space (its independent transfer has nothing to
/// move).
struct row_selection {
    h5_handle file_space;
    h5_handle memory_space;
    /// Whether the rank transfers any row.
    bool any = false;
};

/// Selects the rows that `data` assigns to this rank (va_local_range) in
/// `dataset`. Local. Returns a selection whose spaces are invalid when
/// HDF5 refuses; the caller reports that.
template <typename T>
row_selection select_own_rows(hid_t dataset, const va<T>& data);

/// A transfer property list asking for independent MPI-IO: each rank reads or
/// writes on its own, so that an I/O error on one rank cannot leave it outside
/// a collective call that the others are still in.
h5_handle independent_transfer();

/// A file access property list for the MPI-IO driver on `comm`.
h5_handle mpio_file_access(MPI_Comm comm);

} // namespace virda_stats

#endif
