#include "statistics/function.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "statistics/messages.h"
#include "statistics/temporaries.h"

#include <cmath>
#include <iostream>
#include <limits>
#include <utility>

function::function() : type(0), order(2), coeffs(3, 0.0) {}

function::function(int type, int order) : type(type), order(order), coeffs()
{
    if (order < 0) {
        virda_messages::report(virda_messages::function_negative_order);
        this->order = -1;
        return;
    }
    coeffs.assign(static_cast<std::size_t>(order) + 1, 0.0);
}

void function::set_order(int new_order)
{
    if (new_order < 0) {
        virda_messages::report(virda_messages::function_negative_order);
        return;
    }
    order = new_order;
    coeffs.resize(static_cast<std::size_t>(order) + 1, 0.0);
}

void function::set_coeffs(std::vector<double> c)
{
    coeffs = std::move(c);
    order = static_cast<int>(coeffs.size()) - 1;
}

double function::eval(double x) const
{
    double total = 0.0;
    if (type != 0) {
        return total;
    }
    for (int i = 0; i <= order; ++i) {
        total = total + coeffs[i] * std::pow(x, i);
    }
    return total;
}

std::vector<double> function::eval(std::vector<double> xs) const
{
    std::vector<double> result(xs.size(), 0.0);
    if (type != 0) {
        return result;
    }
    for (int i = 0; i <= order; ++i) {
        for (std::size_t j = 0; j < xs.size(); ++j) {
            result[j] = std::pow(xs[j], i) * coeffs[i] + result[j];
        }
    }
    return result;
}

namespace {

/// Adds coeffs[i] * pow(x, i) to `result`, i ascending; false, on every rank
/// alike, as soon as a temporary could not be made (its arrays released).
bool add_powers(const std::vector<double>& coeffs, int order, Attribute& x, Attribute& result)
{
    using virda_detail::made_from;
    for (int i = 0; i <= order; ++i) {
        const Attribute p = pow(x, static_cast<double>(i));
        if (!made_from(p, x)) {
            return false;
        }
        const Attribute q = coeffs[i] * p;
        if (!made_from(q, p)) {
            return false;
        }
        Attribute next = result + q;
        if (!made_from(next, result)) {
            return false;
        }
        result = std::move(next);
    }
    return true;
}

} // namespace

Attribute function::eval(Attribute& x) const
{
    // Starting from x * 0.0 gives the result x's shape and distribution, and
    // a NaN wherever x is not finite.
    Attribute result = x * scalar_variant(0.0);
    if (virda_detail::made_from(result, x) && (type != 0 || add_powers(coeffs, order, x, result))) {
        return result;
    }
    // An array on the way could not be made: NaN at every element rather than
    // a partial sum (and an empty attribute, as any arithmetic result that
    // cannot be had, if even this array cannot be made).
    return x * scalar_variant(std::numeric_limits<double>::quiet_NaN());
}
