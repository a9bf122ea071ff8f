#ifndef VIRDA_TOOLS_VIRDA_STATS_NETCDF_OUTPUT_H
#define VIRDA_TOOLS_VIRDA_STATS_NETCDF_OUTPUT_H

// The netCDF-4 file that reduce writes: one variable per statistic over the
// dimensions kept, with their dimension scales and coordinate variables.

#include "dataset_shape.h"
#include "dimension_scales.h"
#include "h5_reader.h"
#include "reduction.h"

#include <mpi.h>

#include <string>
#include <vector>

namespace virda_stats {

/// The name of the variable of statistic `s` of variable `variable`:
/// "t2m_mean", "t2m_q0.9" (the last component of a path).
std::string reduced_variable_name(const std::string& variable, const statistic& s);

/// The fill value of the statistics of a reduction of `s`: the input's own
/// _FillValue when it has exactly one and its values are not packed,
/// otherwise netCDF's default fill value of float and double (9.96921e36).
/// Local.
double reduced_fill_value(const dataset_shape& s);

/// Writes `field`, reduce's result for variable `s` of `in` along the
/// dimensions `reduced` of `dims`, to the netCDF-4 file `path` (created or
/// replaced): every dimension kept as a dimension scale (a copy of its
/// coordinate variable with its attributes where the input has one), and
/// each statistic as a variable over them with the input variable's
/// attributes (not those of missing and packed values, which no longer
/// apply), `cell_methods` ("time: mean") and `_FillValue` in the cells with
/// no value. count is a 64-bit integer variable. Every rank writes its
/// share of the rows of the first dimension kept, with an independent
/// transfer. Collective over `comm`: every rank throws the same tool_error
/// when the file cannot be written, and a file left incomplete is removed.
void write_reduced_file(const std::string& path, const h5_input& in, const dataset_shape& s,
                        const std::vector<dimension_info>& dims, const std::vector<int>& reduced,
                        const std::vector<statistic>& stats, const reduced_field& field, MPI_Comm comm);

} // namespace virda_stats

#endif
