#ifndef VIRDA_ENGINE_HISTOGRAM_DD_H
#define VIRDA_ENGINE_HISTOGRAM_DD_H

/// \file
/// Histograms of points in any number of dimensions, with optional weights
/// totalled exactly per bin, finished on every rank.

#include "engine/bin_location.h"
#include "engine/views.h"

#include <mpi.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace virda::engine {

/// Releases a block of zeroed pages of histogram_dd()'s: one of
/// std::calloc's, or for many bins a mapping of its own (of huge pages where
/// the system gives them on request).
struct zeroed_pages_release {
    /// The mapping's bytes; 0 for a block of std::calloc's.
    std::size_t mapped = 0;
    /// Unmaps or frees the block at p.
    void operator()(void* p) const noexcept;
};

/// The form histogram_dd() gives the points per bin in.
enum class bin_count_form {
    int64,   ///< histogram_dd_result::counts
    float64, ///< histogram_dd_result::double_counts
    none,    ///< neither (with weights, for a caller that wants only their totals)
};

/// What histogram_dd() gives, on every rank: one entry per bin, in the C
/// order of bin_numbering::within_edges.
struct histogram_dd_result {
    /// Points per bin (exact), with bin_count_form::int64.
    std::vector<std::int64_t> counts;
    /// Points per bin as doubles (exact), with bin_count_form::float64,
    /// counted in place in pages the system zeroes as they are first
    /// touched: a histogram of many bins is zeroed once and never converted.
    std::unique_ptr<double[], zeroed_pages_release> double_counts;
    /// With weights: the weights' total per bin, the exact total rounded
    /// once to the nearest double (ties to even; +-inf beyond the range).
    /// A bin with a NaN weight, or with both +inf and -inf, totals NaN; one
    /// with +inf (-inf) only, +inf (-inf). Empty without weights.
    std::vector<double> weight_totals;
};

/// Counts the points of every rank of comm in the bins of `axes` (a point
/// in no bin, NaN or outside the edges along some axis, is not counted),
/// and with `weights` (one per point, of any number type; null for none)
/// totals them per bin. Point i of this rank has coordinate
/// coordinates[d] value i along axis d (all runs one length), or is row i
/// of `points`.
///
/// Totals are the same bits at any rank count and any split of the points.
/// With at most 4096 bins each bin's total is an exact total of 76 int64
/// (see exact_sum), built in the one pass that locates the points, summed
/// over the ranks as integers and rounded once. With more bins each bin's
/// total is held as a fixed-point integer in units of 2^u, u the
/// exponent of the lowest bit set in any weight of any rank, wide enough for
/// the largest weight times the number of points (64 bits per word; one
/// word for weights of one sign within a 2^40 range and a few million
/// points, two for most doubles), summed over the ranks as an integer and
/// rounded once.
///
/// Without weights, beyond 2^22 bins the points' bins are found a million at
/// a time and grouped by block of neighbouring bins before they are counted
/// (16 MiB more, so that the increments land in cache).
///
/// `form` chooses how the counts are given (int64 by default). Counts as
/// doubles are counted as doubles (exact: whole numbers below 2^53) and
/// summed over the ranks as doubles, exactly, so the same bits as the int64
/// counts converted; beyond 2^53 points in all they are counted in int64 and
/// converted.
///
/// Memory per bin, on every rank: 8 bytes of count (none with
/// bin_count_form::none) plus, with weights, 8
/// bytes per word of the total and 8 bytes of the rounded result (1 byte
/// more when some weight is not finite); MPI's reduction may need as much
/// again. The bins are limited to 2^62 in all (error(invalid_argument)) and
/// in practice by this memory: the histogram is held whole on every rank,
/// and bins whose counts, totals and a copy of them would not fit in the
/// machine's physical memory are refused as an allocation failure.
///
/// Three reductions plus one per 2^30 bins: an MPI_Allreduce that agrees on
/// the arguments, the allocation and (beyond 4096 bins) the weights' range,
/// then the counts, then the totals. A rank with coordinates that do not match the axes, or
/// weights of another length, or that could not allocate, makes every rank
/// throw (error(invalid_argument), error(out_of_memory)); ranks given other
/// bins or only some of them weights throw error(ranks_disagree). This is a
/// collective operation and must be called by all processes in the
/// communicator.
///@{
histogram_dd_result histogram_dd(const std::vector<bin_axis>& axes, const std::vector<values_view>& coordinates,
                                 const values_view* weights, MPI_Comm comm,
                                 bin_count_form form = bin_count_form::int64);
histogram_dd_result histogram_dd(const std::vector<bin_axis>& axes, const table_view& points,
                                 const values_view* weights, MPI_Comm comm,
                                 bin_count_form form = bin_count_form::int64);
///@}

} // namespace virda::engine

#endif
