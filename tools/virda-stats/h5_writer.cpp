#include "h5_writer.h"

#include "collective_error.h"
#include "h5_rows.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace virda_stats {

namespace {

std::string directory_of(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

/// Room on the file system for the file and its metadata: `bytes` of raw
/// data, a sixteenth more and 64 KiB.
long long reserved_size(long long bytes)
{
    return bytes + bytes / 16 + 65536;
}

/// Rank 0 creates (or empties) `path` and asks the file system for `bytes`
/// of storage in it, then empties it again: a file system without that much
/// room (or a file size limit below it) refuses here, before HDF5 writes
/// anything. Local; throws tool_error.
void check_room(const std::string& path, long long bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        throw tool_error("cannot create " + path + ": " + std::strerror(errno));
    }
    const int status = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    const bool emptied = ::ftruncate(fd, 0) == 0;
    const int emptied_errno = errno;
    ::close(fd);
    // posix_fallocate returns the error number rather than setting errno.
    if (status == ENOSPC || status == EFBIG || status == EDQUOT) {
        throw tool_error("cannot write " + path + ": no room for " + std::to_string(bytes) + " bytes (" +
                         std::strerror(status) + ")");
    }
    // EINVAL, EOPNOTSUPP: the file system cannot say; the writes will tell.
    if (status != 0 && status != EINVAL && status != EOPNOTSUPP) {
        throw tool_error("cannot write " + path + ": " + std::strerror(status));
    }
    if (!emptied) {
        throw tool_error("cannot write " + path + ": " + std::strerror(emptied_errno));
    }
}

/// Holds `bytes` of storage for the file HDF5 has just created (empty), so
/// that writing it cannot run out of room halfway; the file's size is left
/// alone. Linux only; elsewhere, or where the file system cannot, nothing is
/// held and check_room's answer has to do. Local.
bool hold_room(const std::string& path, long long bytes)
{
#if defined(__linux__) && defined(FALLOC_FL_KEEP_SIZE)
    const int fd = ::open(path.c_str(), O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const bool held = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes)) == 0;
    ::close(fd);
    return held;
#else
    (void)path;
    (void)bytes;
    return false;
#endif
}

/// Gives back the storage hold_room held beyond the end of the written file.
void release_room(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        (void)::truncate(path.c_str(), info.st_size);
    }
}

} // namespace

void check_writable_target(const std::string& path)
{
    if (path.empty()) {
        throw tool_error("cannot write a file with an empty name");
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) {
            throw tool_error("cannot write " + path + ": it is a directory");
        }
        if (!S_ISREG(info.st_mode)) {
            throw tool_error("cannot write " + path + ": not a regular file (HDF5 needs a file it can seek in and "
                             "read back)");
        }
        if (::access(path.c_str(), W_OK) != 0) {
            throw tool_error("cannot write " + path + ": " + std::strerror(errno));
        }
        return;
    }
    if (errno != ENOENT) {
        throw tool_error("cannot write " + path + ": " + std::strerror(errno));
    }
    const std::string directory = directory_of(path);
    if (::access(directory.c_str(), W_OK | X_OK) != 0) {
        throw tool_error("cannot write " + path + ": " + directory + ": " + std::strerror(errno));
    }
}

h5_output::h5_output(const std::string& path, MPI_Comm comm, long long expected_bytes) : path_(path), comm_(comm)
{
    int rank = 0;
    MPI_Comm_rank(comm_, &rank);
    together(comm_, [&] { check_writable_target(path_); });
    const long long room = reserved_size(expected_bytes);
    together(comm_, [&] {
        if (rank == 0 && expected_bytes > 0) {
            check_room(path_, room);
        }
    });
    together(comm_, [&] {
        const h5_handle access = mpio_file_access(comm_);
        if (!access.valid()) {
            throw tool_error("cannot set up parallel HDF5 access for " + path_);
        }
        file_ = h5_file_handle(H5Fcreate(path_.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()));
        if (!file_.valid()) {
            throw tool_error("cannot create " + path_);
        }
    });
    if (rank == 0 && expected_bytes > 0) {
        held_ = hold_room(path_, room);
    }
}

void h5_output::abandon()
{
    // The file is incomplete. Closing it makes HDF5 write its metadata, in a
    // collective flush that hangs or fails unevenly when those writes fail
    // (a full file system), and HDF5 1.10 cannot shut down after a failed
    // close. Rank 0 therefore first gives the file's data back (the file is
    // emptied; HDF5's metadata then land in a sparse file), all ranks wait
    // for it, the file is closed, and rank 0 removes what is left.
    int rank = 0;
    MPI_Comm_rank(comm_, &rank);
    if (rank == 0) {
        (void)::truncate(path_.c_str(), 0);
    }
    MPI_Barrier(comm_);
    file_.reset();
    if (rank == 0) {
        (void)::unlink(path_.c_str());
    }
}

h5_output::~h5_output()
{
    // Only after a failure (close() was not reached); the run is already
    // ending with an error.
    if (file_.valid()) {
        abandon();
    }
}

template <typename T>
void h5_output::write(const std::string& name, const va<T>& data)
{
    if (failed_) {
        throw tool_error("writing " + path_ + " was already abandoned");
    }
    constexpr int components = h5_element<T>::components;
    const hsize_t dims[2] = {static_cast<hsize_t>(data.va_size()), static_cast<hsize_t>(components)};

    // Creating a dataset is collective in parallel HDF5: same call everywhere.
    h5_handle dataset;
    row_selection rows;
    h5_handle transfer;
    try {
        together(comm_, [&] {
            const h5_handle space = h5_space_handle(H5Screate_simple(components > 1 ? 2 : 1, dims, nullptr));
            dataset = h5_dataset_handle(H5Dcreate2(file_.get(), name.c_str(), h5_element<T>::type(), space.get(),
                                                   H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
            if (dataset.valid()) {
                rows = select_own_rows(dataset.get(), data);
            }
            transfer = independent_transfer();
            if (!dataset.valid() || !rows.file_space.valid() || !transfer.valid()) {
                throw tool_error("cannot create dataset '" + name + "' in " + path_);
            }
        });

        // An independent transfer: a rank whose write fails returns from
        // H5Dwrite on its own without leaving another rank inside it; the
        // failure is then settled together. A rank without rows writes nothing.
        herr_t status = 0;
        if (rows.any) {
            status = H5Dwrite(dataset.get(), h5_element<T>::type(), rows.memory_space.get(), rows.file_space.get(),
                              transfer.get(), data.va_local_data());
        }
        together(comm_, [&] {
            if (status < 0) {
                throw tool_error("writing dataset '" + name + "' to " + path_ + " failed");
            }
        });

        // Dataset handles are released together, before the file.
        herr_t closed = H5Dclose(dataset.release());
        together(comm_, [&] {
            if (closed < 0) {
                throw tool_error("closing dataset '" + name + "' in " + path_ + " failed");
            }
        });
    } catch (const tool_error&) {
        failed_ = true;
        throw;
    }
}

void h5_output::close()
{
    if (!file_.valid()) {
        return;
    }
    if (failed_) {
        abandon();
        throw tool_error("writing " + path_ + " was abandoned after an earlier failure");
    }
    // Flushing first tells a failure to write the metadata apart from one to
    // close, and lets every rank agree on it before the collective close.
    const herr_t flushed = H5Fflush(file_.get(), H5F_SCOPE_GLOBAL);
    std::string failure;
    if (flushed < 0) {
        failure = "writing " + path_ + " failed (its metadata could not be flushed)";
    }
    const herr_t closed = H5Fclose(file_.release());
    if (closed < 0 && failure.empty()) {
        failure = "closing " + path_ + " failed: the file is incomplete";
    }
    int rank = 0;
    MPI_Comm_rank(comm_, &rank);
    if (held_ && rank == 0) {
        release_room(path_);
    }
    agree_or_throw(comm_, failure);
}

#define VIRDA_STATS_INSTANTIATE(T) template void h5_output::write<T>(const std::string&, const va<T>&);
VIRDA_STATS_FOR_EACH_HELD_TYPE(VIRDA_STATS_INSTANTIATE)
#undef VIRDA_STATS_INSTANTIATE

} // namespace virda_stats
