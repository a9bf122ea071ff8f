#include "netcdf_attributes.h"

#include "collective_error.h"
#include "h5_handle.h"

#include <algorithm>
#include <set>
#include <vector>

namespace virda_stats {

namespace {

/// Attributes that are not carried over to a statistic or a coordinate:
/// the dimension scales' own bookkeeping, and the rules for missing and
/// packed values, which the unpacked statistics no longer follow.
const std::set<std::string>& not_copied()
{
    static const std::set<std::string> names = {
        "CLASS",        "NAME",         "REFERENCE_LIST", "DIMENSION_LIST", "_Netcdf4Dimid",
        "_Netcdf4Coordinates", "_FillValue", "missing_value", "valid_min",  "valid_max",
        "valid_range",  "scale_factor", "add_offset",     "cell_methods", "_nc3_strict"};
    return names;
}

struct copy_target {
    hid_t to = H5I_INVALID_HID;
    bool failed = false;
};

/// Copies one attribute of numbers or text (variable-length strings
/// included); attributes of other kinds, which netCDF does not have, are
/// left out.
herr_t copy_attribute(hid_t from, const char* name, const H5A_info_t*, void* data)
{
    auto& target = *static_cast<copy_target*>(data);
    if (not_copied().count(name) > 0) {
        return 0;
    }
    const h5_handle attribute(H5Aopen(from, name, H5P_DEFAULT), H5Aclose);
    const h5_handle stored = h5_type_handle(attribute.valid() ? H5Aget_type(attribute.get()) : H5I_INVALID_HID);
    const h5_handle space = h5_space_handle(attribute.valid() ? H5Aget_space(attribute.get()) : H5I_INVALID_HID);
    if (!stored.valid() || !space.valid()) {
        target.failed = true;
        return -1;
    }
    const H5T_class_t kind = H5Tget_class(stored.get());
    if (kind != H5T_STRING && kind != H5T_INTEGER && kind != H5T_FLOAT) {
        return 0; // references, compounds, ...: not netCDF attributes, left out
    }
    const bool text = kind == H5T_STRING;
    const h5_handle memory = h5_type_handle(text ? H5Tcopy(stored.get()) : H5Tget_native_type(stored.get(), H5T_DIR_ASCEND));
    const hssize_t points = H5Sget_simple_extent_npoints(space.get());
    const std::size_t size = memory.valid() ? H5Tget_size(memory.get()) : 0;
    if (points < 0 || size == 0) {
        target.failed = true;
        return -1;
    }
    std::vector<unsigned char> buffer(static_cast<std::size_t>(points) * size + 1);
    if (H5Aread(attribute.get(), memory.get(), buffer.data()) < 0) {
        target.failed = true;
        return -1;
    }
    const h5_handle copy(H5Acreate2(target.to, name, memory.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT),
                         H5Aclose);
    const bool written = copy.valid() && H5Awrite(copy.get(), memory.get(), buffer.data()) >= 0;
    if (text && H5Tis_variable_str(memory.get()) > 0) {
        H5Dvlen_reclaim(memory.get(), space.get(), H5P_DEFAULT, buffer.data());
    }
    if (!written) {
        target.failed = true;
        return -1;
    }
    return 0;
}

} // namespace

void copy_attributes(hid_t from, hid_t to)
{
    copy_target target;
    target.to = to;
    hsize_t at = 0;
    if (H5Aiterate2(from, H5_INDEX_NAME, H5_ITER_NATIVE, &at, copy_attribute, &target) < 0 || target.failed) {
        throw tool_error("copying attributes failed");
    }
}

void write_text_attribute(hid_t to, const char* name, const std::string& value)
{
    const h5_handle type = h5_type_handle(H5Tcopy(H5T_C_S1));
    const h5_handle space = h5_space_handle(H5Screate(H5S_SCALAR));
    if (!type.valid() || !space.valid() || H5Tset_size(type.get(), std::max<std::size_t>(value.size(), 1)) < 0 ||
        H5Tset_strpad(type.get(), H5T_STR_NULLTERM) < 0) {
        throw tool_error(std::string("writing attribute ") + name + " failed");
    }
    if (H5Aexists(to, name) > 0) {
        H5Adelete(to, name);
    }
    const h5_handle attribute(H5Acreate2(to, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    std::string padded = value;
    padded.resize(std::max<std::size_t>(value.size(), 1), '\0');
    if (!attribute.valid() || H5Awrite(attribute.get(), type.get(), padded.data()) < 0) {
        throw tool_error(std::string("writing attribute ") + name + " failed");
    }
}

void write_value_attribute(hid_t to, const char* name, hid_t type, const void* value)
{
    const h5_handle space = h5_space_handle(H5Screate(H5S_SCALAR));
    const h5_handle attribute(H5Acreate2(to, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
    if (!attribute.valid() || H5Awrite(attribute.get(), type, value) < 0) {
        throw tool_error(std::string("writing attribute ") + name + " failed");
    }
}

} // namespace virda_stats
