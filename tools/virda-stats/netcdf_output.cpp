#include "netcdf_output.h"

#include "collective_error.h"
#include "h5_handle.h"
#include "h5_rows.h"
#include "h5_writer.h"
#include "netcdf_attributes.h"

#include "frontend/row_exchange.h"

#include <hdf5_hl.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>

namespace virda_stats {

namespace {

/// netCDF's default fill value of float and double variables.
constexpr double netcdf_default_fill = 9.9692099683868690e+36;

/// Settles on every rank whether an HDF5 step succeeded.
void agree_on(MPI_Comm comm, bool ok, const std::string& what)
{
    agree_or_throw(comm, ok ? std::string() : what);
}

/// The dimension scale of dimension `d` in `file`: its coordinates and
/// their attributes copied from the input, or a bare netCDF dimension.
/// Collective (creation calls), rank 0 writing the coordinates.
h5_handle make_scale(hid_t file, hid_t input, const dimension_info& d, int rank, MPI_Comm comm)
{
    const hsize_t extent = static_cast<hsize_t>(d.extent);
    h5_handle scale;
    if (d.coordinate.empty()) {
        together(comm, [&] {
            const h5_handle space = h5_space_handle(H5Screate_simple(1, &extent, nullptr));
            scale = h5_dataset_handle(H5Dcreate2(file, d.name.c_str(), H5T_IEEE_F32LE, space.get(), H5P_DEFAULT,
                                                 H5P_DEFAULT, H5P_DEFAULT));
            char name[96];
            std::snprintf(name, sizeof name, "%s%10lld", dimension_only_name, d.extent);
            if (!scale.valid() || H5DSset_scale(scale.get(), name) < 0) {
                throw tool_error("cannot create dimension " + d.name);
            }
        });
        return scale;
    }
    // Every rank reads the (small, one-dimensional) coordinates.
    std::vector<unsigned char> values;
    h5_handle type;
    h5_handle source;
    together(comm, [&] {
        source = h5_dataset_handle(H5Dopen2(input, d.coordinate.c_str(), H5P_DEFAULT));
        const h5_handle stored = h5_type_handle(source.valid() ? H5Dget_type(source.get()) : H5I_INVALID_HID);
        type = h5_type_handle(stored.valid() ? H5Tget_native_type(stored.get(), H5T_DIR_ASCEND) : H5I_INVALID_HID);
        if (!type.valid()) {
            throw tool_error("cannot read coordinate variable " + d.coordinate);
        }
        values.resize(static_cast<std::size_t>(extent) * H5Tget_size(type.get()));
        if (H5Dread(source.get(), type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) < 0) {
            throw tool_error("cannot read coordinate variable " + d.coordinate);
        }
    });
    together(comm, [&] {
        const h5_handle space = h5_space_handle(H5Screate_simple(1, &extent, nullptr));
        scale = h5_dataset_handle(H5Dcreate2(file, d.name.c_str(), type.get(), space.get(), H5P_DEFAULT,
                                             H5P_DEFAULT, H5P_DEFAULT));
        if (!scale.valid()) {
            throw tool_error("cannot create coordinate variable " + d.name);
        }
        copy_attributes(source.get(), scale.get());
        if (H5DSset_scale(scale.get(), d.name.c_str()) < 0) {
            throw tool_error("cannot make " + d.name + " a dimension scale");
        }
    });
    bool written = true;
    if (rank == 0) {
        const h5_handle transfer = independent_transfer();
        written = transfer.valid() &&
                  H5Dwrite(scale.get(), type.get(), H5S_ALL, H5S_ALL, transfer.get(), values.data()) >= 0;
    }
    agree_on(comm, written, "writing coordinate variable " + d.name + " failed");
    return scale;
}

/// The values of a statistic in this rank's cells as the variable stores
/// them (float, double or int64), the fill value where a cell has none.
template <typename U>
std::vector<U> stored_values(const reduced_field& field, std::size_t stat, bool count, std::size_t first,
                             std::size_t n, double fill)
{
    std::vector<U> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t cell = first + i;
        if (count) {
            out[i] = static_cast<U>(field.counts[cell]);
        } else {
            out[i] = static_cast<U>(field.counts[cell] == 0 ? fill : field.values[stat][cell]);
        }
    }
    return out;
}

} // namespace

std::string reduced_variable_name(const std::string& variable, const statistic& s)
{
    return variable.substr(variable.find_last_of('/') + 1) + "_" + s.name;
}

double reduced_fill_value(const dataset_shape& s)
{
    if (s.rules.fill_values.size() == 1 && !s.rules.packed) {
        return s.rules.fill_values.front();
    }
    return netcdf_default_fill;
}

void write_reduced_file(const std::string& path, const h5_input& in, const dataset_shape& s,
                        const std::vector<dimension_info>& dims, const std::vector<int>& reduced,
                        const std::vector<statistic>& stats, const reduced_field& field, MPI_Comm comm)
{
    const place_in here(comm);
    std::vector<const dimension_info*> kept;
    std::string over;
    for (std::size_t d = 0; d < dims.size(); ++d) {
        if (std::find(reduced.begin(), reduced.end(), static_cast<int>(d)) == reduced.end()) {
            kept.push_back(&dims[d]);
        } else {
            over += dims[d].name + ": ";
        }
    }
    long long cells = 1;
    for (const long long e : field.shape) {
        cells *= e;
    }
    const long long bytes = cells * static_cast<long long>(stats.size()) * 8;
    h5_output out(path, comm, bytes);
    {
        std::vector<h5_handle> scales;
        for (const dimension_info* d : kept) {
            scales.push_back(make_scale(out.id(), in.id(), *d, here.rank, comm));
        }
        h5_handle variable;
        together(comm, [&] {
            variable = h5_dataset_handle(H5Dopen2(in.id(), s.name.c_str(), H5P_DEFAULT));
            if (!variable.valid()) {
                throw tool_error("cannot open '" + s.name + "' again");
            }
        });
        std::string methods;
        together(comm, [&] {
            char text[4096] = {};
            if (H5Aexists(variable.get(), "cell_methods") > 0) {
                const h5_handle a(H5Aopen(variable.get(), "cell_methods", H5P_DEFAULT), H5Aclose);
                const h5_handle t = h5_type_handle(H5Aget_type(a.get()));
                if (H5Tget_class(t.get()) == H5T_STRING) {
                    if (H5Tis_variable_str(t.get()) > 0) {
                        char* p = nullptr;
                        const h5_handle space = h5_space_handle(H5Aget_space(a.get()));
                        if (H5Aread(a.get(), t.get(), &p) >= 0 && p != nullptr) {
                            methods = p;
                            H5Dvlen_reclaim(t.get(), space.get(), H5P_DEFAULT, &p);
                        }
                    } else if (H5Tget_size(t.get()) < sizeof text && H5Aread(a.get(), t.get(), text) >= 0) {
                        methods = text;
                    }
                }
            }
        });

        // Each rank writes the cells of its rows of one dimension: those it
        // reduced when the row dimension is kept, else a balanced share of
        // the first dimension's (every rank holds every cell).
        const auto split = static_cast<std::size_t>(field.local ? field.split : 0);
        const long long split_extent = field.shape.empty() ? 1 : field.shape[split];
        virda::frontend::row_range own{field.own_first, field.own_count};
        if (!field.local) {
            own = virda::frontend::balanced_rows(split_extent, here.ranks, here.rank);
        }
        std::size_t per_row = 1;
        for (std::size_t d = split + 1; d < field.shape.size(); ++d) {
            per_row *= static_cast<std::size_t>(field.shape[d]);
        }
        const std::size_t offset = field.local ? 0 : static_cast<std::size_t>(own.first) * per_row;
        const double fill = reduced_fill_value(s);
        std::vector<hsize_t> extents(field.shape.begin(), field.shape.end());
        std::vector<hsize_t> start(extents.size(), 0);
        std::vector<hsize_t> count = extents;
        if (!count.empty()) {
            start[split] = static_cast<hsize_t>(own.first);
            count[split] = static_cast<hsize_t>(own.count);
        }
        for (std::size_t i = 0; i < stats.size(); ++i) {
            const statistic& st = stats[i];
            const bool is_count = st.kind == statistic_kind::count;
            const hid_t type = is_count ? H5T_NATIVE_INT64 : field.single_precision ? H5T_NATIVE_FLOAT : H5T_NATIVE_DOUBLE;
            const std::string name = reduced_variable_name(s.name, st);
            const float fill_float = static_cast<float>(fill);
            const void* fill_value = field.single_precision ? static_cast<const void*>(&fill_float) : &fill;
            h5_handle dataset;
            h5_handle file_space;
            together(comm, [&] {
                const h5_handle space = h5_space_handle(
                    H5Screate_simple(static_cast<int>(extents.size()), extents.data(), nullptr));
                const h5_handle create = h5_plist_handle(H5Pcreate(H5P_DATASET_CREATE));
                if (!space.valid() || !create.valid() || H5Pset_fill_time(create.get(), H5D_FILL_TIME_NEVER) < 0 ||
                    (!is_count && H5Pset_fill_value(create.get(), type, fill_value) < 0)) {
                    throw tool_error("cannot create variable " + name + " in " + path);
                }
                dataset = h5_dataset_handle(
                    H5Dcreate2(out.id(), name.c_str(), type, space.get(), H5P_DEFAULT, create.get(), H5P_DEFAULT));
                if (!dataset.valid()) {
                    throw tool_error("cannot create variable " + name + " in " + path);
                }
                if (is_count) {
                    write_text_attribute(dataset.get(), "long_name",
                                         "number of values of " + s.name.substr(s.name.find_last_of('/') + 1));
                } else {
                    copy_attributes(variable.get(), dataset.get());
                    write_value_attribute(dataset.get(), "_FillValue", type, fill_value);
                }
                const std::string method = over + cell_method_of(st);
                write_text_attribute(dataset.get(), "cell_methods", methods.empty() ? method : methods + " " + method);
                for (std::size_t d = 0; d < scales.size(); ++d) {
                    if (H5DSattach_scale(dataset.get(), scales[d].get(), static_cast<unsigned>(d)) < 0) {
                        throw tool_error("cannot attach dimension " + kept[d]->name + " to " + name);
                    }
                }
                file_space = h5_space_handle(H5Dget_space(dataset.get()));
                if (!file_space.valid() ||
                    (own.count > 0 ? H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, start.data(), nullptr,
                                                         count.data(), nullptr)
                                   : H5Sselect_none(file_space.get())) < 0) {
                    throw tool_error("cannot select the rows of variable " + name);
                }
            });
            bool written = true;
            if (own.count > 0) {
                const std::size_t first = offset;
                const std::size_t n = static_cast<std::size_t>(own.count) * per_row;
                const hsize_t flat = n;
                const h5_handle memory = h5_space_handle(H5Screate_simple(1, &flat, nullptr));
                const h5_handle transfer = independent_transfer();
                const auto put = [&](const auto& buffer) {
                    return memory.valid() && transfer.valid() &&
                           H5Dwrite(dataset.get(), type, memory.get(), file_space.get(), transfer.get(),
                                    buffer.data()) >= 0;
                };
                written = is_count                 ? put(stored_values<std::int64_t>(field, i, true, first, n, fill))
                          : field.single_precision ? put(stored_values<float>(field, i, false, first, n, fill))
                                                   : put(stored_values<double>(field, i, false, first, n, fill));
            }
            agree_on(comm, written, "writing variable " + name + " to " + path + " failed");
            file_space.reset();
            const bool closed = H5Dclose(dataset.release()) >= 0;
            agree_on(comm, closed, "closing variable " + name + " in " + path + " failed");
        }
        variable.reset();
        for (h5_handle& scale : scales) {
            const bool closed = H5Dclose(scale.release()) >= 0;
            agree_on(comm, closed, "closing a dimension in " + path + " failed");
        }
    }
    out.close();
}

} // namespace virda_stats
