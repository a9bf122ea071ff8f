#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_ROWS_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_ROWS_H

#include "h5_handle.h"

#include "framework/array/va.h"
#include "framework/types/vector2.h"
#include "framework/types/vector3.h"

#include <string>

namespace virda_stats {

/// How an element type of a distributed array is laid out in HDF5 memory:
/// `components` values of the native type per element (one per row of the
/// dataset). Vector2 and Vector3 are two and three packed doubles.
template <typename T>
struct h5_element;
template <>
struct h5_element<double> {
    static hid_t type() { return H5T_NATIVE_DOUBLE; }
    static constexpr int components = 1;
};
template <>
struct h5_element<float> {
    static hid_t type() { return H5T_NATIVE_FLOAT; }
    static constexpr int components = 1;
};
template <>
struct h5_element<int> {
    static hid_t type() { return H5T_NATIVE_INT; }
    static constexpr int components = 1;
};
template <>
struct h5_element<Vector2> {
    static hid_t type() { return H5T_NATIVE_DOUBLE; }
    static constexpr int components = 2;
};
template <>
struct h5_element<Vector3> {
    static hid_t type() { return H5T_NATIVE_DOUBLE; }
    static constexpr int components = 3;
};

/// One rank's part of a dataset in a transfer: a copy of the file space with
/// the rank's rows selected, and a memory space of those rows. A rank with no
/// rows selects none in either space; it must still take part in the
/// collective transfer.
struct row_selection {
    h5_handle file_space;
    h5_handle memory_space;
    /// Whether the rank transfers any row.
    bool any = false;
};

/// Selects the rows that `data` assigns to this rank (va_distribution_index)
/// in `dataset`. Local. Returns a selection whose spaces are invalid when
/// HDF5 refuses; the caller reports that.
template <typename T>
row_selection select_own_rows(hid_t dataset, const va<T>& data);

/// A transfer property list asking for collective MPI-IO.
h5_handle collective_transfer();

/// A transfer property list asking for independent MPI-IO: each rank reads or
/// writes on its own, so that an I/O error on one rank cannot leave it outside
/// a collective call that the others are still in.
h5_handle independent_transfer();

/// A file access property list for the MPI-IO driver on `comm`.
h5_handle mpio_file_access(MPI_Comm comm);

} // namespace virda_stats

#endif
