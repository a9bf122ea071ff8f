#ifndef VIRDA_TOOLS_VIRDA_STATS_STORAGE_CHECKS_H
#define VIRDA_TOOLS_VIRDA_STATS_STORAGE_CHECKS_H

// Checks that a dataset's stored data lie inside its file: MPI-IO reads past
// the end of a file as zeros, without an error.

#include <hdf5.h>

#include <string>

namespace virda_stats {

/// The real size of `path` in bytes. Local; throws tool_error.
unsigned long long file_size_of(const std::string& path);

/// Checks that the stored data of rows [first, first + count) of `dataset`
/// (indices of dimension `row_axis`; the extents before it are 1) lie inside
/// the file, whose real size is `file_size` bytes: a file cut
/// short (truncated inside the data, its end-of-file field patched so that
/// it still opens) must not read as zeros. Contiguous data: the whole extent;
/// chunked data: every allocated chunk that holds some of the rows (looked up
/// by its coordinates); compact data live in the object header, which has
/// been read already. Local; throws tool_error.
void check_storage_in_file(hid_t file, hid_t dataset, const std::string& name, const std::string& path,
                           unsigned long long file_size, int row_axis, hsize_t first, hsize_t count);

} // namespace virda_stats

#endif
