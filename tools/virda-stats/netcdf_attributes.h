#ifndef VIRDA_TOOLS_VIRDA_STATS_NETCDF_ATTRIBUTES_H
#define VIRDA_TOOLS_VIRDA_STATS_NETCDF_ATTRIBUTES_H

// Attributes of the variables in the netCDF-4 file that reduce writes: those
// carried over from the input, and the text and value attributes netCDF
// readers look for. Each throws tool_error on failure.

#include <hdf5.h>

#include <string>

namespace virda_stats {

/// Copies the attributes of numbers or text of `from` to `to`, but for
/// the dimension scales' bookkeeping and the rules for missing and packed
/// values (the unpacked statistics no longer follow them).
void copy_attributes(hid_t from, hid_t to);

/// A text attribute as netCDF writes one (a fixed-length string).
void write_text_attribute(hid_t to, const char* name, const std::string& value);

/// A scalar attribute of `type`, read from `value`.
void write_value_attribute(hid_t to, const char* name, hid_t type, const void* value);

} // namespace virda_stats

#endif
