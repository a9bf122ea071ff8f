#include "dataset_shape.h"

#include "collective_error.h"

namespace virda_stats {

std::string shape_text(const std::vector<long long>& dims)
{
    std::string s = "(";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        s += (i ? ", " : "") + std::to_string(dims[i]);
    }
    return s + (dims.size() == 1 ? ",)" : ")");
}

std::string held_type(const dataset_shape& shape)
{
    if (shape.column < 0 && shape.components == 2) {
        return h5_element<Vector2>::name;
    }
    if (shape.column < 0 && shape.components == 3) {
        return h5_element<Vector3>::name;
    }
    return kind_name(shape.rules.packed ? element_kind::float64 : shape.kind);
}

void select_column(dataset_shape& shape, int column, const std::string& file)
{
    const std::string where = "dataset '" + shape.name + "' in " + file;
    if (shape.scalar) {
        throw tool_error(where + " holds a single value; --column picks a column of a table of shape (n, k)");
    }
    if (shape.layout == layout_kind::grid) {
        throw tool_error(where + " is a grid of shape " + shape_text(shape.dims) +
                         "; --column picks a column of a table of shape (n, k)" +
                         (shape.dims.size() == 2 ? " (--layout table reads it as one)" : ""));
    }
    if (shape.columns == 0) {
        throw tool_error(where + " is one-dimensional; --column picks a column of a table of shape (n, k)");
    }
    if (column < 0 || column >= shape.columns) {
        throw tool_error(where + " has " + std::to_string(shape.columns) + " columns: --column must be 0 to " +
                         std::to_string(shape.columns - 1) + ", not " + std::to_string(column));
    }
    shape.column = column;
}

} // namespace virda_stats
