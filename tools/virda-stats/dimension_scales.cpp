#include "dimension_scales.h"

#include "collective_error.h"
#include "h5_handle.h"

#include <hdf5_hl.h>

#include <algorithm>
#include <cstdlib>

namespace virda_stats {

namespace {

/// Stops at the first scale of a dimension and keeps its path.
herr_t first_scale(hid_t, unsigned, hid_t scale, void* out)
{
    const ssize_t length = H5Iget_name(scale, nullptr, 0);
    if (length <= 0) {
        return -1;
    }
    std::string path(static_cast<std::size_t>(length) + 1, '\0');
    H5Iget_name(scale, path.data(), path.size());
    path.resize(static_cast<std::size_t>(length));
    *static_cast<std::string*>(out) = path;
    return 1;
}

/// Whether the scale at `path` holds coordinates: a one-dimensional dataset
/// of `extent` values whose NAME does not mark it as a bare dimension.
bool holds_coordinates(hid_t file, const std::string& path, long long extent)
{
    const h5_handle scale = h5_dataset_handle(H5Dopen2(file, path.c_str(), H5P_DEFAULT));
    if (!scale.valid()) {
        return false;
    }
    const h5_handle space = h5_space_handle(H5Dget_space(scale.get()));
    hsize_t n = 0;
    if (!space.valid() || H5Sget_simple_extent_ndims(space.get()) != 1 ||
        H5Sget_simple_extent_dims(space.get(), &n, nullptr) != 1 || static_cast<long long>(n) != extent) {
        return false;
    }
    char name[128] = {};
    if (H5DSget_scale_name(scale.get(), name, sizeof name) > 0) {
        const std::string marker = dimension_only_name;
        if (std::string(name).compare(0, marker.size(), marker) == 0) {
            return false;
        }
    }
    const h5_handle type = h5_type_handle(H5Dget_type(scale.get()));
    const H5T_class_t kind = type.valid() ? H5Tget_class(type.get()) : H5T_NO_CLASS;
    return kind == H5T_INTEGER || kind == H5T_FLOAT;
}

} // namespace

std::vector<dimension_info> dimensions_of(hid_t file, const std::string& name, const std::vector<long long>& dims)
{
    std::vector<dimension_info> out(dims.size());
    const h5_handle dataset = h5_dataset_handle(H5Dopen2(file, name.c_str(), H5P_DEFAULT));
    const bool scaled = dataset.valid() && H5Aexists(dataset.get(), "DIMENSION_LIST") > 0;
    for (std::size_t i = 0; i < dims.size(); ++i) {
        dimension_info& d = out[i];
        d.extent = dims[i];
        d.name = "phony_dim_" + std::to_string(i);
        std::string path;
        if (!scaled || H5DSget_num_scales(dataset.get(), static_cast<unsigned>(i)) <= 0) {
            continue;
        }
        int index = 0;
        if (H5DSiterate_scales(dataset.get(), static_cast<unsigned>(i), &index, first_scale, &path) < 0 ||
            path.empty()) {
            continue;
        }
        d.name = path.substr(path.find_last_of('/') + 1);
        if (holds_coordinates(file, path, d.extent)) {
            d.coordinate = path;
        }
    }
    return out;
}

std::vector<int> dimensions_named(const std::vector<std::string>& over, const std::vector<dimension_info>& dims,
                                  const std::string& dataset)
{
    std::vector<int> chosen;
    for (const std::string& wanted : over) {
        int found = -1;
        for (std::size_t i = 0; i < dims.size(); ++i) {
            if (dims[i].name == wanted) {
                found = static_cast<int>(i);
            }
        }
        if (found < 0 && !wanted.empty() && wanted.find_first_not_of("0123456789") == std::string::npos &&
            wanted.size() < 4) {
            const int index = std::atoi(wanted.c_str());
            found = index < static_cast<int>(dims.size()) ? index : -1;
        }
        if (found < 0) {
            std::string names;
            for (std::size_t i = 0; i < dims.size(); ++i) {
                names += (i == 0 ? "" : ", ") + dims[i].name + " (" + std::to_string(i) + ")";
            }
            throw tool_error("--over: '" + dataset + "' has no dimension '" + wanted + "'; its dimensions are " +
                             names);
        }
        if (std::find(chosen.begin(), chosen.end(), found) != chosen.end()) {
            throw tool_error("--over names dimension " + dims[static_cast<std::size_t>(found)].name + " twice");
        }
        chosen.push_back(found);
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

} // namespace virda_stats
