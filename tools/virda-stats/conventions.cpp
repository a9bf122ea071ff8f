#include "conventions.h"

#include "collective_error.h"
#include "h5_handle.h"
#include "report.h"

#include <cfloat>

namespace virda_stats {

namespace {

/// The values of attribute `attribute` of `dataset` as doubles (HDF5
/// converts them); empty when there is no such attribute. Throws tool_error
/// for one that does not hold numbers.
std::vector<double> attribute_values(hid_t dataset, const char* attribute, const std::string& name,
                                     const std::string& file)
{
    if (H5Aexists(dataset, attribute) <= 0) {
        return {};
    }
    const std::string what = "attribute '" + std::string(attribute) + "' of dataset '" + name + "' in " + file;
    const h5_handle a(H5Aopen(dataset, attribute, H5P_DEFAULT), H5Aclose);
    const h5_handle type = a.valid() ? h5_type_handle(H5Aget_type(a.get())) : h5_handle();
    const h5_handle space = a.valid() ? h5_space_handle(H5Aget_space(a.get())) : h5_handle();
    const hssize_t count = space.valid() ? H5Sget_simple_extent_npoints(space.get()) : -1;
    if (!type.valid() || count < 0) {
        throw tool_error("cannot read " + what);
    }
    const H5T_class_t type_class = H5Tget_class(type.get());
    if (type_class != H5T_INTEGER && type_class != H5T_FLOAT) {
        throw tool_error(what + " does not hold numbers; the conventions for missing and packed values need "
                                "numbers (--raw reads the stored values as they are)");
    }
    std::vector<double> values(static_cast<std::size_t>(count));
    if (count > 0 && H5Aread(a.get(), H5T_NATIVE_DOUBLE, values.data()) < 0) {
        throw tool_error("cannot read " + what);
    }
    return values;
}

/// `v` as the held type compares it: floats held as float are rounded to
/// float first (as netCDF readers cast the attribute to the variable's type);
/// values beyond float's range stay as they are (no float equals them).
double as_held(double v, element_kind kind)
{
    if (kind == element_kind::float32 && std::fabs(v) <= FLT_MAX) {
        return static_cast<double>(static_cast<float>(v));
    }
    return v;
}

std::string list_text(const std::vector<double>& values)
{
    std::string s;
    for (std::size_t i = 0; i < values.size(); ++i) {
        s += (i ? ", " : "") + text_number(values[i]);
    }
    return s;
}

} // namespace

std::string value_rules::describe() const
{
    std::vector<std::string> parts;
    if (!fill_values.empty()) {
        parts.push_back("_FillValue " + list_text(fill_values));
    }
    if (!missing_values.empty()) {
        parts.push_back("missing_value " + list_text(missing_values));
    }
    if (has_valid_min && has_valid_max) {
        parts.push_back("valid [" + text_number(valid_min) + ", " + text_number(valid_max) + "]");
    } else if (has_valid_min) {
        parts.push_back("valid_min " + text_number(valid_min));
    } else if (has_valid_max) {
        parts.push_back("valid_max " + text_number(valid_max));
    }
    if (packed) {
        parts.push_back("unpacked as v * " + text_number(scale) + " + " + text_number(offset));
    }
    std::string s;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        s += (i ? "; " : "") + parts[i];
    }
    return s;
}

value_rules read_value_rules(hid_t dataset, element_kind kind, const std::string& name, const std::string& file)
{
    value_rules r;
    const auto read = [&](const char* attribute) { return attribute_values(dataset, attribute, name, file); };
    for (const double v : read("_FillValue")) {
        r.fill_values.push_back(as_held(v, kind));
    }
    for (const double v : read("missing_value")) {
        r.missing_values.push_back(as_held(v, kind));
    }
    const std::vector<double> range = read("valid_range");
    const std::vector<double> low = read("valid_min");
    const std::vector<double> high = read("valid_max");
    if (!range.empty()) {
        // valid_range takes the place of valid_min and valid_max.
        if (range.size() != 2) {
            throw tool_error("attribute 'valid_range' of dataset '" + name + "' in " + file + " holds " +
                             std::to_string(range.size()) + " values, not two (--raw reads the stored values)");
        }
        r.has_valid_min = r.has_valid_max = true;
        r.valid_min = as_held(range[0], kind);
        r.valid_max = as_held(range[1], kind);
    } else {
        if (!low.empty()) {
            r.has_valid_min = true;
            r.valid_min = as_held(low[0], kind);
        }
        if (!high.empty()) {
            r.has_valid_max = true;
            r.valid_max = as_held(high[0], kind);
        }
    }
    const std::vector<double> scale = read("scale_factor");
    const std::vector<double> offset = read("add_offset");
    if (!scale.empty() || !offset.empty()) {
        r.packed = true;
        r.scale = scale.empty() ? 1.0 : scale[0];
        r.offset = offset.empty() ? 0.0 : offset[0];
    }
    return r;
}

} // namespace virda_stats
