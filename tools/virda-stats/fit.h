#ifndef VIRDA_TOOLS_VIRDA_STATS_FIT_H
#define VIRDA_TOOLS_VIRDA_STATS_FIT_H

#include "report.h"

#include <mpi.h>

#include <vector>

class Attribute;

namespace virda_stats {

/// The variable a polynomial is fitted in: x' = (x - centre) / scale, which
/// maps the range [lo, hi] of the data onto [-1, 1].
struct fit_variable {
    double centre = 0.0;
    double scale = 1.0;
};

/// centre = lo/2 + hi/2 and scale = hi/2 - lo/2 (halved first, so that no
/// range of finite doubles overflows); scale 1 when the range is empty or a
/// single value, and centre 0, scale 1 when lo or hi is not finite (no finite
/// x at all).
fit_variable fit_variable_for(double lo, double hi);

/// The coefficients, in ascending powers of x, of the polynomial whose
/// coefficients in x' = (x - centre) / scale are `scaled`. Computed in long
/// double by Horner's scheme on polynomials: p(x) = a0 + t (a1 + t (a2 + ...))
/// with t = x / scale - centre / scale.
std::vector<double> coefficients_in_x(const std::vector<double>& scaled, const fit_variable& v);

/// The 2-norm condition number of the symmetric n x n matrix `a` (row-major),
/// the ratio of its largest to its smallest eigenvalue (cyclic Jacobi):
/// infinity when the smallest is not positive (a singular or not positive
/// definite matrix), NaN when an entry is not finite.
double condition_number(std::vector<double> a, int n);

/// Above this condition number of the normal matrix the coefficients may
/// have lost more than 8 of their 16 significant digits: a warning.
inline constexpr double warn_condition = 1e8;
/// Above this they may have lost more than 12, and the fitted values more
/// than a few parts in 1e5: the fit is refused. (At or above 1 / epsilon, or
/// with an eigenvalue that is not positive, the matrix is singular.)
inline constexpr double refuse_condition = 1e12;

/// Fits y against x (optionally weighted) with the library's poly_fit on the
/// attribute x' = (x + (-centre)) * (1 / scale), formed with attribute
/// arithmetic, the centre and scale from the finite extremes of x over all
/// ranks. Reports the coefficients in x and in x', the variable, and the
/// condition number of the normal matrix the library solved (formed again
/// here from this rank's block of x' and the weights, and reduced over the
/// ranks). Refuses (tool_error, the same on every rank) a fit whose
/// coefficients are not finite, whose normal matrix is singular, or whose
/// condition number exceeds refuse_condition; sets `warning` above
/// warn_condition. Collective over `comm`, which must be x's communicator.
fit_result fit_polynomial(Attribute& x, Attribute& y, Attribute* w, int order, long long rows, MPI_Comm comm);

} // namespace virda_stats

#endif
