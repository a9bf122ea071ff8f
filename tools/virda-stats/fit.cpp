#include "fit.h"

#include "collective_error.h"

#include "framework/attribute/attribute.h"
#include "statistics/function.h"
#include "statistics/poly_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <type_traits>

namespace virda_stats {

namespace {

/// This rank's block of an attribute's array as doubles (numbers only; an
/// array of another element type gives NaN for each element).
struct local_values : boost::static_visitor<std::vector<double>> {
    template <typename T>
    std::vector<double> operator()(const va<T>& data) const
    {
        const int n = data.va_local_count();
        std::vector<double> out(static_cast<std::size_t>(n > 0 ? n : 0),
                                std::numeric_limits<double>::quiet_NaN());
        if constexpr (std::is_arithmetic_v<T>) {
            const T* block = data.va_local_data();
            for (int i = 0; i < n; ++i) {
                out[i] = static_cast<double>(block[i]);
            }
        }
        return out;
    }
};

std::vector<double> block_of(const Attribute& a)
{
    const array_variant* held = a.held();
    return held != nullptr ? boost::apply_visitor(local_values(), *held) : std::vector<double>();
}

std::string number(double v)
{
    return text_number(v, 3);
}

} // namespace

fit_result fit_polynomial(Attribute& x, Attribute& y, Attribute* w, int order, long long rows, MPI_Comm comm)
{
    const int n = order + 1;

    // The finite extremes of x over all ranks (one reduction).
    const std::vector<double> xb = block_of(x);
    double bounds[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    for (const double v : xb) {
        if (std::isfinite(v)) {
            bounds[0] = std::min(bounds[0], v);
            bounds[1] = std::min(bounds[1], -v);
        }
    }
    MPI_Allreduce(MPI_IN_PLACE, bounds, 2, MPI_DOUBLE, MPI_MIN, comm);
    const fit_variable v = fit_variable_for(bounds[0], -bounds[1]);

    // x' with attribute arithmetic: (x + (-c)) * (1 / s), an array of doubles.
    Attribute shifted = x + scalar_variant(-v.centre);
    Attribute xp = shifted * scalar_variant(1.0 / v.scale);
    together(comm, [&] {
        if (static_cast<long long>(xp.size()) != rows) {
            throw tool_error("poly-fit: the centred copy of the dataset could not be allocated (it does not fit "
                             "in memory)");
        }
    });

    fit_result r;
    r.order = order;
    r.centre = v.centre;
    r.scale = v.scale;

    // The normal matrix the library solved, A(i, k) = sum w x'^(i+k), from
    // the power sums of this rank's block (the unweighted form's weight is
    // x * 0 + 1: NaN where x is not finite), reduced over the ranks.
    const std::vector<double> xpb = block_of(xp);
    const std::vector<double> wb = w != nullptr ? block_of(*w) : std::vector<double>();
    std::vector<long double> local(static_cast<std::size_t>(2 * n - 1), 0.0L);
    for (std::size_t j = 0; j < xpb.size(); ++j) {
        const long double weight = w != nullptr ? (j < wb.size() ? wb[j] : std::numeric_limits<double>::quiet_NaN())
                                                : static_cast<long double>(xpb[j] * 0.0 + 1.0);
        long double power = weight;
        for (int m = 0; m < 2 * n - 1; ++m) {
            local[m] += power;
            power *= xpb[j];
        }
    }
    std::vector<double> sums(local.begin(), local.end());
    MPI_Allreduce(MPI_IN_PLACE, sums.data(), 2 * n - 1, MPI_DOUBLE, MPI_SUM, comm);
    std::vector<double> a(static_cast<std::size_t>(n) * n);
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < n; ++k) {
            a[static_cast<std::size_t>(i) * n + k] = sums[i + k];
        }
    }
    // Every rank decides on rank 0's number.
    double condition = condition_number(a, n);
    MPI_Bcast(&condition, 1, MPI_DOUBLE, 0, comm);
    r.condition = condition;

    const std::string what = "poly-fit of order " + std::to_string(order);
    const std::string not_finite = what + ": the fit has no finite coefficients: the data" +
                                   std::string(w != nullptr ? " or the weights" : "") +
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
    // The matrix is fit to solve: only now the library's fit, whose cost
    // grows with the square of the order.
    const std::unique_ptr<function> fit(w != nullptr ? poly_fit(xp, y, *w, order) : poly_fit(xp, y, order));
    r.order = fit->get_order();
    r.scaled_coefficients = fit->get_coeffs();
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
