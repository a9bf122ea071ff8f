#ifndef VIRDA_TOOLS_VIRDA_STATS_H5_HANDLE_H
#define VIRDA_TOOLS_VIRDA_STATS_H5_HANDLE_H

#include <hdf5.h>

#include <utility>

namespace virda_stats {

/// Owns one HDF5 identifier and closes it with the matching close function
/// (H5Fclose, H5Dclose, H5Sclose, H5Tclose or H5Pclose). Closing a file opened
/// with the MPI-IO driver is collective: all ranks must release their file
/// handles in the same order. Move-only.
class h5_handle {
public:
    using closer = herr_t (*)(hid_t);

    h5_handle() = default;
    h5_handle(hid_t id, closer close) : id_(id), close_(close) {}
    h5_handle(const h5_handle&) = delete;
    h5_handle& operator=(const h5_handle&) = delete;
    h5_handle(h5_handle&& other) noexcept : id_(std::exchange(other.id_, H5I_INVALID_HID)), close_(other.close_) {}
    h5_handle& operator=(h5_handle&& other) noexcept
    {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, H5I_INVALID_HID);
            close_ = other.close_;
        }
        return *this;
    }
    ~h5_handle() { reset(); }

    /// Whether the call that produced the identifier succeeded.
    bool valid() const { return id_ >= 0; }
    hid_t get() const { return id_; }

    /// Gives up ownership without closing: the caller closes the returned
    /// identifier itself and checks the result.
    hid_t release() { return std::exchange(id_, H5I_INVALID_HID); }

    void reset()
    {
        if (id_ >= 0 && close_ != nullptr) {
            close_(id_);
        }
        id_ = H5I_INVALID_HID;
    }

private:
    hid_t id_ = H5I_INVALID_HID;
    closer close_ = nullptr;
};

inline h5_handle h5_file_handle(hid_t id) { return h5_handle(id, H5Fclose); }
inline h5_handle h5_dataset_handle(hid_t id) { return h5_handle(id, H5Dclose); }
inline h5_handle h5_space_handle(hid_t id) { return h5_handle(id, H5Sclose); }
inline h5_handle h5_type_handle(hid_t id) { return h5_handle(id, H5Tclose); }
inline h5_handle h5_plist_handle(hid_t id) { return h5_handle(id, H5Pclose); }

} // namespace virda_stats

#endif
