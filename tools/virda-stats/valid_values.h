#ifndef VIRDA_TOOLS_VIRDA_STATS_VALID_VALUES_H
#define VIRDA_TOOLS_VIRDA_STATS_VALID_VALUES_H

// The values that the statistics take: those not missing by the
// conventions (conventions.h), unpacked; their per-column facts, combined
// over the ranks in one reduction; and arrays of just those values.

#include "conventions.h"
#include "moments.h"

#include "framework/attribute/attribute.h"

#include <mpi.h>

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

namespace virda_stats {

/// What a column's values are, short of the statistics that need the
/// library. Every member combines over ranks by a sum or an extreme.
struct column_facts {
    /// Values the statistics take (NaN included unless skipped).
    long long count = 0;
    /// NaN values among those not missing, once unpacked (stored NaN and NaN
    /// made by unpacking; taken or, with --skip-nan, not).
    long long nan = 0;
    /// Values missing by the conventions' attributes.
    long long missing = 0;
    /// The extremes of the unpacked values taken that are not NaN; +inf and
    /// -inf when there are none.
    double min = std::numeric_limits<double>::infinity();
    double max = -std::numeric_limits<double>::infinity();

    /// Whether there is a value that is not NaN to give the extremes.
    bool has_extremes() const { return min <= max; }
    /// What moment_of needs to know of the values taken under `rules`.
    magnitude magnitude_of(const value_rules& rules) const;
};

/// This rank's facts of `k` interleaved columns: value i of column c at
/// values[i * k + c], for i < n. Local.
template <typename T>
std::vector<column_facts> local_facts(const T* values, std::size_t n, int k, const value_rules& rules);

/// Combines every rank's facts of the same columns, all columns in one
/// reduction (a custom operation over records of five numbers). Collective
/// over `comm`.
void combine_facts(std::vector<column_facts>& facts, MPI_Comm comm);

/// Whether the values taken differ from the values read: some are left out,
/// or they are unpacked.
inline bool values_change(const column_facts& f, const value_rules& rules)
{
    return rules.packed || f.missing > 0 || (rules.skip_nan && f.nan > 0);
}

/// A new array (held in an attribute) of the values taken among this rank's
/// `n` values at values[0], values[stride], ..., unpacked (double when the
/// rules unpack, T otherwise), in their global order, `total` of them over
/// all ranks, distributed over `comm` like every array (the values move to
/// the ranks that hold them: one all-gather of the counts and one
/// all-to-all). `keep`, when given, says which of the n values are taken (a
/// paired statistic takes a row only where every dataset has a value);
/// otherwise the rules decide. `total` must be above 0; `name` is for the
/// refusal of an array that cannot be allocated. Collective over `comm`.
template <typename T>
Attribute taken_array(const T* values, std::size_t n, std::size_t stride, const value_rules& rules,
                      const std::vector<char>* keep, long long total, const std::string& name, MPI_Comm comm);

/// f(block, n) for the block of a held array of numbers, double, float or
/// int (T const* and its element count on this rank); nothing for other
/// element types. Local.
template <typename F>
void with_number_block(const Attribute& a, F&& f);

} // namespace virda_stats

#include "valid_values_impl.h"

#endif
