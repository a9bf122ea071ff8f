#ifndef VIRDA_TOOLS_VIRDA_STATS_GRID_OR_TABLE_H
#define VIRDA_TOOLS_VIRDA_STATS_GRID_OR_TABLE_H

#include "dataset_shape.h"

#include <hdf5.h>

#include <string>

namespace virda_stats {

/// Sets how a dataset of two or more dimensions is read. A netCDF-4
/// variable (an HDF5 dataset with dimension scales attached: a
/// DIMENSION_LIST attribute) and any dataset of three or more dimensions is
/// a grid; other two-dimensional datasets are tables, as tables of shape
/// (n, k) written by other HDF5 software are. --layout chooses for 2-D
/// datasets, and --column makes them tables. Local; throws tool_error for a table of more than two
/// dimensions.
void choose_layout(hid_t dataset, dataset_shape& shape, const reading_options& reading, const std::string& where);

} // namespace virda_stats

#endif
