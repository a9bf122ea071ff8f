#ifndef VIRDA_TOOLS_VIRDA_STATS_FIT_H
#define VIRDA_TOOLS_VIRDA_STATS_FIT_H

#include "paired_slabs.h"
#include "report.h"

#include "statistics/fit_variable.h"
#include "statistics/normal_equations.h"

#include <mpi.h>

#include <vector>


namespace virda_stats {

// The variable of the fit, the way back to powers of x and the condition
// number of the normal matrix are the library's (shared with the Python
// module).
using virda_detail::coefficients_in_x;
using virda_detail::condition_number;
using virda_detail::fit_variable;
using virda_detail::fit_variable_for;

/// Above this condition number of the normal matrix the coefficients may
/// have lost more than 8 of their 16 significant digits: a warning.
inline constexpr double warn_condition = 1e8;
/// Above this they may have lost more than 12, and the fitted values more
/// than a few parts in 1e5: the fit is refused. (At or above 1 / epsilon, or
/// with an eigenvalue that is not positive, the matrix is singular.)
inline constexpr double refuse_condition = 1e12;

/// Fits y against x (optionally weighted), x, y (and w) the values taken of
/// the paired datasets read by `slabs` (its first pass already made: `lo` and
/// `hi` are this rank's smallest and largest finite x, +inf and -inf for
/// none). The centre and scale come from the finite extremes of x over all
/// ranks; a second pass adds the power sums of the fit in
/// x' = (x - centre) / scale exactly (engine::power_sums), and the normal
/// equations of those totals are solved here. Reports the coefficients in x
/// and in x', the variable, and the condition number of the normal matrix.
/// Refuses (tool_error, the same on every rank) a fit whose totals or
/// coefficients are not finite, whose normal matrix is singular, or whose
/// condition number exceeds refuse_condition; sets `warning` above
/// warn_condition. Collective over `comm`.
fit_result fit_polynomial(paired_slabs& slabs, double lo, double hi, bool weighted, int order, MPI_Comm comm);

} // namespace virda_stats

#endif
