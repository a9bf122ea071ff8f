#ifndef VIRDA_TOOLS_VIRDA_STATS_BIT_FIELDS_H
#define VIRDA_TOOLS_VIRDA_STATS_BIT_FIELDS_H

// HDF5 bit fields (opaque runs of 1 to 8 bytes) read as the unsigned
// numbers they hold.

#include <hdf5.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace virda_stats {

/// The native bit-field type of `bytes` bytes.
inline hid_t bitfield_type(int bytes)
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

/// The unsigned number of the bit field of type U at `raw` (unaligned).
template <typename U>
inline std::uint64_t field_at(const unsigned char* raw)
{
    U v;
    std::memcpy(&v, raw, sizeof v);
    return v;
}

/// Turns `count` bit fields of `bytes` bytes each, read packed at the start
/// of `values`, into the unsigned numbers they hold, in place. Each element
/// of T is at least as wide as a field, so walking from the last one down
/// never overwrites a field not yet taken.
template <typename T>
void widen_bitfields(T* values, std::size_t count, int bytes)
{
    const auto* raw = reinterpret_cast<const unsigned char*>(values);
    for (std::size_t i = count; i-- > 0;) {
        const unsigned char* field = raw + i * static_cast<std::size_t>(bytes);
        const std::uint64_t bits = bytes == 1   ? field_at<std::uint8_t>(field)
                                   : bytes == 2 ? field_at<std::uint16_t>(field)
                                   : bytes == 4 ? field_at<std::uint32_t>(field)
                                                : field_at<std::uint64_t>(field);
        values[i] = static_cast<T>(bits);
    }
}

} // namespace virda_stats

#endif
