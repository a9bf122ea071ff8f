#include "grid_or_table.h"

#include "collective_error.h"

namespace virda_stats {

void choose_layout(hid_t dataset, dataset_shape& shape, const reading_options& reading, const std::string& where)
{
    const bool two = shape.dims.size() == 2;
    if (!two) {
        if (reading.layout == layout_choice::table) {
            throw tool_error("dataset '" + shape.name + "'" + where + " has shape " + shape_text(shape.dims) +
                             ": --layout table reads datasets of two dimensions only");
        }
        shape.layout = layout_kind::grid;
        shape.layout_reason = std::to_string(shape.dims.size()) + " dimensions";
        return;
    }
    if (reading.layout != layout_choice::automatic) {
        shape.layout = reading.layout == layout_choice::grid ? layout_kind::grid : layout_kind::table;
        shape.layout_reason = reading.layout == layout_choice::grid ? "--layout grid" : "--layout table";
        return;
    }
    if (reading.column) {
        shape.layout = layout_kind::table;
        shape.layout_reason = "--column picks a column of it";
    } else if (H5Aexists(dataset, "DIMENSION_LIST") > 0) {
        shape.layout = layout_kind::grid;
        shape.layout_reason = "a netCDF variable: its dimensions make a grid; --layout table reads its columns";
    } else {
        shape.layout = layout_kind::table;
        shape.layout_reason = "not a netCDF variable; --layout grid reads all its values together";
    }
}

} // namespace virda_stats
