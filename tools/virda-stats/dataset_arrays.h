#ifndef VIRDA_TOOLS_VIRDA_STATS_DATASET_ARRAYS_H
#define VIRDA_TOOLS_VIRDA_STATS_DATASET_ARRAYS_H

// Datasets read into the attributes that the library's statistics take.

#include "dataset_shape.h"
#include "h5_reader.h"
#include "report.h"

#include "framework/attribute/attribute.h"

#include <mpi.h>

#include <string>
#include <utility>
#include <vector>

namespace virda_stats {

/// An attribute taking over a freshly read array (no MPI call).
template <typename T>
Attribute hold(va<T>&& data)
{
    Attribute a;
    a.set_attribute(array_variant(std::move(data)));
    return a;
}

/// What a run reports about a dataset it read, from its shape.
dataset_ref ref_of(const dataset_shape& s);

/// Records in `ref` (when given) what a read found about the exactness of
/// wide integers: `beyond_exact` more values beyond 2^53.
void note_read(dataset_ref* ref, const dataset_shape& s, long long beyond_exact);

/// h5_input::inspect, settled by every rank together: inspect() is the same
/// on every rank, but a rank that failed for a local reason must not leave
/// alone. Collective over `comm`.
dataset_shape inspect_together(const h5_input& in, const std::string& name, const reading_options& reading,
                               MPI_Comm comm);

/// A one-dimensional dataset (or one column, or a grid) held in its own
/// element type, as stored. Collective over the file's communicator, as
/// h5_input::read.
Attribute read_numbers(const h5_input& in, const dataset_shape& s, dataset_ref* ref);

/// The datasets of one statistic, read (read_numbers) and paired element by
/// element: reduces every array to the elements that the rules of every
/// dataset take (a row missing in one is left out of all), unpacked, and
/// records in each ref how many values were missing or skipped. Nothing
/// changes when no dataset has rules. Returns the elements left, the same
/// in every array. Collective over `comm`: every rank throws the same
/// tool_error when no element is left.
long long take_values(const std::vector<Attribute*>& arrays, const std::vector<const dataset_shape*>& shapes,
                      const std::vector<dataset_ref*>& refs, MPI_Comm comm);

} // namespace virda_stats

#endif
