#ifndef VIRDA_STATISTICS_FUNCTION_H
#define VIRDA_STATISTICS_FUNCTION_H

/// \file
/// The parametrised function class function.

#include <vector>

class Attribute;

/// A parametrised function of one variable. Type 0 is the polynomial
/// coeffs[0] + coeffs[1] x + ... + coeffs[order] x^order, the only type that
/// evaluates to anything: every other type evaluates to zero. coeffs always
/// holds order + 1 entries (none for order -1, the zero function).
class function {
public:
    /// Type 0, order 2, coefficients {0, 0, 0}.
    function();
    /// `order` + 1 zero coefficients. A negative order writes
    /// `function_negative_order` and gives order -1 (no coefficients: the zero
    /// function).
    function(int type, int order);

    /// Sets the type; the coefficients stay. Any type but 0 evaluates to zero.
    void set_type(int type) { this->type = type; }
    /// Keeps the coefficients up to the new order, drops the others, and adds
    /// zeros as needed. A negative order writes `function_negative_order` and
    /// changes nothing.
    void set_order(int order);
    /// The coefficients, ascending powers; the order becomes their count - 1.
    void set_coeffs(std::vector<double> c);

    /// The type (0: polynomial).
    int get_type() const { return type; }
    /// The order: the number of coefficients - 1 (-1 for the zero function).
    int get_order() const { return order; }
    /// The coefficients, ascending powers.
    const std::vector<double>& get_coeffs() const { return coeffs; }

    /// The value at x, terms added in ascending powers.
    double eval(double x) const;
    /// The value at every entry, each summed exactly as eval(double) does.
    std::vector<double> eval(std::vector<double> xs) const;
    /// A new attribute of x's shape and distribution holding the value at
    /// every element, built as x * 0.0 plus, per power i in ascending order,
    /// coeffs[i] * pow(x, i). An element that is NaN or infinite gives NaN.
    /// When an array on the way cannot be made (no block on some rank, no
    /// window: the creation's line is written on every rank), the result is
    /// NaN at every element instead, or an empty attribute if even that array
    /// cannot be made. Collective (every rank evaluates the same function on
    /// the same x).
    Attribute eval(Attribute& x) const;

private:
    int type;
    int order;
    std::vector<double> coeffs;
};

#endif
