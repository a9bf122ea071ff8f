#ifndef VIRDA_STATISTICS_FIT_VARIABLE_H
#define VIRDA_STATISTICS_FIT_VARIABLE_H

// The centred, scaled variable a polynomial is fitted in, and the way back to
// powers of x. Shared by virda-stats and the Python module. Not installed.

#include <vector>

namespace virda_detail {

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

/// How much more rounding the polynomial picks up when it is evaluated from
/// its coefficients in powers of x (`in_x`) rather than in x' (`scaled`, both
/// ascending) over data reaching |x| <= reach: sum |in_x[j]| reach^j over
/// sum |scaled[k]| (the size of the polynomial on [-1, 1] in x'). About 1 for
/// data near 0; times the machine epsilon it is the relative error of the
/// values computed from `in_x`. 1 for the zero polynomial; infinity when the
/// sum overflows.
double power_basis_growth(const std::vector<double>& in_x, const std::vector<double>& scaled, double reach);

} // namespace virda_detail

#endif
