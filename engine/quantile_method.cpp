#include "engine/quantile_method.h"

#include <cmath>
#include <cstring>

namespace virda::engine {
namespace {

struct method_name {
    quantile_method method;
    const char* name;
};

constexpr method_name names[] = {
    {quantile_method::inverted_cdf, "inverted_cdf"},
    {quantile_method::averaged_inverted_cdf, "averaged_inverted_cdf"},
    {quantile_method::closest_observation, "closest_observation"},
    {quantile_method::interpolated_inverted_cdf, "interpolated_inverted_cdf"},
    {quantile_method::hazen, "hazen"},
    {quantile_method::weibull, "weibull"},
    {quantile_method::linear, "linear"},
    {quantile_method::median_unbiased, "median_unbiased"},
    {quantile_method::normal_unbiased, "normal_unbiased"},
    {quantile_method::lower, "lower"},
    {quantile_method::higher, "higher"},
    {quantile_method::midpoint, "midpoint"},
    {quantile_method::nearest, "nearest"},
};

/// The last index, n - 1, as NumPy's index arithmetic sees it.
double last_of(std::uint64_t n)
{
    return static_cast<double>(n - 1);
}

/// An index computed in double, clipped to [0, n - 1].
std::uint64_t index_at(double i, std::uint64_t n)
{
    if (!(i > 0)) {
        return 0;
    }
    return i >= last_of(n) ? n - 1 : static_cast<std::uint64_t>(i);
}

/// One value picked at a whole index.
quantile_position exact_at(double i, std::uint64_t n)
{
    quantile_position p;
    p.below = p.above = index_at(i, n);
    p.exact = true;
    return p;
}

/// The discontinuous methods' index: floor(index) where the condition holds,
/// floor(index) + 1 elsewhere, and not below 0.
template <typename Condition>
quantile_position to_boundary(double index, std::uint64_t n, Condition keep_previous)
{
    const double previous = std::floor(index);
    const double gamma = index - previous;
    return exact_at(keep_previous(gamma, previous) ? previous : previous + 1, n);
}

/// n q + (alpha + q (1 - alpha - beta)) - 1, in NumPy's order of operations.
double virtual_index(std::uint64_t n, double q, double alpha, double beta)
{
    return static_cast<double>(n) * q + (alpha + q * (1 - alpha - beta)) - 1;
}

/// The neighbours of a virtual index and its weight, as NumPy finds them:
/// at or beyond the last index both are the last value, below 0 both the
/// first, and the weight is taken against the neighbour so moved.
quantile_position between(double v, std::uint64_t n)
{
    quantile_position p;
    double previous = std::floor(v);
    if (v >= last_of(n)) {
        p.below = p.above = n - 1;
        previous = -1; // NumPy's index of the last value
    } else if (v < 0) {
        p.below = p.above = 0;
        previous = 0;
    } else {
        p.below = static_cast<std::uint64_t>(previous);
        p.above = p.below + 1;
    }
    p.gamma = v - previous;
    return p;
}

} // namespace

const char* name_of(quantile_method m)
{
    for (const method_name& entry : names) {
        if (entry.method == m) {
            return entry.name;
        }
    }
    return "";
}

bool quantile_method_named(const std::string& name, quantile_method* out)
{
    for (const method_name& entry : names) {
        if (name == entry.name) {
            *out = entry.method;
            return true;
        }
    }
    return false;
}

quantile_position position_of(double q, std::uint64_t n, quantile_method m)
{
    const double nd = static_cast<double>(n);
    switch (m) {
    case quantile_method::inverted_cdf:
        return to_boundary(nd * q - 1, n, [](double gamma, double) { return gamma == 0; });
    case quantile_method::closest_observation:
        // NumPy's floor(index) % 2 is Python's: never negative.
        return to_boundary(nd * q - 1 - 0.5, n, [](double gamma, double previous) {
            return gamma == 0 && std::fmod(std::fmod(previous, 2.0) + 2.0, 2.0) == 0;
        });
    case quantile_method::lower:
        return exact_at(std::floor(last_of(n) * q), n);
    case quantile_method::higher:
        return exact_at(std::ceil(last_of(n) * q), n);
    case quantile_method::nearest:
        // numpy.around: halves to even, as nearbyint in the default rounding.
        return exact_at(std::nearbyint(last_of(n) * q), n);
    case quantile_method::averaged_inverted_cdf: {
        quantile_position p = between(nd * q - 1, n);
        p.gamma = p.gamma == 0 ? 0.5 : 1.0;
        return p;
    }
    case quantile_method::midpoint: {
        const double h = last_of(n) * q;
        const double v = 0.5 * (std::floor(h) + std::ceil(h));
        quantile_position p = between(v, n);
        p.gamma = std::fmod(v, 1.0) == 0 ? 0.0 : 0.5;
        return p;
    }
    case quantile_method::interpolated_inverted_cdf:
        return between(virtual_index(n, q, 0, 1), n);
    case quantile_method::hazen:
        return between(virtual_index(n, q, 0.5, 0.5), n);
    case quantile_method::weibull:
        return between(virtual_index(n, q, 0, 0), n);
    case quantile_method::median_unbiased:
        return between(virtual_index(n, q, 1 / 3.0, 1 / 3.0), n);
    case quantile_method::normal_unbiased:
        return between(virtual_index(n, q, 3 / 8.0, 3 / 8.0), n);
    case quantile_method::linear:
        break;
    }
    return between(last_of(n) * q, n);
}

double interpolate(const number& a, const number& b, double gamma)
{
    double diff = 0;
    const number_type_facts& f = facts_of(a.type);
    if (a.type == number_type::float32) {
        diff = static_cast<double>(static_cast<float>(b.floating) - static_cast<float>(a.floating));
    } else if (f.floating) {
        diff = b.floating - a.floating;
    } else if (f.is_signed) {
        __extension__ const __int128 d = static_cast<__int128>(b.signed_) - a.signed_;
        diff = static_cast<double>(d);
    } else {
        __extension__ const __int128 d = static_cast<__int128>(b.unsigned_) - static_cast<__int128>(a.unsigned_);
        diff = static_cast<double>(d);
    }
    const double base = a.as_double();
    if (gamma >= 0.5) {
        return b.as_double() - diff * (1 - gamma);
    }
    return base + diff * gamma;
}

} // namespace virda::engine
