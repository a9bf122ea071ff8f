#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_READER_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_READER_H

#include "h5_handle.h"

#include "framework/array/va.h"

#include <mpi.h>

#include <cstddef>
#include <string>

namespace virda_stats {

/// The number types the tool reads: 64- and 32-bit floats and 32-bit signed
/// integers, held as double, float and int.
enum class element_kind { float64, float32, int32 };

/// A dataset that the tool can read.
struct dataset_shape {
    /// The name as given on the command line.
    std::string name;
    element_kind kind = element_kind::float64;
    long long rows = 0;
    /// 1 for a one-dimensional dataset of numbers; 2 or 3 for a dataset of
    /// shape (rows, 2) or (rows, 3) of floats, read as Vector2 or Vector3.
    int components = 1;
};

/// The element type the dataset is held in: "double", "float", "int",
/// "Vector2" or "Vector3".
std::string held_type(const dataset_shape& shape);

/// Refuses a dataset whose block of rows (as many as the largest rank gets)
/// of `element_bytes` each clearly cannot be allocated on this rank: more than
/// its address-space or data limit leaves, or than the machine's memory and
/// swap. Local; throws tool_error.
void check_memory_for(const dataset_shape& shape, std::size_t element_bytes, MPI_Comm comm);

/// Checks on every rank that `data` really holds `rows` elements: an array
/// whose block could not be allocated comes back as a placeholder with none.
/// Collective over `comm`: every rank throws the same tool_error when any
/// rank's array is short.
template <typename T>
void require_allocated(const va<T>& data, long long rows, const std::string& name, MPI_Comm comm);

/// An HDF5 file opened for parallel reading with the MPI-IO driver.
///
/// Every rank reads only the rows that a distributed array assigns it, with
/// one collective read per dataset; no rank ever holds a whole dataset.
class h5_input {
public:
    /// Opens `path`. Collective over `comm`: every rank throws the same
    /// tool_error when the file is missing, unreadable or not an HDF5 file.
    h5_input(const std::string& path, MPI_Comm comm);

    const std::string& path() const { return path_; }

    /// Finds a dataset and checks that its type and shape can be read and
    /// that its stored data lie inside the file (a file cut short is refused
    /// here rather than read as zeros). Local (metadata reads only) and the
    /// same on every rank; throws tool_error for a missing dataset, a group,
    /// an unsupported element type or shape, an empty dataset or data beyond
    /// the end of the file.
    dataset_shape inspect(const std::string& name) const;

    /// Reads a dataset into a new array distributed over the file's
    /// communicator, each rank straight into its own block, then publishes
    /// the blocks (va_sync). A dataset that does not fit in memory is refused
    /// before reading (check_memory_for, require_allocated). T is double, float or int for a one-dimensional
    /// dataset (HDF5 converts the stored numbers), Vector2 or Vector3 for a
    /// vector dataset of that width. Collective: every rank throws the same
    /// tool_error when any rank fails.
    template <typename T>
    va<T> read(const dataset_shape& shape) const;

private:
    std::string path_;
    MPI_Comm comm_;
    h5_handle file_;
};

} // namespace virda_stats

#endif
