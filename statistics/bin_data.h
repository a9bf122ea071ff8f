#ifndef VIRDA_STATISTICS_BIN_DATA_H
#define VIRDA_STATISTICS_BIN_DATA_H

/// \file
/// bin_data: per-bin averages of one attribute over bins of another.

#include "framework/types/element_types.h"

#include <vector>

class Attribute;

/// Per-bin averages of y over bins of x: element j of x (double) chooses the
/// bin of element j of y. The bins have centres centres[0] + k w, k = 0 ..
/// centres.size() - 1, with w = centres[1] - centres[0] (later entries are
/// not consulted); bin k is [c0 + (k - 1/2) w, c0 + (k + 1/2) w) for every k,
/// and values outside every bin, or NaN, are dropped. Result: the mean of the
/// y values of each bin, 0.0 for an empty bin, the same on every rank.
///
/// Each rank handles the pairs whose y elements it holds, reading the matching
/// x elements from wherever they are held: x and y may be distributed over
/// different communicators (another rank order, or fewer processes, such as
/// MPI_COMM_SELF); element j of x still pairs with element j of y. y must hold
/// int, float or double elements; for any other y the centres come back
/// unchanged with no communication. An x that does not hold double elements
/// writes `type_mismatch` on the ranks that hold elements of y, whose pairs are
/// then dropped. Fewer than two centres write `bin_data_few_centres` and return
/// the centres, with no communication.
///
/// The counts are exact. The sums are double sums of the y values, in element
/// order on each rank, combined over the ranks by MPI_SUM: every rank gets the
/// same averages, but, unlike the totals of mean, stdev and poly_fit and the
/// order statistics of quantile and median, they are not the exact totals
/// rounded once, so their last bits can change with the number of ranks (and
/// the distribution of y). Exact per-bin totals (the pairs sorted by bin,
/// then an exact sum per bin) took three times the binning's time.
///
/// Collective over VIRDA_COMM (two MPI_Allreduce: sums, then counts). When
/// parts of the job call it each with attributes distributed over that part,
/// the sums and counts of all their pairs are added together: every rank gets
/// the averages of the union. A rank that cannot get memory for its per-bin
/// sums and counts, or for its block of x, throws std::bad_alloc before the
/// reductions, on that rank only, as histogram does (see there).
std::vector<double> bin_data(Attribute& x, Attribute& y, std::vector<double> centres);

/// The worker of bin_data for y elements of type T (int, float or double);
/// the last argument only selects T. Rejects fewer than two centres as
/// bin_data does. Collective over VIRDA_COMM, as bin_data.
template <typename T>
std::vector<double> bin_data_template(Attribute& x, Attribute& y, std::vector<double> centres, T tag);

/// \cond internal
#define VIRDA_EXTERN_BIN_DATA(T) \
    extern template std::vector<double> bin_data_template<T>(Attribute&, Attribute&, std::vector<double>, T);
VIRDA_FOR_EACH_REAL_TYPE(VIRDA_EXTERN_BIN_DATA)
#undef VIRDA_EXTERN_BIN_DATA
/// \endcond

#endif
