#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_READER_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_READER_H

#include "h5_handle.h"

#include "framework/array/va.h"

#include <mpi.h>

#include <cstddef>
#include <string>

namespace virda_stats {

/// The number types the tool holds values in: double, float and int.
/// HDF5 converts every stored number type to one of them while reading:
///   8-, 16- and 32-bit signed and 8- and 16-bit unsigned integers -> int
///   32-bit unsigned and 64-bit integers                         -> double
///   16- and 32-bit floats -> float; 64-bit and extended floats   -> double
/// Enumerations are read as their integer values, bit fields as unsigned
/// integers of their width.
enum class element_kind { float64, float32, int32 };

/// A dataset that the tool can read.
struct dataset_shape {
    /// The name as given on the command line.
    std::string name;
    /// The type the values are held in.
    element_kind kind = element_kind::float64;
    /// The stored type: "int8" ... "uint64", "float16" ... "float128".
    std::string stored = "float64";
    /// Integers of more than 53 bits (64-bit): doubles hold them exactly only
    /// up to 2^53 in magnitude, so a read counts the values beyond.
    bool wide_integers = false;
    /// For a bit field (read as an unsigned integer): its size in bytes (1,
    /// 2, 4 or 8); 0 for numbers. HDF5 does not convert bit fields to numbers,
    /// so they are read as they are and widened in place.
    int bitfield_bytes = 0;
    long long rows = 0;
    /// A single value (scalar dataspace), read as one row by summary only.
    bool scalar = false;
    /// 0 for a one-dimensional dataset; k for a table of shape (rows, k).
    int columns = 0;
    /// 2 or 3 for a table of floats of shape (rows, 2) or (rows, 3), read as
    /// Vector2 or Vector3 (unless one column is chosen); 1 otherwise.
    int components = 1;
    /// The one column of a table to read (select_column), or -1 for all.
    int column = -1;
};

/// Chooses column `column` (0-based) of a table: the dataset is then read as
/// that column alone. Local; throws tool_error for a one-dimensional dataset
/// or a column out of range.
void select_column(dataset_shape& shape, int column, const std::string& file);

/// Whether `shape` is a table read whole: more than one value per row and
/// no column chosen.
inline bool whole_table(const dataset_shape& shape) { return shape.columns > 0 && shape.column < 0; }

/// The element type the dataset is held in: "double", "float", "int",
/// "Vector2" or "Vector3" (vectors only when no column is chosen).
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
    /// the end of the file. A dataset without rows is not refused here (its
    /// shape has rows == 0): summary reports it as empty, the other
    /// operations refuse it.
    dataset_shape inspect(const std::string& name) const;

    /// Reads a dataset into a new array distributed over the file's
    /// communicator, each rank straight into its own block (one hyperslab of
    /// its rows; HDF5 converts the stored numbers into T on the way), then
    /// publishes the blocks (va_sync). T is the held type of a
    /// one-dimensional dataset or of the chosen column, or Vector2/Vector3
    /// for a vector table. A dataset that does not fit in memory is refused
    /// before reading (check_memory_for, require_allocated). For wide
    /// integers, `beyond_exact` (when given) receives the number of values of
    /// magnitude 2^53 or more over all ranks: they may have been rounded.
    /// Collective: every rank throws the same tool_error when any rank fails,
    /// with HDF5's reason when HDF5 refused.
    template <typename T>
    va<T> read(const dataset_shape& shape, long long* beyond_exact = nullptr) const;

    /// Reads rows [first, first + count) of a whole table (every column) into
    /// `block`, row after row (count * shape.columns values), with one
    /// hyperslab; a rank with count 0 reads nothing. T is the held type.
    /// `beyond_exact` as for read. Collective, as read.
    template <typename T>
    void read_rows(const dataset_shape& shape, long long first, long long count, T* block,
                   long long* beyond_exact = nullptr) const;

private:
    /// One rank's rows of `shape` into `buffer` as `memory_type`: columns
    /// [first_column, first_column + width) of rows [first, first + count).
    /// Collective; every rank throws the same tool_error on a failure.
    void read_block(const dataset_shape& shape, hid_t memory_type, hsize_t first, hsize_t count,
                    hsize_t first_column, hsize_t width, void* buffer) const;

    std::string path_;
    MPI_Comm comm_;
    h5_handle file_;
};

} // namespace virda_stats

#endif
