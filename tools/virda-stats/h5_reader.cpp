#include "h5_reader.h"

#include "collective_error.h"
#include "h5_rows.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
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

} // namespace

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
    return shape;
}

template <typename T>
va<T> h5_input::read(const dataset_shape& shape) const
{
    if (h5_element<T>::components != shape.components) {
        throw tool_error("dataset " + quoted(shape.name) + " cannot be held as this element type");
    }
    // Collective (window creation); every rank gets here with the same shape.
    va<T> data({static_cast<int>(shape.rows)}, comm_);

    h5_handle dataset;
    row_selection rows;
    h5_handle transfer;
    together(comm_, [&] {
        dataset = h5_dataset_handle(H5Dopen2(file_.get(), shape.name.c_str(), H5P_DEFAULT));
        if (dataset.valid()) {
            rows = select_own_rows(dataset.get(), data);
        }
        transfer = collective_transfer();
        if (!dataset.valid() || !rows.file_space.valid() || !transfer.valid()) {
            throw tool_error("cannot select the rows of dataset " + quoted(shape.name) + " in " + path_);
        }
    });

    // Every rank joins the collective read, with or without rows. A rank
    // without rows still needs a buffer address.
    T spare{};
    T* block = rows.any ? data.va_local_data() : &spare;
    const herr_t status = H5Dread(dataset.get(), h5_element<T>::type(), rows.memory_space.get(),
                                  rows.file_space.get(), transfer.get(), block);
    together(comm_, [&] {
        if (status < 0) {
            throw tool_error("reading dataset " + quoted(shape.name) + " from " + path_ + " failed");
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
