#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_READER_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_READER_H

#include "dataset_shape.h"
#include "h5_handle.h"

#include "engine/number_type.h"

#include <mpi.h>

#include <string>

namespace virda_stats {

/// An HDF5 file opened for parallel reading with the MPI-IO driver.
///
/// Every rank reads only its own share of the rows, a slab at a time (each
/// read an independent transfer, its outcome settled by all ranks
/// together); no rank ever holds a whole dataset.
class h5_input {
public:
    /// Opens `path`. Collective over `comm`: every rank throws the same
    /// tool_error when the file is missing, unreadable or not an HDF5 file.
    h5_input(const std::string& path, MPI_Comm comm);

    const std::string& path() const { return path_; }
    /// The open file, for metadata reads (attributes, dimension scales).
    hid_t id() const { return file_.get(); }

    /// Finds a dataset, decides how it is read (its layout, from `reading`
    /// and the dataset; the rules for missing and packed values from its
    /// attributes unless `reading.raw`), and checks that its type and shape
    /// can be read and that its stored data lie inside the file (a file cut short is refused
    /// here rather than read as zeros). Local (metadata reads only) and the
    /// same on every rank; throws tool_error for a missing dataset, a group,
    /// an unsupported element type or shape, an empty dataset or data beyond
    /// the end of the file. A dataset without rows is not refused here (its
    /// shape has rows == 0): summary reports it as empty, the other
    /// operations refuse it.
    dataset_shape inspect(const std::string& name, const reading_options& reading = {}) const;

    /// Reads rows [first, first + count) of the row axis of `shape` into
    /// `block` as the held number type T: of each row the chosen column, every
    /// column of a whole table, or every value of a grid's row (count times
    /// the values per row). Any number of rows: a slab of a dataset of any
    /// size. For wide integers, `beyond_exact` (when given) receives
    /// the number of values of magnitude 2^53 or more in the slabs of all
    /// ranks: they may have been rounded. Collective: every rank throws the
    /// same tool_error when any rank fails, with HDF5's reason when HDF5
    /// refused.
    template <typename T>
    void read_slab(const dataset_shape& shape, long long first, long long count, T* block,
                   long long* beyond_exact = nullptr) const;

    /// As read_slab, into values of the engine's number type `type` (HDF5
    /// converts the stored numbers on the way): for numbers, not bit fields,
    /// and without counting wide integers. Collective, as read_slab.
    void read_slab_as(const dataset_shape& shape, virda::engine::number_type type, long long first, long long count,
                      void* block) const;

private:
    /// One rank's rows of `shape` into `block`, as read_block reads them, as
    /// the held type T (bit fields widened); for wide integers the values
    /// beyond 2^53 are counted over all ranks into `beyond_exact` (when
    /// given). Collective, as read_block.
    template <typename T>
    void read_values(const dataset_shape& shape, hsize_t first, hsize_t count, int column, T* block,
                     long long* beyond_exact) const;

    /// Rows [first, first + count) of `shape` into `buffer` as `memory_type`,
    /// in file order: of each row the chosen `column` of a table, or (-1)
    /// every value. Collective; every rank throws the same tool_error on a
    /// failure, naming what to install when a filter plugin is missing.
    void read_block(const dataset_shape& shape, hid_t memory_type, hsize_t first, hsize_t count, int column,
                    void* buffer) const;

    std::string path_;
    MPI_Comm comm_;
    h5_handle file_;
};

} // namespace virda_stats

#endif
