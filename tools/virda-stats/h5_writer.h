#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_WRITER_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_WRITER_H

#include "h5_handle.h"

#include "framework/array/va.h"

#include <mpi.h>

#include <string>

namespace virda_stats {

/// An HDF5 file created (or truncated) for parallel writing with the MPI-IO
/// driver.
///
/// Failures are settled by every rank together before any rank goes on: each
/// rank writes its own rows with an independent transfer (so that an I/O
/// error on one rank cannot leave it outside a collective HDF5 call that the
/// others are still in), and every step ends with agree_or_throw. Once a step
/// has failed the file is not written again: it is emptied, closed and
/// removed (abandon()).
class h5_output {
public:
    /// Creates `path`, which must be a regular file or not exist yet, in a
    /// directory this process can write. `expected_bytes` is a size the file
    /// will take at least; rank 0 first makes sure that the file system has
    /// room for it (and some metadata), so that a full disk is refused before
    /// HDF5 writes anything. Collective over `comm`: every rank throws the
    /// same tool_error when the file cannot be created.
    h5_output(const std::string& path, MPI_Comm comm, long long expected_bytes = 0);
    h5_output(const h5_output&) = delete;
    h5_output& operator=(const h5_output&) = delete;
    /// Closes the file if close() was not called (a run that already failed).
    ~h5_output();

    /// Writes the one-dimensional array `data` as dataset `name`: shape (n)
    /// for double, float and int elements (stored as such), (n, 2) or (n, 3)
    /// doubles for Vector2 and Vector3. Each rank writes its own block.
    /// Collective; throws the same tool_error on every rank when a rank fails.
    template <typename T>
    void write(const std::string& name, const va<T>& data);

    /// The file, for writing further objects (collective creation calls only).
    hid_t id() const { return file_.get(); }

    /// Flushes and closes the file and checks both results. Collective:
    /// every rank throws the same tool_error when a rank fails; the file is
    /// closed either way.
    void close();

private:
    /// Closes and removes the file after a failure. Collective.
    void abandon();

    std::string path_;
    MPI_Comm comm_;
    h5_handle file_;
    bool failed_ = false;
    bool held_ = false;
};

/// Checks that `path` can be created or replaced as a regular file: it is a
/// regular file or does not exist, and its directory is writable. Local;
/// throws tool_error naming the reason.
void check_writable_target(const std::string& path);

} // namespace virda_stats

#endif
