#include "statistics/function.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "framework/messages.h"

#include <cmath>
#include <iostream>

function::function() : type(0), order(2), coeffs(3, 0.0) {}

function::function(int type, int order) : type(type), order(order), coeffs()
{
    if (order < 0) {
        std::cerr << virda_messages::function_negative_order << std::endl;
        this->order = -1;
        return;
    }
    coeffs.assign(static_cast<std::size_t>(order) + 1, 0.0);
}

void function::set_order(int new_order)
{
    if (new_order < 0) {
        std::cerr << virda_messages::function_negative_order << std::endl;
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

Attribute function::eval(Attribute& x) const
{
    // Starting from x * 0.0 gives the result x's shape and distribution, and
    // a NaN wherever x is not finite.
    Attribute result = x * scalar_variant(0.0);
    if (type != 0) {
        return result;
    }
    for (int i = 0; i <= order; ++i) {
        const Attribute p = pow(x, static_cast<double>(i));
        const Attribute q = coeffs[i] * p;
        result = result + q;
    }
    return result;
}
