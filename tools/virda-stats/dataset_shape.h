#ifndef VIRDA_TOOLS_VIRDA_STATS_DATASET_SHAPE_H
#define VIRDA_TOOLS_VIRDA_STATS_DATASET_SHAPE_H

#include "held_types.h"

#include <string>

namespace virda_stats {

/// A dataset that the tool can read: its stored type (what it is held in)
/// and its shape.
struct dataset_shape : stored_number {
    /// The name as given on the command line.
    std::string name;
    long long rows = 0;
    /// A single value (scalar dataspace), read as one row by summary only.
    bool scalar = false;
    /// 0 for a one-dimensional dataset; k for a table of shape (rows, k).
    int columns = 0;
    /// 2 or 3 for a table of floats of shape (rows, 2) or (rows, 3), read as
    /// Vector2 or Vector3 (unless one column is chosen); 1 otherwise.
    int components = 1;
    /// The one column of a table to read (select_column), or -1 for all.
    int column = -1;
};

/// Chooses column `column` (0-based) of a table: the dataset is then read as
/// that column alone. Local; throws tool_error for a one-dimensional dataset
/// or a column out of range.
void select_column(dataset_shape& shape, int column, const std::string& file);

/// Whether `shape` is a table read whole: more than one value per row and
/// no column chosen.
inline bool whole_table(const dataset_shape& shape) { return shape.columns > 0 && shape.column < 0; }

/// The element type the dataset is held in: "double", "float", "int",
/// "Vector2" or "Vector3" (vectors only when no column is chosen).
std::string held_type(const dataset_shape& shape);

} // namespace virda_stats

#endif
