#include "storage_checks.h"

#include "collective_error.h"
#include "h5_handle.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace virda_stats {

unsigned long long file_size_of(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw tool_error("cannot read " + path + ": " + std::strerror(errno));
    }
    return static_cast<unsigned long long>(info.st_size);
}

void check_storage_in_file(hid_t file, hid_t dataset, const std::string& name, const std::string& path,
                           unsigned long long file_size, int row_axis, hsize_t first, hsize_t count)
{
    const std::string where = "dataset '" + name + "' in " + path;
    const h5_handle create = h5_plist_handle(H5Dget_create_plist(dataset));
    if (!create.valid()) {
        throw tool_error("cannot read the storage layout of " + where);
    }
    if (H5Pget_external_count(create.get()) > 0) {
        throw tool_error(where + " is stored in external files, which virda-stats does not read");
    }
    const auto beyond = [&](unsigned long long end) {
        return tool_error(where + " is cut short: its data run to byte " + std::to_string(end) + " but " + path +
                          " has only " + std::to_string(file_size) + " bytes (the file was truncated or is damaged)");
    };
    switch (H5Pget_layout(create.get())) {
    case H5D_CONTIGUOUS: {
        const haddr_t offset = H5Dget_offset(dataset); // absolute: includes the user block
        if (offset == HADDR_UNDEF) {
            return; // no storage allocated: the data read as the fill value
        }
        const unsigned long long end = static_cast<unsigned long long>(offset) + H5Dget_storage_size(dataset);
        if (end > file_size) {
            throw beyond(end);
        }
        return;
    }
    case H5D_CHUNKED: {
        if (count == 0) {
            return;
        }
        hsize_t user_block = 0;
        const h5_handle file_create = h5_plist_handle(H5Fget_create_plist(file));
        if (!file_create.valid() || H5Pget_userblock(file_create.get(), &user_block) < 0) {
            throw tool_error("cannot read the creation properties of " + path);
        }
        const h5_handle space = h5_space_handle(H5Dget_space(dataset));
        const int ndims = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
        hsize_t dims[H5S_MAX_RANK] = {};
        hsize_t chunk[H5S_MAX_RANK] = {};
        if (ndims < 1 || row_axis < 0 || row_axis >= ndims ||
            H5Sget_simple_extent_dims(space.get(), dims, nullptr) < 0 ||
            H5Pget_chunk(create.get(), ndims, chunk) != ndims) {
            throw tool_error("cannot read the chunk layout of " + where);
        }
        for (int d = 0; d < ndims; ++d) {
            if (chunk[d] == 0) {
                throw tool_error("cannot read the chunk layout of " + where);
            }
        }
        // Every chunk that holds some of the rows: along the row axis from
        // the chunk holding row `first` on, in the dimensions after it every
        // chunk, walked like an odometer (the dimensions before it have one
        // index, hence one chunk).
        hsize_t coords[H5S_MAX_RANK] = {};
        coords[row_axis] = first / chunk[row_axis] * chunk[row_axis];
        while (coords[row_axis] < first + count) {
            unsigned filters = 0;
            haddr_t address = HADDR_UNDEF;
            hsize_t bytes = 0;
            if (H5Dget_chunk_info_by_coord(dataset, coords, &filters, &address, &bytes) < 0) {
                throw tool_error("cannot read the chunk index of " + where + " (the file may be damaged or cut short)");
            }
            // An unwritten chunk (HADDR_UNDEF) reads as the fill value.
            if (address != HADDR_UNDEF) {
                const unsigned long long end = user_block + static_cast<unsigned long long>(address) + bytes;
                if (end > file_size) {
                    throw beyond(end);
                }
            }
            int d = ndims - 1;
            for (; d > row_axis; --d) {
                coords[d] += chunk[d];
                if (coords[d] < dims[d]) {
                    break;
                }
                coords[d] = 0;
            }
            if (d == row_axis) {
                coords[row_axis] += chunk[row_axis];
            }
        }
        return;
    }
    case H5D_COMPACT:
        return;
    default:
        throw tool_error("cannot read the storage layout of " + where);
    }
}

} // namespace virda_stats
