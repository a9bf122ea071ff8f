#ifndef VIRDA_TOOLS_VIRDA_STATS_CONVENTIONS_H
#define VIRDA_TOOLS_VIRDA_STATS_CONVENTIONS_H

// The attribute conventions of netCDF and CF for missing and packed values,
// as netCDF readers apply them by default.

#include "held_types.h"

#include <hdf5.h>

#include <cmath>
#include <string>
#include <vector>

namespace virda_stats {

/// Which stored values of a dataset are missing, and how the others unpack.
///
/// A stored value v is missing when it equals a `_FillValue` or one of the
/// `missing_value`s (a NaN among them makes every NaN missing), or lies
/// outside [valid_min, valid_max]; `valid_range` (two values) takes the
/// place of both bounds when present. The comparisons are made on the stored
/// value, with the attribute values rounded to the held type first (a
/// `_FillValue` of 0.1 on float data is 0.1f). The values that are not
/// missing unpack to v * scale_factor + add_offset (in double), when either
/// attribute is present.
struct value_rules {
    std::vector<double> fill_values;
    std::vector<double> missing_values;
    bool has_valid_min = false;
    bool has_valid_max = false;
    double valid_min = 0.0;
    double valid_max = 0.0;
    /// scale_factor or add_offset is present: the values are unpacked.
    bool packed = false;
    double scale = 1.0;
    double offset = 0.0;
    /// NaN values are left out as well (--skip-nan), counted as NaN.
    bool skip_nan = false;

    /// Whether any attribute of the conventions was found.
    bool any_attribute() const
    {
        return !fill_values.empty() || !missing_values.empty() || has_valid_min || has_valid_max || packed;
    }
    /// Whether the rules can leave values out or change them at all.
    bool active() const { return any_attribute() || skip_nan; }
    /// Whether the stored value `v` is missing by the attributes (NaN
    /// skipping aside).
    bool missing(double v) const
    {
        const bool nan = std::isnan(v);
        for (const double f : fill_values) {
            if (nan ? std::isnan(f) : v == f) {
                return true;
            }
        }
        for (const double m : missing_values) {
            if (nan ? std::isnan(m) : v == m) {
                return true;
            }
        }
        return (has_valid_min && v < valid_min) || (has_valid_max && v > valid_max);
    }
    /// The physical value of the stored value `v`. NaN for a stored NaN, and
    /// also where the arithmetic makes one (0 * inf, inf + -inf) from a
    /// non-finite scale_factor or add_offset, or a stored infinity.
    double unpack(double v) const { return packed ? v * scale + offset : v; }
    /// Whether the unpacked value of the stored value `v` is NaN: the NaN
    /// that the statistics see, whether stored or made by unpacking.
    bool nan_after_unpacking(double v) const { return std::isnan(unpack(v)); }
    /// Whether the statistics take the stored value `v`.
    bool taken(double v) const { return !missing(v) && !(skip_nan && nan_after_unpacking(v)); }
    /// The attributes found, for the output: "_FillValue -32767; valid_range
    /// [0, 100]; scale_factor 0.1"; "" for none.
    std::string describe() const;
};

/// Reads the conventions' attributes of the open dataset `dataset` (`name`
/// in `file`), whose values are held as `kind`. Local (metadata reads); the
/// same on every rank. Throws tool_error for an attribute of the conventions
/// that does not hold numbers, or a valid_range that is not two values.
value_rules read_value_rules(hid_t dataset, element_kind kind, const std::string& name, const std::string& file);

} // namespace virda_stats

#endif
