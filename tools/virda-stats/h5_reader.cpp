#include "h5_reader.h"

#include "collective_error.h"
#include "filter_plugins.h"
#include "h5_error.h"
#include "bit_fields.h"
#include "grid_or_table.h"
#include "h5_rows.h"
#include "memory_check.h"
#include "storage_checks.h"
#include "wide_integers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <type_traits>
#include <vector>

namespace virda_stats {

namespace {

std::string quoted(const std::string& s)
{
    return "'" + s + "'";
}

/// Whether every group on the way to `name` and the last link exist ("/" is
/// the root group, which always does). H5Lexists fails (rather than answering
/// no) for a path through a missing group, so each prefix is asked in turn.
bool link_exists(hid_t file, const std::string& name)
{
    std::istringstream parts(name);
    std::string part;
    std::string path;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) {
            continue;
        }
        path += "/" + part;
        if (H5Lexists(file, path.c_str(), H5P_DEFAULT) <= 0) {
            return false;
        }
    }
    return true;
}

} // namespace

h5_input::h5_input(const std::string& path, MPI_Comm comm) : path_(path), comm_(comm)
{
    enable_filter_plugins();
    together(comm_, [&] {
        if (::access(path_.c_str(), R_OK) != 0) {
            throw tool_error("cannot read " + path_ + ": " + std::strerror(errno));
        }
        // MPI-IO would open it and fail on the first read, with a message
        // of several lines.
        struct stat info {};
        if (::stat(path_.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            throw tool_error("cannot read " + path_ + ": it is a directory, not an HDF5 file");
        }
    });
    // Collective open; a file that is not HDF5 fails on every rank alike.
    together(comm_, [&] {
        const h5_handle access = mpio_file_access(comm_);
        file_ = h5_file_handle(H5Fopen(path_.c_str(), H5F_ACC_RDONLY, access.get()));
        if (!file_.valid()) {
            throw tool_error(path_ + " is not an HDF5 file that can be opened" + h5_error_suffix());
        }
    });
}

dataset_shape h5_input::inspect(const std::string& name, const reading_options& reading) const
{
    const std::string where = " in " + path_;
    if (name.empty() || !link_exists(file_.get(), name)) {
        throw tool_error("no dataset " + quoted(name) + where);
    }
    if (H5Oexists_by_name(file_.get(), name.c_str(), H5P_DEFAULT) <= 0) {
        throw tool_error(quoted(name) + where + " is a dangling link, not a dataset");
    }
    {
        const h5_handle object(H5Oopen(file_.get(), name.c_str(), H5P_DEFAULT), H5Oclose);
        if (!object.valid()) {
            throw tool_error("cannot open " + quoted(name) + where + h5_error_suffix());
        }
        if (H5Iget_type(object.get()) != H5I_DATASET) {
            throw tool_error(quoted(name) + where + " is not a dataset (a group or a named type)");
        }
    }

    h5_handle dataset = h5_dataset_handle(H5Dopen2(file_.get(), name.c_str(), H5P_DEFAULT));
    if (!dataset.valid()) {
        throw tool_error("cannot open dataset " + quoted(name) + where + h5_error_suffix());
    }
    const h5_handle type = h5_type_handle(H5Dget_type(dataset.get()));
    const h5_handle space = h5_space_handle(H5Dget_space(dataset.get()));
    if (!type.valid() || !space.valid()) {
        throw tool_error("cannot open dataset " + quoted(name) + where);
    }

    dataset_shape shape;
    shape.name = name;
    const std::string accepted = "; virda-stats reads integers and floats of any width, in datasets of any "
                                 "number of dimensions";
    if (!classify(type.get(), shape)) {
        throw tool_error("dataset " + quoted(name) + where + " holds " + describe_type(type.get()) + accepted);
    }
    if (!reading.raw) {
        shape.rules = read_value_rules(dataset.get(), shape.kind, name, path_);
    }
    shape.rules.skip_nan = reading.skip_nan;

    const H5S_class_t space_class = H5Sget_simple_extent_type(space.get());
    if (space_class == H5S_SCALAR) {
        // summary reports it as one row; the other operations refuse it.
        shape.scalar = true;
        shape.rows = 1;
        check_storage_in_file(file_.get(), dataset.get(), name, path_, file_size_of(path_), 0, 0, 0);
        return shape;
    }
    if (space_class != H5S_SIMPLE) {
        throw tool_error("dataset " + quoted(name) + where + " is empty (null dataspace)");
    }
    const int ndims = H5Sget_simple_extent_ndims(space.get());
    hsize_t dims[H5S_MAX_RANK] = {};
    if (ndims < 1 || H5Sget_simple_extent_dims(space.get(), dims, nullptr) < 0) {
        throw tool_error("cannot read the shape of dataset " + quoted(name) + where);
    }
    shape.dims.assign(dims, dims + ndims);
    shape.rows = static_cast<long long>(dims[0]);
    if (ndims >= 2) {
        choose_layout(dataset.get(), shape, reading, where);
    }
    if (shape.layout == layout_kind::table) {
        if (dims[1] == 0) {
            throw tool_error("dataset " + quoted(name) + where + " of shape " + shape_text(shape.dims) +
                             " has no columns");
        }
        if (dims[1] > static_cast<hsize_t>(INT_MAX)) {
            throw tool_error("dataset " + quoted(name) + where + " has " + std::to_string(dims[1]) +
                             " columns, more than virda-stats handles (" + std::to_string(INT_MAX) + ")");
        }
        shape.columns = static_cast<int>(dims[1]);
        // Floats of width 2 or 3 are positions or velocities: vectors.
        const bool floats = H5Tget_class(type.get()) == H5T_FLOAT;
        shape.components = floats && (dims[1] == 2 || dims[1] == 3) ? static_cast<int>(dims[1]) : 1;
    }
    if (shape.layout == layout_kind::grid) {
        long double values = 1;
        for (int d = 1; d < ndims; ++d) {
            values *= static_cast<long double>(dims[d]);
        }
        if (values == 0) {
            throw tool_error("dataset " + quoted(name) + where + " of shape " + shape_text(shape.dims) +
                             " has no values in its rows");
        }
        // Leading extents of 1 would put every value in one row, held by one
        // rank: the rows are those of the first dimension of more than one
        // index (or the last dimension).
        int axis = 0;
        while (axis + 1 < ndims && dims[axis] == 1) {
            ++axis;
        }
        long long row_values = 1;
        for (int d = axis + 1; d < ndims; ++d) {
            row_values *= static_cast<long long>(dims[d]);
        }
        shape.row_axis = axis;
        shape.rows = static_cast<long long>(dims[axis]);
        shape.row_values = row_values;
    }
    // Contiguous data can be checked whole here, before anything is read;
    // chunks are checked by each rank for its own rows in read_block().
    check_storage_in_file(file_.get(), dataset.get(), name, path_, file_size_of(path_), 0, 0, 0);
    return shape;
}

void h5_input::read_block(const dataset_shape& shape, hid_t memory_type, hsize_t first, hsize_t count, int column,
                          void* buffer) const
{
    h5_handle dataset;
    h5_handle file_space;
    h5_handle memory_space;
    h5_handle transfer;
    together(comm_, [&] {
        dataset = h5_dataset_handle(H5Dopen2(file_.get(), shape.name.c_str(), H5P_DEFAULT));
        if (!dataset.valid()) {
            throw tool_error("cannot open dataset " + quoted(shape.name) + " in " + path_ + h5_error_suffix());
        }
        // One hyperslab: the rank's rows (indices of the row axis; the
        // extents before it are 1), and of each row the chosen column of a
        // table or every value.
        const std::size_t ndims = std::max<std::size_t>(shape.dims.size(), 1);
        const std::size_t axis = static_cast<std::size_t>(shape.row_axis);
        std::vector<hsize_t> start(ndims, 0);
        std::vector<hsize_t> block(ndims, 1);
        for (std::size_t d = 0; d < shape.dims.size(); ++d) {
            block[d] = static_cast<hsize_t>(shape.dims[d]);
        }
        start[axis] = first;
        block[axis] = count;
        if (column >= 0) {
            start[1] = static_cast<hsize_t>(column);
            block[1] = 1;
        }
        // The memory space has the selection's own shape: HDF5 then maps
        // the selection onto the chunks a chunk at a time. Against a flat
        // memory space of the same number of values it maps value by value
        // (an unstored chunk of fill values took 50 ns a value).
        std::vector<hsize_t> memory_dims = block;
        for (hsize_t& d : memory_dims) {
            d = d > 0 ? d : 1;
        }
        file_space = h5_space_handle(H5Dget_space(dataset.get()));
        memory_space = h5_space_handle(H5Screate_simple(static_cast<int>(ndims), memory_dims.data(), nullptr));
        transfer = independent_transfer();
        bool selected = file_space.valid() && memory_space.valid() && transfer.valid();
        if (selected && count == 0) {
            selected = H5Sselect_none(file_space.get()) >= 0 && H5Sselect_none(memory_space.get()) >= 0;
        } else if (selected && shape.scalar) {
            selected = H5Sselect_all(file_space.get()) >= 0; // the one value
        } else if (selected) {
            selected = H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr, block.data(),
                                           nullptr) >= 0;
        }
        if (!selected) {
            throw tool_error("cannot select the rows of dataset " + quoted(shape.name) + " in " + path_ +
                             h5_error_suffix());
        }
        // Every rank makes sure that the file really holds its rows: MPI-IO
        // reads past the end of a file as zeros without an error.
        check_storage_in_file(file_.get(), dataset.get(), shape.name, path_, file_size_of(path_), shape.row_axis, first,
                              count);
    });

    // Each rank reads its own rows with an independent transfer: a rank whose
    // read fails returns on its own, without leaving another rank inside a
    // collective HDF5 call, and the outcome is then settled together. A rank
    // without rows reads nothing. HDF5's reason is taken at once, before any
    // other HDF5 call clears it; then what to install for a filter that
    // could not be loaded.
    std::string failure;
    if (count > 0 &&
        H5Dread(dataset.get(), memory_type, memory_space.get(), file_space.get(), transfer.get(), buffer) < 0) {
        failure = "reading dataset " + quoted(shape.name) + " from " + path_ + " failed" + h5_error_suffix();
        failure += missing_filter_advice(dataset.get());
    }
    agree_or_throw(comm_, failure);
}

template <typename T>
void h5_input::read_values(const dataset_shape& shape, hsize_t first, hsize_t count, int column, T* block,
                           long long* beyond_exact) const
{
    // Bit fields are held in int or double (never float, never vectors).
    constexpr bool bitfield_holder = std::is_same_v<T, double> || std::is_same_v<T, int>;
    const bool bits = bitfield_holder && shape.bitfield_bytes > 0;
    read_block(shape, bits ? bitfield_type(shape.bitfield_bytes) : h5_element<T>::type(), first, count, column, block);
    // Values per row: one column, or every value of a row of the dataset.
    const std::size_t per_row = column >= 0 ? 1
                                : shape.layout == layout_kind::grid
                                    ? static_cast<std::size_t>(shape.row_values)
                                    : static_cast<std::size_t>(std::max(shape.columns, 1));
    const std::size_t elements = static_cast<std::size_t>(count) * per_row / h5_element<T>::components;
    if constexpr (bitfield_holder) {
        if (bits) {
            widen_bitfields(block, elements, shape.bitfield_bytes);
        }
    }
    if constexpr (std::is_same_v<T, double>) {
        if (shape.wide_integers) {
            const long long beyond = count_beyond_exact(block, elements, comm_);
            if (beyond_exact != nullptr) {
                *beyond_exact = beyond;
            }
        }
    }
}

template <typename T>
void h5_input::read_slab(const dataset_shape& shape, long long first, long long count, T* block,
                         long long* beyond_exact) const
{
    read_values(shape, static_cast<hsize_t>(first), static_cast<hsize_t>(count), shape.column, block, beyond_exact);
}

void h5_input::read_slab_as(const dataset_shape& shape, virda::engine::number_type type, long long first,
                            long long count, void* block) const
{
    using virda::engine::number_type;
    hid_t memory_type = H5T_NATIVE_DOUBLE;
    switch (type) {
    case number_type::float64: memory_type = H5T_NATIVE_DOUBLE; break;
    case number_type::float32: memory_type = H5T_NATIVE_FLOAT; break;
    case number_type::int8: memory_type = H5T_NATIVE_INT8; break;
    case number_type::int16: memory_type = H5T_NATIVE_INT16; break;
    case number_type::int32: memory_type = H5T_NATIVE_INT32; break;
    case number_type::int64: memory_type = H5T_NATIVE_INT64; break;
    case number_type::uint8: memory_type = H5T_NATIVE_UINT8; break;
    case number_type::uint16: memory_type = H5T_NATIVE_UINT16; break;
    case number_type::uint32: memory_type = H5T_NATIVE_UINT32; break;
    case number_type::uint64: memory_type = H5T_NATIVE_UINT64; break;
    }
    read_block(shape, memory_type, static_cast<hsize_t>(first), static_cast<hsize_t>(count), shape.column, block);
}

#define VIRDA_STATS_INSTANTIATE_ROWS(T) \
    template void h5_input::read_slab<T>(const dataset_shape&, long long, long long, T*, long long*) const;
VIRDA_STATS_FOR_EACH_NUMBER_TYPE(VIRDA_STATS_INSTANTIATE_ROWS)
#undef VIRDA_STATS_INSTANTIATE_ROWS

} // namespace virda_stats
