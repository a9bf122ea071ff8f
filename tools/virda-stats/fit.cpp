#include "fit.h"

#include "collective_error.h"

#include "engine/error.h"
#include "engine/power_sums.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace virda_stats {

namespace {

std::string number(double v)
{
    return text_number(v, 3);
}

} // namespace

fit_result fit_polynomial(paired_slabs& slabs, double lo, double hi, bool weighted, int order, MPI_Comm comm)
{
    namespace engine = virda::engine;
    const int n = order + 1;

    // The finite extremes of x over all ranks (one reduction).
    double bounds[2] = {lo, -hi};
    MPI_Allreduce(MPI_IN_PLACE, bounds, 2, MPI_DOUBLE, MPI_MIN, comm);
    const fit_variable v = fit_variable_for(bounds[0], -bounds[1]);

    fit_result r;
    r.order = order;
    r.centre = v.centre;
    r.scale = v.scale;

    // The exact power sums of the fit in x' = (x - c) / s, over a second
    // read of the slabs.
    std::optional<engine::power_sums> sums;
    together(comm, [&] { sums.emplace(order, v.centre, v.scale); });
    slabs.pass([&](const double* const* values, std::size_t count) {
        const auto m = static_cast<std::int64_t>(count);
        if (weighted) {
            sums->add(engine::values_of(values[0], m), engine::values_of(values[1], m),
                      engine::values_of(values[2], m));
        } else {
            sums->add(engine::values_of(values[0], m), engine::values_of(values[1], m));
        }
    });
    engine::power_totals totals;
    try {
        totals = sums->finish(comm);
    } catch (const engine::error& e) {
        // Thrown alike on every rank.
        throw tool_error("poly-fit of order " + std::to_string(order) + " failed: " + e.what());
    }

    // The normal matrix A(i, k) = sum w x'^(i+k). Every rank holds the same
    // totals; every rank still decides on rank 0's number.
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < n; ++k) {
            a[static_cast<std::size_t>(i) * n + k] = totals.powers[static_cast<std::size_t>(i + k)];
        }
    }
    double condition = totals.finite() ? condition_number(a, n) : std::numeric_limits<double>::quiet_NaN();
    MPI_Bcast(&condition, 1, MPI_DOUBLE, 0, comm);
    r.condition = condition;

    const std::string what = "poly-fit of order " + std::to_string(order);
    const std::string not_finite = what + ": the fit has no finite coefficients: the data" +
                                   std::string(weighted ? " or the weights" : "") +
                                   " hold NaN or infinite values";
    if (std::isnan(condition)) {
        throw tool_error(not_finite);
    }
    // An eigenvalue below eps times the largest cannot be told from zero in
    // double precision: the matrix is singular as far as it can be known.
    const double eps = std::numeric_limits<double>::epsilon();
    if (std::isinf(condition) || condition * eps >= 1.0) {
        throw tool_error(what + ": the normal equations are singular (condition number " +
                         (std::isinf(condition) ? std::string("infinite") : number(condition)) +
                         "): the data do not determine " + std::to_string(n) +
                         " coefficients (too few distinct x values with positive weight); fit a lower order");
    }
    if (condition > refuse_condition) {
        throw tool_error(what + " cannot be trusted: the condition number of its normal matrix is " +
                         number(condition) + " even in the centred variable, so the coefficients may have lost " +
                         "all but " + number(std::max(0.0, std::floor(-std::log10(condition * eps)))) +
                         " significant digits; fit a lower order");
    }
    // The matrix is fit to solve (well below 1 / eps): its solution, with
    // the cutoff of a least-squares solver, which then drops nothing.
    const double points = static_cast<double>(totals.count);
    const double tolerance = std::max(points * eps * points * eps, n * eps);
    std::vector<double> work(virda_detail::normal_equations_workspace(n));
    r.scaled_coefficients.assign(static_cast<std::size_t>(n), 0.0);
    virda_detail::solve_normal_equations(a.data(), totals.moments.data(), n, tolerance, work.data(),
                                         r.scaled_coefficients.data());
    for (const double c : r.scaled_coefficients) {
        if (!std::isfinite(c)) {
            throw tool_error(not_finite);
        }
    }
    if (condition > warn_condition) {
        r.warning = what + ": the condition number of the normal matrix is " + number(condition) +
                    ": the coefficients may be accurate to only about " +
                    number(std::max(0.0, std::floor(-std::log10(condition * eps)))) + " significant digits";
    }
    r.coefficients = coefficients_in_x(r.scaled_coefficients, v);
    return r;
}

} // namespace virda_stats
