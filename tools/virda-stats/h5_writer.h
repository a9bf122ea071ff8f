#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_WRITER_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_WRITER_H

#include "h5_handle.h"

#include "framework/array/va.h"

#include <mpi.h>

#include <string>

namespace virda_stats {

/// An HDF5 file created (or truncated) for parallel writing with the MPI-IO
/// driver.
class h5_output {
public:
    /// Creates `path`. Collective over `comm`: every rank throws the same
    /// tool_error when the file cannot be created.
    h5_output(const std::string& path, MPI_Comm comm);

    /// Writes the one-dimensional array `data` as dataset `name`: shape (n)
    /// for double, float and int elements (stored as such), (n, 2) or (n, 3)
    /// doubles for Vector2 and Vector3. Each rank writes its own block with one
    /// collective write. Collective; throws the same tool_error on every rank
    /// when a rank fails.
    template <typename T>
    void write(const std::string& name, const va<T>& data);

    /// The file, for writing further objects (collective creation calls only).
    hid_t id() const { return file_.get(); }

    /// Closes the file. Collective.
    void close() { file_.reset(); }

private:
    std::string path_;
    MPI_Comm comm_;
    h5_handle file_;
};

} // namespace virda_stats

#endif
