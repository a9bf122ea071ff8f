#include "statistics/poly_fit.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "framework/runtime/matrix.h"
#include "framework/messages.h"

#include <cmath>
#include <iostream>
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
    std::cerr << virda_messages::poly_fit_negative_order << std::endl;
    return zero_polynomial(0);
}

/// The least-squares polynomial of this order from its normal equations
/// A c = b, whose n = order + 1 rows fill(a, b, n) writes into the zeroed
/// row-major a (n x n) and b (n). A negative order gives the zero polynomial.
template <typename Fill>
function* fit_polynomial(int order, Fill fill)
{
    if (order < 0) {
        return refuse_negative_order();
    }
    std::unique_ptr<function> fit(new function(0, order));
    const int n = order + 1;
    std::vector<double> a(static_cast<std::size_t>(n) * n, 0.0);
    std::vector<double> b(n, 0.0);
    fill(a, b, n);
    fit->set_coeffs(solve_normal_equations(a, b, n));
    return fit.release();
}

} // namespace

function* poly_fit(std::vector<double>& x, std::vector<double>& y, std::vector<double>& w, int order)
{
    if (order >= 0 && (y.size() < x.size() || w.size() < x.size())) {
        std::cerr << virda_messages::poly_fit_short_input << std::endl;
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
    });
}

function* poly_fit(std::vector<double>& x, std::vector<double>& y, int order)
{
    std::vector<double> w(x.size(), 1.0);
    return poly_fit(x, y, w, order);
}

function* poly_fit(Attribute& x, Attribute& y, Attribute& w, int order)
{
    return fit_polynomial(order, [&](std::vector<double>& a, std::vector<double>& b, int n) {
        // Every rank makes the same calls in this order: for each i, b(i)
        // first, then the row A(i, 0) .. A(i, n - 1).
        for (int i = 0; i < n; ++i) {
            {
                const Attribute p = pow(x, static_cast<double>(i));
                const Attribute q = p * w;
                b[i] = sum(q * y);
            }
            for (int k = 0; k < n; ++k) {
                const Attribute p = pow(x, static_cast<double>(i + k));
                a[static_cast<std::size_t>(i) * n + k] = sum(p * w);
            }
        }
    });
}

function* poly_fit(Attribute& x, Attribute& y, int order)
{
    if (order < 0) {
        return refuse_negative_order();
    }
    Attribute w = (x * scalar_variant(0.0)) + scalar_variant(1.0);
    return poly_fit(x, y, w, order);
}
