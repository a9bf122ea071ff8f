#include "statistics/poly_fit.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "framework/runtime/matrix.h"
#include "statistics/messages.h"
#include "statistics/temporaries.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <memory>

namespace {

/// Solves A c = b (A n x n, row-major) with the framework's matrix type: the
/// inverse of A times b. The returned matrices are copied at once, as the
/// runtime reuses their storage.
std::vector<double> solve_normal_equations(std::vector<double>& a, std::vector<double>& b, int n)
{
    matrix normal(a.data(), n, n);
    matrix rhs(b.data(), n, 1);
    matrix inverse = matrix_invert(normal);
    matrix solution = inverse * rhs;
    std::vector<double> coefficients(n, 0.0);
    const double* values = solution.get_data();
    if (solution.rows() == n && solution.cols() == 1) {
        for (int p = 0; p < n; ++p) {
            coefficients[p] = values[p];
        }
    }
    return coefficients;
}

function* zero_polynomial(int order)
{
    return new function(0, order);
}

/// What a negative order gives: the message, and the zero polynomial.
function* refuse_negative_order()
{
    virda_messages::report(virda_messages::poly_fit_negative_order);
    return zero_polynomial(0);
}

/// The polynomial of this order whose coefficients are all NaN: the fit of
/// data whose temporaries could not be made.
function* nan_polynomial(int order)
{
    std::unique_ptr<function> fit(new function(0, order));
    fit->set_coeffs(std::vector<double>(static_cast<std::size_t>(order) + 1, std::numeric_limits<double>::quiet_NaN()));
    return fit.release();
}

/// The least-squares polynomial of this order from its normal equations
/// A c = b, whose n = order + 1 rows fill(a, b, n) writes into the zeroed
/// row-major a (n x n) and b (n); fill returns false when it could not (a
/// temporary could not be made), which gives NaN coefficients. A negative
/// order gives the zero polynomial.
template <typename Fill>
function* fit_polynomial(int order, Fill fill)
{
    if (order < 0) {
        return refuse_negative_order();
    }
    const int n = order + 1;
    std::vector<double> a(static_cast<std::size_t>(n) * n, 0.0);
    std::vector<double> b(n, 0.0);
    if (!fill(a, b, n)) {
        return nan_polynomial(order);
    }
    std::unique_ptr<function> fit(new function(0, order));
    fit->set_coeffs(solve_normal_equations(a, b, n));
    return fit.release();
}

} // namespace

function* poly_fit(std::vector<double>& x, std::vector<double>& y, std::vector<double>& w, int order)
{
    if (order >= 0 && (y.size() < x.size() || w.size() < x.size())) {
        virda_messages::report(virda_messages::poly_fit_short_input);
        return zero_polynomial(order);
    }
    return fit_polynomial(order, [&](std::vector<double>& a, std::vector<double>& b, int n) {
        for (int i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < x.size(); ++j) {
                b[i] = y[j] * (std::pow(x[j], i) * w[j]) + b[i];
            }
            for (int k = 0; k < n; ++k) {
                double& entry = a[static_cast<std::size_t>(i) * n + k];
                for (std::size_t j = 0; j < x.size(); ++j) {
                    entry = w[j] * std::pow(x[j], i + k) + entry;
                }
            }
        }
        return true;
    });
}

function* poly_fit(std::vector<double>& x, std::vector<double>& y, int order)
{
    std::vector<double> w(x.size(), 1.0);
    return poly_fit(x, y, w, order);
}

function* poly_fit(Attribute& x, Attribute& y, Attribute& w, int order)
{
    using virda_detail::made_from;
    return fit_polynomial(order, [&](std::vector<double>& a, std::vector<double>& b, int n) {
        // Every rank makes the same calls in this order: for each i, b(i)
        // first, then the row A(i, 0) .. A(i, n - 1). A temporary that could
        // not be made (a failed creation, alike on every rank) ends the fill
        // on every rank.
        for (int i = 0; i < n; ++i) {
            {
                const Attribute p = pow(x, static_cast<double>(i));
                if (!made_from(p, x)) {
                    return false;
                }
                const Attribute q = p * w;
                if (!made_from(q, p)) {
                    return false;
                }
                const Attribute r = q * y;
                if (!made_from(r, q)) {
                    return false;
                }
                b[i] = sum(r);
            }
            for (int k = 0; k < n; ++k) {
                const Attribute p = pow(x, static_cast<double>(i + k));
                if (!made_from(p, x)) {
                    return false;
                }
                const Attribute q = p * w;
                if (!made_from(q, p)) {
                    return false;
                }
                a[static_cast<std::size_t>(i) * n + k] = sum(q);
            }
        }
        return true;
    });
}

function* poly_fit(Attribute& x, Attribute& y, int order)
{
    using virda_detail::made_from;
    if (order < 0) {
        return refuse_negative_order();
    }
    // The unit weights x * 0.0 + 1.0; the product is released once they are made.
    Attribute w = [&] {
        Attribute zeros = x * scalar_variant(0.0);
        if (!made_from(zeros, x)) {
            return zeros;
        }
        return zeros + scalar_variant(1.0);
    }();
    if (!made_from(w, x)) {
        return nan_polynomial(order);
    }
    return poly_fit(x, y, w, order);
}
