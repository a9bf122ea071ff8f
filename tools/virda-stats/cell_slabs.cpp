#include "cell_slabs.h"

#include "h5_handle.h"

#include <algorithm>

namespace virda_stats {

cell_layout layout_for(const dataset_shape& s, const std::vector<int>& reduced)
{
    cell_layout out;
    const int n = static_cast<int>(s.dims.size());
    const auto is_reduced = [&](int d) { return std::find(reduced.begin(), reduced.end(), d) != reduced.end(); };
    bool inner_reduced = false;
    for (int d = s.row_axis + 1; d < n; ++d) {
        if (is_reduced(d)) {
            out.inner_reduced *= s.dims[static_cast<std::size_t>(d)];
            inner_reduced = inner_reduced || s.dims[static_cast<std::size_t>(d)] > 1;
        } else {
            out.cells *= s.dims[static_cast<std::size_t>(d)];
        }
    }
    if (!inner_reduced) {
        return out;
    }
    out.dest.resize(static_cast<std::size_t>(s.row_values));
    std::vector<long long> index(static_cast<std::size_t>(n), 0);
    for (std::int64_t j = 0; j < s.row_values; ++j) {
        std::int64_t r = 0;
        std::int64_t c = 0;
        for (int d = s.row_axis + 1; d < n; ++d) {
            const long long extent = s.dims[static_cast<std::size_t>(d)];
            if (is_reduced(d)) {
                r = r * extent + index[static_cast<std::size_t>(d)];
            } else {
                c = c * extent + index[static_cast<std::size_t>(d)];
            }
        }
        out.dest[static_cast<std::size_t>(j)] = r * out.cells + c;
        for (int d = n - 1; d > s.row_axis; --d) {
            if (++index[static_cast<std::size_t>(d)] < s.dims[static_cast<std::size_t>(d)]) {
                break;
            }
            index[static_cast<std::size_t>(d)] = 0;
        }
    }
    return out;
}

namespace {

/// Bytes of a slab beyond which larger slabs read no faster: the memory a
/// slab takes is touched once per pass, and fresh pages cost more than the
/// extra reads.
constexpr std::size_t enough_slab_bytes = std::size_t{32} << 20;

} // namespace

long long enough_rows(const h5_input& in, const dataset_shape& s, std::size_t row_bytes)
{
    long long chunk_rows = 1;
    const h5_handle dataset = h5_dataset_handle(H5Dopen2(in.id(), s.name.c_str(), H5P_DEFAULT));
    if (dataset.valid()) {
        const h5_handle create = h5_plist_handle(H5Dget_create_plist(dataset.get()));
        hsize_t chunk[H5S_MAX_RANK] = {};
        const int n = static_cast<int>(s.dims.size());
        if (create.valid() && H5Pget_layout(create.get()) == H5D_CHUNKED && n <= H5S_MAX_RANK &&
            H5Pget_chunk(create.get(), n, chunk) == n && chunk[s.row_axis] > 0) {
            chunk_rows = static_cast<long long>(chunk[s.row_axis]);
        }
    }
    const long long rows = static_cast<long long>(enough_slab_bytes / std::max<std::size_t>(row_bytes, 1));
    return std::max(chunk_rows, rows / chunk_rows * chunk_rows);
}

} // namespace virda_stats
