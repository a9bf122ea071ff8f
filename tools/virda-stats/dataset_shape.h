#ifndef VIRDA_TOOLS_VIRDA_STATS_DATASET_SHAPE_H
#define VIRDA_TOOLS_VIRDA_STATS_DATASET_SHAPE_H

#include "conventions.h"
#include "held_types.h"

#include <string>
#include <vector>

namespace virda_stats {

/// How the values of a dataset are read.
enum class layout_kind {
    /// One value per row: a one-dimensional dataset, one column of a table,
    /// or a single value.
    rows,
    /// A table of shape (n, k): each column on its own (summary), or one
    /// column (--column); floats of width 2 or 3 as vectors.
    table,
    /// A grid of any number of dimensions: all its values together, read by
    /// rows of its first dimension.
    grid,
};

/// What the command line chose for the reading of 2-D datasets.
enum class layout_choice { automatic, table, grid };

/// How datasets are to be read, from the command line.
struct reading_options {
    /// The stored values as they are: no missing values, no unpacking.
    bool raw = false;
    /// NaN values are left out of the statistics too.
    bool skip_nan = false;
    layout_choice layout = layout_choice::automatic;
    /// --column was given: a two-dimensional dataset is a table, unless
    /// --layout says otherwise.
    bool column = false;
};

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
    /// The extents (empty for a single value).
    std::vector<long long> dims;
    layout_kind layout = layout_kind::rows;
    /// Why a dataset of two or more dimensions is read as it is, for the
    /// output; "" for one-dimensional datasets.
    std::string layout_reason;
    /// The dimension whose indices are the rows a grid is split by over the
    /// ranks: the first of more than one index (a field of one time step,
    /// (1, lat, lon), is split by its lat rows, not held by one rank); 0 for
    /// the other layouts. The extents before it are all 1. `rows` is that
    /// dimension's extent.
    int row_axis = 0;
    /// Values in each row of a grid (the product of the extents after the
    /// row axis); 1 otherwise.
    long long row_values = 1;
    /// The missing and packed values' rules that apply (none under --raw).
    value_rules rules;
};

/// Chooses column `column` (0-based) of a table: the dataset is then read as
/// that column alone. Local; throws tool_error for a one-dimensional dataset
/// or a column out of range.
void select_column(dataset_shape& shape, int column, const std::string& file);

/// Whether `shape` is a table read whole: more than one value per row and
/// no column chosen.
inline bool whole_table(const dataset_shape& shape)
{
    return shape.columns > 0 && shape.column < 0;
}

/// The extents as text: "(10, 20, 20)", "(1000,)".
std::string shape_text(const std::vector<long long>& dims);

/// The element type the dataset is held in: "double", "float", "int",
/// "Vector2" or "Vector3" (vectors only when no column is chosen); "double"
/// for packed values, which are unpacked into doubles.
std::string held_type(const dataset_shape& shape);

} // namespace virda_stats

#endif
