#include "h5_reader.h"

#include "collective_error.h"
#include "h5_error.h"
#include "h5_rows.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <type_traits>

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
    case H5T_TIME:
        return "values of HDF5's time type, which has no conversion to numbers";
    default:
        return "values of an unknown type";
    }
}

/// Sets the held kind and the stored name of a number type; false for a type
/// the tool does not read. HDF5 converts any integer or float layout (byte
/// order, width, extended precision) to the native held type while reading.
bool classify(hid_t type, dataset_shape& shape)
{
    const std::size_t bytes = H5Tget_size(type);
    const std::size_t bits = bytes * 8;
    switch (H5Tget_class(type)) {
    case H5T_FLOAT:
        if (bytes == 0) {
            return false;
        }
        shape.stored = "float" + std::to_string(bits);
        if (H5Tget_precision(type) < bits) {
            // x87 extended precision: 80 bits in 16 bytes.
            shape.stored += " (" + std::to_string(H5Tget_precision(type)) + " bits used)";
        }
        // Half and single precision fit a float; wider ones need a double.
        shape.kind = bytes <= 4 ? element_kind::float32 : element_kind::float64;
        return true;
    case H5T_INTEGER: {
        const bool is_signed = H5Tget_sign(type) == H5T_SGN_2;
        if (bytes == 0) {
            return false;
        }
        shape.stored = (is_signed ? "int" : "uint") + std::to_string(bits);
        // int holds every value of 8-, 16- and 32-bit signed and of 8- and
        // 16-bit unsigned integers; the others go to double, exact up to 2^53.
        const bool fits_int = is_signed ? bytes <= 4 : bytes <= 2;
        shape.kind = fits_int ? element_kind::int32 : element_kind::float64;
        shape.wide_integers = H5Tget_precision(type) > 53;
        return true;
    }
    case H5T_ENUM: {
        // Read as the integers the names stand for (HDF5 converts them).
        const h5_handle base = h5_type_handle(H5Tget_super(type));
        if (!base.valid() || H5Tget_class(base.get()) != H5T_INTEGER || !classify(base.get(), shape)) {
            return false;
        }
        shape.stored = "enum of " + shape.stored;
        return true;
    }
    case H5T_BITFIELD:
        if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) {
            return false;
        }
        shape.stored = "bitfield" + std::to_string(bits);
        shape.kind = bytes <= 2 ? element_kind::int32 : element_kind::float64;
        shape.wide_integers = bytes == 8;
        shape.bitfield_bytes = static_cast<int>(bytes);
        return true;
    default:
        return false;
    }
}

/// The native bit-field type of `bytes` bytes.
hid_t bitfield_type(int bytes)
{
    switch (bytes) {
    case 1:
        return H5T_NATIVE_B8;
    case 2:
        return H5T_NATIVE_B16;
    case 4:
        return H5T_NATIVE_B32;
    default:
        return H5T_NATIVE_B64;
    }
}

/// Turns `count` bit fields of `bytes` bytes each, read packed at the start
/// of `values`, into the unsigned numbers they hold, in place. Each element
/// of T is at least as wide as a field, so walking from the last one down
/// never overwrites a field not yet taken.
template <typename T>
void widen_bitfields(T* values, std::size_t count, int bytes)
{
    auto* raw = reinterpret_cast<unsigned char*>(values);
    for (std::size_t i = count; i-- > 0;) {
        std::uint64_t bits = 0;
        switch (bytes) {
        case 1:
            bits = raw[i];
            break;
        case 2: {
            std::uint16_t v;
            std::memcpy(&v, raw + i * 2, 2);
            bits = v;
            break;
        }
        case 4: {
            std::uint32_t v;
            std::memcpy(&v, raw + i * 4, 4);
            bits = v;
            break;
        }
        default:
            std::memcpy(&bits, raw + i * 8, 8);
        }
        values[i] = static_cast<T>(bits);
    }
}

/// The number of values of magnitude 2^53 or more among `count` doubles,
/// summed over `comm` (collective): read from integers, they may have been
/// rounded (2^53 + 1 reads as 2^53).
long long count_beyond_exact(const double* values, std::size_t count, MPI_Comm comm)
{
    constexpr double exact_limit = 9007199254740992.0; // 2^53
    long long beyond = 0;
    for (std::size_t i = 0; i < count; ++i) {
        beyond += std::fabs(values[i]) >= exact_limit ? 1 : 0;
    }
    MPI_Allreduce(MPI_IN_PLACE, &beyond, 1, MPI_LONG_LONG, MPI_SUM, comm);
    return beyond;
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
    if (shape.column < 0 && shape.components == 2) {
        return "Vector2";
    }
    if (shape.column < 0 && shape.components == 3) {
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

void select_column(dataset_shape& shape, int column, const std::string& file)
{
    const std::string where = "dataset '" + shape.name + "' in " + file;
    if (shape.scalar) {
        throw tool_error(where + " holds a single value; --column picks a column of a table of shape (n, k)");
    }
    if (shape.columns == 0) {
        throw tool_error(where + " is one-dimensional; --column picks a column of a table of shape (n, k)");
    }
    if (column < 0 || column >= shape.columns) {
        throw tool_error(where + " has " + std::to_string(shape.columns) + " columns: --column must be 0 to " +
                         std::to_string(shape.columns - 1) + ", not " + std::to_string(column));
    }
    shape.column = column;
}

h5_input::h5_input(const std::string& path, MPI_Comm comm) : path_(path), comm_(comm)
{
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
    const std::string accepted = "; virda-stats reads integers and floats of any width, in one-dimensional "
                                 "datasets or tables of shape (n, k)";
    if (!classify(type.get(), shape)) {
        throw tool_error("dataset " + quoted(name) + where + " holds " + describe_type(type.get()) + accepted);
    }

    const H5S_class_t space_class = H5Sget_simple_extent_type(space.get());
    if (space_class == H5S_SCALAR) {
        // summary reports it as one row; the other operations refuse it.
        shape.scalar = true;
        shape.rows = 1;
        check_storage_in_file(file_.get(), dataset.get(), name, path_, file_size_of(path_), 0, 0);
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
    if (ndims > 2) {
        throw tool_error("dataset " + quoted(name) + where + " has shape " + shape_text(dims, ndims) + accepted);
    }
    if (ndims == 2) {
        if (dims[1] == 0) {
            throw tool_error("dataset " + quoted(name) + where + " of shape " + shape_text(dims, ndims) +
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
    // The distributed arrays count their elements in int.
    if (dims[0] > static_cast<hsize_t>(INT_MAX)) {
        throw tool_error("dataset " + quoted(name) + where + " has " + std::to_string(dims[0]) +
                         " rows, more than a distributed array can hold (" + std::to_string(INT_MAX) + ")");
    }
    shape.rows = static_cast<long long>(dims[0]);
    // Contiguous data can be checked whole here, before anything is read;
    // chunks are checked by each rank for its own rows in read_block().
    check_storage_in_file(file_.get(), dataset.get(), name, path_, file_size_of(path_), 0, 0);
    return shape;
}

void h5_input::read_block(const dataset_shape& shape, hid_t memory_type, hsize_t first, hsize_t count,
                          hsize_t first_column, hsize_t width, void* buffer) const
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
        // One hyperslab: the rank's rows, and the chosen columns of a table.
        file_space = h5_space_handle(H5Dget_space(dataset.get()));
        const hsize_t values = count > 0 ? count * width : 1;
        memory_space = h5_space_handle(H5Screate_simple(1, &values, nullptr));
        transfer = independent_transfer();
        bool selected = file_space.valid() && memory_space.valid() && transfer.valid();
        if (selected && count == 0) {
            selected = H5Sselect_none(file_space.get()) >= 0 && H5Sselect_none(memory_space.get()) >= 0;
        } else if (selected && shape.scalar) {
            selected = H5Sselect_all(file_space.get()) >= 0; // the one value
        } else if (selected) {
            const hsize_t start[2] = {first, first_column};
            const hsize_t block[2] = {count, width};
            selected = H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start, nullptr, block, nullptr) >= 0;
        }
        if (!selected) {
            throw tool_error("cannot select the rows of dataset " + quoted(shape.name) + " in " + path_ +
                             h5_error_suffix());
        }
        // Every rank makes sure that the file really holds its rows: MPI-IO
        // reads past the end of a file as zeros without an error.
        check_storage_in_file(file_.get(), dataset.get(), shape.name, path_, file_size_of(path_), first, count);
    });

    // Each rank reads its own rows with an independent transfer: a rank whose
    // read fails returns on its own, without leaving another rank inside a
    // collective HDF5 call, and the outcome is then settled together. A rank
    // without rows reads nothing. HDF5's reason is taken at once, before any
    // other HDF5 call clears it.
    std::string failure;
    if (count > 0 &&
        H5Dread(dataset.get(), memory_type, memory_space.get(), file_space.get(), transfer.get(), buffer) < 0) {
        failure = "reading dataset " + quoted(shape.name) + " from " + path_ + " failed" + h5_error_suffix();
    }
    agree_or_throw(comm_, failure);
}

template <typename T>
va<T> h5_input::read(const dataset_shape& shape, long long* beyond_exact) const
{
    const bool vectors = h5_element<T>::components > 1;
    if (vectors ? (h5_element<T>::components != shape.components || shape.column >= 0)
                : (whole_table(shape))) {
        throw tool_error("dataset " + quoted(shape.name) + " cannot be held as this element type");
    }
    // A dataset that clearly cannot be held is refused before any rank tries.
    together(comm_, [&] { check_memory_for(shape, sizeof(T), comm_); });
    // Collective (window creation); every rank gets here with the same shape.
    va<T> data({static_cast<int>(shape.rows)}, comm_);
    // An array whose block could not be allocated is a placeholder.
    require_allocated(data, shape.rows, shape.name, comm_);

    int rank = 0;
    MPI_Comm_rank(comm_, &rank);
    int first = 0;
    int last = -1;
    data.va_distribution_index(rank, &first, &last);
    const hsize_t count = last >= first ? static_cast<hsize_t>(last - first + 1) : 0;
    const hsize_t first_column = shape.column >= 0 ? static_cast<hsize_t>(shape.column) : 0;
    const hsize_t width = static_cast<hsize_t>(h5_element<T>::components);
    if constexpr (std::is_same_v<T, double> || std::is_same_v<T, int>) {
        if (shape.bitfield_bytes > 0) {
            read_block(shape, bitfield_type(shape.bitfield_bytes), static_cast<hsize_t>(first), count, first_column,
                       width, data.va_local_data());
            widen_bitfields(data.va_local_data(), count, shape.bitfield_bytes);
        } else {
            read_block(shape, h5_element<T>::type(), static_cast<hsize_t>(first), count, first_column, width,
                       data.va_local_data());
        }
    } else {
        read_block(shape, h5_element<T>::type(), static_cast<hsize_t>(first), count, first_column, width,
                   data.va_local_data());
    }
    if constexpr (std::is_same_v<T, double>) {
        if (shape.wide_integers) {
            const long long beyond = count_beyond_exact(data.va_local_data(), count, comm_);
            if (beyond_exact != nullptr) {
                *beyond_exact = beyond;
            }
        }
    }
    data.va_sync();
    return data;
}

template <typename T>
void h5_input::read_rows(const dataset_shape& shape, long long first, long long count, T* block,
                         long long* beyond_exact) const
{
    const hsize_t width = static_cast<hsize_t>(shape.columns > 0 ? shape.columns : 1);
    const std::size_t values = static_cast<std::size_t>(count) * static_cast<std::size_t>(width);
    if (shape.bitfield_bytes > 0 && !std::is_same_v<T, float>) {
        read_block(shape, bitfield_type(shape.bitfield_bytes), static_cast<hsize_t>(first),
                   static_cast<hsize_t>(count), 0, width, block);
        widen_bitfields(block, values, shape.bitfield_bytes);
    } else {
        read_block(shape, h5_element<T>::type(), static_cast<hsize_t>(first), static_cast<hsize_t>(count), 0, width,
                   block);
    }
    if constexpr (std::is_same_v<T, double>) {
        if (shape.wide_integers) {
            const long long beyond = count_beyond_exact(block, values, comm_);
            if (beyond_exact != nullptr) {
                *beyond_exact = beyond;
            }
        }
    }
}

template va<double> h5_input::read<double>(const dataset_shape&, long long*) const;
template va<float> h5_input::read<float>(const dataset_shape&, long long*) const;
template va<int> h5_input::read<int>(const dataset_shape&, long long*) const;
template va<Vector2> h5_input::read<Vector2>(const dataset_shape&, long long*) const;
template va<Vector3> h5_input::read<Vector3>(const dataset_shape&, long long*) const;
template void h5_input::read_rows<double>(const dataset_shape&, long long, long long, double*, long long*) const;
template void h5_input::read_rows<float>(const dataset_shape&, long long, long long, float*, long long*) const;
template void h5_input::read_rows<int>(const dataset_shape&, long long, long long, int*, long long*) const;

} // namespace virda_stats
