#ifndef VIRDA_TOOLS_VIRDA_STATS_PAIRED_SLABS_H
#define VIRDA_TOOLS_VIRDA_STATS_PAIRED_SLABS_H

// Datasets that pair value by value (x with its weights, x with y), read
// side by side slab by slab: each rank reads the same rows of every one of
// them, as doubles, within the memory budget, and passes on the values that
// every dataset has (a row missing in one is left out of all), unpacked.

#include "dataset_shape.h"
#include "h5_reader.h"
#include "report.h"

#include <mpi.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace virda_stats {

class paired_slabs {
public:
    /// The values taken of one slab: values[d][i] is the i-th value taken of
    /// dataset d (in the order given to the constructor), i < count.
    using slab_function = std::function<void(const double* const* values, std::size_t count)>;

    /// Plans the slabs of `shapes` (x first; every one with the same rows and
    /// values per row) within `memory_budget` bytes per rank and allocates
    /// them. Collective over `comm`: every rank throws the same tool_error
    /// when the datasets do not pair value by value, or when a rank's slabs
    /// do not fit in its memory (checked before, and after, allocating).
    paired_slabs(const h5_input& in, std::vector<const dataset_shape*> shapes, std::size_t memory_budget,
                 MPI_Comm comm);

    /// Reads every slab of this rank and calls f with the values taken of
    /// each. The first pass also counts, per dataset, the values missing,
    /// the NaN left out (--skip-nan) and the wide integers beyond 2^53.
    /// Collective over `comm`: every rank reads the same number of slabs (a
    /// rank past its last row reads none and still takes part), and a read
    /// that fails on any rank throws the same tool_error on every rank. f
    /// must not throw on some ranks only.
    void pass(const slab_function& f);

    /// After the first pass: the counts over all ranks into `refs` (one per
    /// dataset, or null) and the number of rows taken. Collective over
    /// `comm`: one MPI_Allreduce; every rank throws the same tool_error when
    /// no value is left.
    long long settle(const std::vector<dataset_ref*>& refs);

    /// Times the slabs were read.
    int passes() const { return passes_; }

private:
    const h5_input& in_;
    std::vector<const dataset_shape*> shapes_;
    MPI_Comm comm_;
    long long first_row_ = 0;
    long long own_rows_ = 0;
    long long slab_rows_ = 1;
    long long slabs_ = 0;
    std::size_t per_row_ = 1;
    std::vector<std::vector<double>> buffers_;
    /// Per dataset: values missing, NaN left out, values beyond 2^53; then
    /// the values taken (this rank's, until settle).
    std::vector<long long> counts_;
    int passes_ = 0;
};

} // namespace virda_stats

#endif
