#ifndef VIRDA_TOOLS_VIRDA_STATS_DIMENSION_SCALES_H
#define VIRDA_TOOLS_VIRDA_STATS_DIMENSION_SCALES_H

// The named dimensions of a netCDF-4 variable: HDF5 dimension scales
// attached to a dataset, as netCDF-4 files hold them.

#include <hdf5.h>

#include <string>
#include <vector>

namespace virda_stats {

/// The NAME that netCDF-4 gives a dimension scale that is only a dimension,
/// not a coordinate variable; the extent follows it, right-aligned in ten
/// characters.
inline constexpr const char* dimension_only_name = "This is a netCDF dimension but not a netCDF variable.";

/// One dimension of a dataset.
struct dimension_info {
    /// The name of the dimension scale attached (its dataset's name, as
    /// netCDF names dimensions), or "phony_dim_I" for a dimension without
    /// one, I its index.
    std::string name;
    long long extent = 0;
    /// The path of the coordinate variable (the scale, when it holds the
    /// dimension's coordinates as a one-dimensional dataset of that extent);
    /// empty when there is none.
    std::string coordinate;
};

/// The dimensions of dataset `name` of `file`, whose extents are `dims`.
/// Local (metadata reads only); a dimension with a damaged or unreadable
/// scale is one without a name.
std::vector<dimension_info> dimensions_of(hid_t file, const std::string& name, const std::vector<long long>& dims);

/// The indices of the dimensions `over` names, each a dimension's name or
/// its 0-based index, in increasing order. Local; throws tool_error naming
/// the dimensions there are for a name or index that is not one of them,
/// or one given twice.
std::vector<int> dimensions_named(const std::vector<std::string>& over, const std::vector<dimension_info>& dims,
                                  const std::string& dataset);

} // namespace virda_stats

#endif
