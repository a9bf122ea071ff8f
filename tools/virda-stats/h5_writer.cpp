#include "h5_writer.h"

#include "collective_error.h"
#include "h5_rows.h"

namespace virda_stats {

h5_output::h5_output(const std::string& path, MPI_Comm comm) : path_(path), comm_(comm)
{
    together(comm_, [&] {
        const h5_handle access = mpio_file_access(comm_);
        file_ = h5_file_handle(H5Fcreate(path_.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()));
        if (!file_.valid()) {
            throw tool_error("cannot create " + path_);
        }
    });
}

template <typename T>
void h5_output::write(const std::string& name, const va<T>& data)
{
    constexpr int components = h5_element<T>::components;
    const hsize_t dims[2] = {static_cast<hsize_t>(data.va_size()), static_cast<hsize_t>(components)};

    // Creating a dataset is collective in parallel HDF5: same call everywhere.
    h5_handle dataset;
    row_selection rows;
    h5_handle transfer;
    together(comm_, [&] {
        const h5_handle space = h5_space_handle(H5Screate_simple(components > 1 ? 2 : 1, dims, nullptr));
        dataset = h5_dataset_handle(H5Dcreate2(file_.get(), name.c_str(), h5_element<T>::type(), space.get(),
                                               H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
        if (dataset.valid()) {
            rows = select_own_rows(dataset.get(), data);
        }
        transfer = collective_transfer();
        if (!dataset.valid() || !rows.file_space.valid() || !transfer.valid()) {
            throw tool_error("cannot create dataset '" + name + "' in " + path_);
        }
    });

    const T spare{};
    const T* block = rows.any ? data.va_local_data() : &spare;
    const herr_t status = H5Dwrite(dataset.get(), h5_element<T>::type(), rows.memory_space.get(),
                                   rows.file_space.get(), transfer.get(), block);
    together(comm_, [&] {
        if (status < 0) {
            throw tool_error("writing dataset '" + name + "' to " + path_ + " failed");
        }
    });
}

template void h5_output::write<double>(const std::string&, const va<double>&);
template void h5_output::write<float>(const std::string&, const va<float>&);
template void h5_output::write<int>(const std::string&, const va<int>&);
template void h5_output::write<Vector2>(const std::string&, const va<Vector2>&);
template void h5_output::write<Vector3>(const std::string&, const va<Vector3>&);

} // namespace virda_stats
