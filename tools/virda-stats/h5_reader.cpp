#include "h5_reader.h"

#include "collective_error.h"
#include "h5_rows.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

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

std::string describe_type(hid_t type)
{
    const std::size_t bits = H5Tget_size(type) * 8;
    switch (H5Tget_class(type)) {
    case H5T_INTEGER:
        return std::to_string(bits) + "-bit " + (H5Tget_sign(type) == H5T_SGN_NONE ? "unsigned " : "") +
               "integers";
    case H5T_FLOAT:
        return std::to_string(bits) + "-bit floats";
    case H5T_STRING:
        return "strings";
    case H5T_COMPOUND:
        return "compound records";
    case H5T_ENUM:
        return "enumerated values";
    case H5T_ARRAY:
        return "arrays";
    case H5T_BITFIELD:
        return "bit fields";
    case H5T_OPAQUE:
        return "opaque data";
    case H5T_REFERENCE:
        return "references";
    case H5T_VLEN:
        return "variable-length sequences";
    default:
        return "values of an unknown type";
    }
}

/// The element kind of a stored type, or false for one the tool does not read.
bool kind_of(hid_t type, element_kind& kind)
{
    const std::size_t bytes = H5Tget_size(type);
    switch (H5Tget_class(type)) {
    case H5T_FLOAT:
        if (bytes == 8 || bytes == 4) {
            kind = bytes == 8 ? element_kind::float64 : element_kind::float32;
            return true;
        }
        return false;
    case H5T_INTEGER:
        if (bytes == 4 && H5Tget_sign(type) == H5T_SGN_2) {
            kind = element_kind::int32;
            return true;
        }
        return false;
    default:
        return false;
    }
}

std::string shape_text(const hsize_t* dims, int ndims)
{
    std::string s = "(";
    for (int i = 0; i < ndims; ++i) {
        s += (i ? ", " : "") + std::to_string(dims[i]);
    }
    return s + (ndims == 1 ? ",)" : ")");
}

/// The real size of `path` in bytes. Local; throws tool_error.
unsigned long long file_size_of(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        throw tool_error("cannot read " + path + ": " + std::strerror(errno));
    }
    return static_cast<unsigned long long>(info.st_size);
}

/// Checks that the stored data of rows [first, first + count) of `dataset`
/// lie inside the file, whose real size is `file_size` bytes: a file cut
/// short (truncated inside the data, its end-of-file field patched so that
/// it still opens) must not read as zeros. Contiguous data: the whole extent;
/// chunked data: every allocated chunk that holds some of the rows (looked up
/// by its coordinates); compact data live in the object header, which has
/// been read already. Local; throws tool_error.
void check_storage_in_file(hid_t file, hid_t dataset, const std::string& name, const std::string& path,
                           unsigned long long file_size, hsize_t first, hsize_t count)
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
                          " has only " + std::to_string(file_size) +
                          " bytes (the file was truncated or is damaged)");
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
        hsize_t dims[2] = {0, 1};
        hsize_t chunk[2] = {1, 1};
        if (ndims < 1 || ndims > 2 || H5Sget_simple_extent_dims(space.get(), dims, nullptr) < 0 ||
            H5Pget_chunk(create.get(), ndims, chunk) != ndims || chunk[0] == 0 || chunk[ndims - 1] == 0) {
            throw tool_error("cannot read the chunk layout of " + where);
        }
        const hsize_t columns = ndims == 2 ? dims[1] : 1;
        const hsize_t column_step = ndims == 2 ? chunk[1] : 1;
        for (hsize_t row = first / chunk[0] * chunk[0]; row < first + count; row += chunk[0]) {
            for (hsize_t column = 0; column < columns; column += column_step) {
                const hsize_t coords[2] = {row, column};
                unsigned filters = 0;
                haddr_t address = HADDR_UNDEF;
                hsize_t bytes = 0;
                if (H5Dget_chunk_info_by_coord(dataset, coords, &filters, &address, &bytes) < 0) {
                    throw tool_error("cannot read the chunk index of " + where +
                                     " (the file may be damaged or cut short)");
                }
                if (address == HADDR_UNDEF) {
                    continue; // not written: the fill value
                }
                const unsigned long long end = user_block + static_cast<unsigned long long>(address) + bytes;
                if (end > file_size) {
                    throw beyond(end);
                }
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

/// The machine's memory and swap, in bytes; 0 when unknown. Local.
unsigned long long machine_bytes()
{
    struct sysinfo machine {};
    if (::sysinfo(&machine) != 0) {
        return 0;
    }
    return (static_cast<unsigned long long>(machine.totalram) + machine.totalswap) * machine.mem_unit;
}

/// The most bytes this process may still allocate under its own limits
/// (address space and data segment, less what it already uses); ULLONG_MAX
/// when it has none. Local.
unsigned long long limit_bytes()
{
    unsigned long long room = ULLONG_MAX;
    unsigned long long used = 0;
    {
        std::ifstream statm("/proc/self/statm");
        unsigned long long pages = 0;
        if (statm >> pages) {
            used = pages * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
        }
    }
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit limit {};
        if (::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            const unsigned long long cap = static_cast<unsigned long long>(limit.rlim_cur);
            room = std::min(room, cap > used ? cap - used : 0ULL);
        }
    }
    return room;
}

} // namespace

void check_memory_for(const dataset_shape& shape, std::size_t element_bytes, MPI_Comm comm)
{
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    // The ranks on this machine share its memory (collective, before any
    // rank can fail).
    MPI_Comm node = MPI_COMM_NULL;
    int node_ranks = 1;
    if (MPI_Comm_split_type(comm, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node) == MPI_SUCCESS &&
        node != MPI_COMM_NULL) {
        MPI_Comm_size(node, &node_ranks);
        MPI_Comm_free(&node);
    }
    const unsigned long long rows_per_rank =
        (static_cast<unsigned long long>(shape.rows) + static_cast<unsigned long long>(ranks) - 1) /
        static_cast<unsigned long long>(ranks);
    const unsigned long long need = rows_per_rank * element_bytes;
    const std::string what = "dataset '" + shape.name + "' does not fit in memory: " + std::to_string(shape.rows) +
                             " rows of " + std::to_string(element_bytes) + " bytes need " + std::to_string(need) +
                             " bytes on each of " + std::to_string(ranks) + " ranks";
    const unsigned long long limit = limit_bytes();
    if (need > limit) {
        throw tool_error(what + ", and a rank may allocate at most " + std::to_string(limit) +
                         " more (use more ranks or allow more memory)");
    }
    const unsigned long long machine = machine_bytes();
    if (machine > 0 && need > machine / static_cast<unsigned long long>(node_ranks)) {
        throw tool_error(what + ", and the " + std::to_string(node_ranks) + " ranks on this machine share " +
                         std::to_string(machine) + " bytes of memory and swap (use more machines)");
    }
}

template <typename T>
void require_allocated(const va<T>& data, long long rows, const std::string& name, MPI_Comm comm)
{
    together(comm, [&] {
        if (static_cast<long long>(data.va_size()) != rows) {
            throw tool_error("dataset '" + name + "' does not fit in memory: an array of " + std::to_string(rows) +
                             " rows could not be allocated (it holds " + std::to_string(data.va_size()) + ")");
        }
    });
}

template void require_allocated<double>(const va<double>&, long long, const std::string&, MPI_Comm);
template void require_allocated<float>(const va<float>&, long long, const std::string&, MPI_Comm);
template void require_allocated<int>(const va<int>&, long long, const std::string&, MPI_Comm);
template void require_allocated<Vector2>(const va<Vector2>&, long long, const std::string&, MPI_Comm);
template void require_allocated<Vector3>(const va<Vector3>&, long long, const std::string&, MPI_Comm);

std::string held_type(const dataset_shape& shape)
{
    if (shape.components == 2) {
        return "Vector2";
    }
    if (shape.components == 3) {
        return "Vector3";
    }
    switch (shape.kind) {
    case element_kind::float64:
        return "double";
    case element_kind::float32:
        return "float";
    case element_kind::int32:
        return "int";
    }
    return "?";
}

h5_input::h5_input(const std::string& path, MPI_Comm comm) : path_(path), comm_(comm)
{
    together(comm_, [&] {
        if (::access(path_.c_str(), R_OK) != 0) {
            throw tool_error("cannot read " + path_ + ": " + std::strerror(errno));
        }
    });
    // Collective open; a file that is not HDF5 fails on every rank alike.
    together(comm_, [&] {
        const h5_handle access = mpio_file_access(comm_);
        file_ = h5_file_handle(H5Fopen(path_.c_str(), H5F_ACC_RDONLY, access.get()));
        if (!file_.valid()) {
            throw tool_error(path_ + " is not an HDF5 file that can be opened");
        }
    });
}

dataset_shape h5_input::inspect(const std::string& name) const
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
        if (!object.valid() || H5Iget_type(object.get()) != H5I_DATASET) {
            throw tool_error(quoted(name) + where + " is not a dataset (a group or a named type)");
        }
    }

    const h5_handle dataset = h5_dataset_handle(H5Dopen2(file_.get(), name.c_str(), H5P_DEFAULT));
    const h5_handle type = h5_type_handle(H5Dget_type(dataset.get()));
    const h5_handle space = h5_space_handle(H5Dget_space(dataset.get()));
    if (!dataset.valid() || !type.valid() || !space.valid()) {
        throw tool_error("cannot open dataset " + quoted(name) + where);
    }

    dataset_shape shape;
    shape.name = name;
    const std::string accepted =
        "; virda-stats reads 64- or 32-bit floats or 32-bit signed integers, one-dimensional, or floats of "
        "shape (n, 2) or (n, 3) as vectors";
    if (!kind_of(type.get(), shape.kind)) {
        throw tool_error("dataset " + quoted(name) + where + " holds " + describe_type(type.get()) + accepted);
    }

    const H5S_class_t space_class = H5Sget_simple_extent_type(space.get());
    if (space_class == H5S_SCALAR) {
        throw tool_error("dataset " + quoted(name) + where + " holds a single value, not rows" + accepted);
    }
    if (space_class != H5S_SIMPLE) {
        throw tool_error("dataset " + quoted(name) + where + " is empty (null dataspace)");
    }
    const int ndims = H5Sget_simple_extent_ndims(space.get());
    hsize_t dims[H5S_MAX_RANK] = {};
    if (ndims < 1 || H5Sget_simple_extent_dims(space.get(), dims, nullptr) < 0) {
        throw tool_error("cannot read the shape of dataset " + quoted(name) + where);
    }
    const bool vector_shape = ndims == 2 && (dims[1] == 2 || dims[1] == 3);
    if (ndims != 1 && !vector_shape) {
        throw tool_error("dataset " + quoted(name) + where + " has shape " + shape_text(dims, ndims) + accepted);
    }
    if (vector_shape && shape.kind == element_kind::int32) {
        throw tool_error("dataset " + quoted(name) + where + " of shape " + shape_text(dims, ndims) +
                         " holds integers; vectors must be stored as floats");
    }
    shape.components = ndims == 1 ? 1 : static_cast<int>(dims[1]);
    if (dims[0] == 0) {
        throw tool_error("dataset " + quoted(name) + where + " has no rows");
    }
    // The distributed arrays count their elements in int.
    if (dims[0] > static_cast<hsize_t>(INT_MAX)) {
        throw tool_error("dataset " + quoted(name) + where + " has " + std::to_string(dims[0]) +
                         " rows, more than a distributed array can hold (" + std::to_string(INT_MAX) + ")");
    }
    shape.rows = static_cast<long long>(dims[0]);
    // Contiguous data can be checked whole here, before anything is read;
    // chunks are checked by each rank for its own rows in read().
    check_storage_in_file(file_.get(), dataset.get(), name, path_, file_size_of(path_), 0, 0);
    return shape;
}

template <typename T>
va<T> h5_input::read(const dataset_shape& shape) const
{
    if (h5_element<T>::components != shape.components) {
        throw tool_error("dataset " + quoted(shape.name) + " cannot be held as this element type");
    }
    // A dataset that clearly cannot be held is refused before any rank tries.
    together(comm_, [&] { check_memory_for(shape, sizeof(T), comm_); });
    // Collective (window creation); every rank gets here with the same shape.
    va<T> data({static_cast<int>(shape.rows)}, comm_);
    // An array whose block could not be allocated is a placeholder.
    require_allocated(data, shape.rows, shape.name, comm_);

    h5_handle dataset;
    row_selection rows;
    h5_handle transfer;
    together(comm_, [&] {
        dataset = h5_dataset_handle(H5Dopen2(file_.get(), shape.name.c_str(), H5P_DEFAULT));
        if (dataset.valid()) {
            rows = select_own_rows(dataset.get(), data);
        }
        transfer = independent_transfer();
        if (!dataset.valid() || !rows.file_space.valid() || !transfer.valid()) {
            throw tool_error("cannot select the rows of dataset " + quoted(shape.name) + " in " + path_);
        }
        // Every rank makes sure that the file really holds its rows: MPI-IO
        // reads past the end of a file as zeros without an error.
        int first = 0;
        int last = -1;
        int rank = 0;
        MPI_Comm_rank(comm_, &rank);
        data.va_distribution_index(rank, &first, &last);
        check_storage_in_file(file_.get(), dataset.get(), shape.name, path_, file_size_of(path_),
                              static_cast<hsize_t>(first), last >= first ? static_cast<hsize_t>(last - first + 1) : 0);
    });

    // Each rank reads its own rows with an independent transfer: a rank whose
    // read fails returns on its own, without leaving another rank inside a
    // collective HDF5 call, and the outcome is then settled together. A rank
    // without rows reads nothing.
    herr_t status = 0;
    if (rows.any) {
        status = H5Dread(dataset.get(), h5_element<T>::type(), rows.memory_space.get(), rows.file_space.get(),
                         transfer.get(), data.va_local_data());
    }
    together(comm_, [&] {
        if (status < 0) {
            throw tool_error("reading dataset " + quoted(shape.name) + " from " + path_ +
                             " failed (the file may be damaged or cut short)");
        }
    });
    data.va_sync();
    return data;
}

template va<double> h5_input::read<double>(const dataset_shape&) const;
template va<float> h5_input::read<float>(const dataset_shape&) const;
template va<int> h5_input::read<int>(const dataset_shape&) const;
template va<Vector2> h5_input::read<Vector2>(const dataset_shape&) const;
template va<Vector3> h5_input::read<Vector3>(const dataset_shape&) const;

} // namespace virda_stats
