#include "long_double_totals.h"

#include <cfloat>
#include <cmath>
#include <cstdint>

namespace virda_python {

using virda::engine::detail::add_scaled;
using virda::engine::detail::exact_total;
using virda::engine::detail::flag_any;
using virda::engine::detail::flag_nan;
using virda::engine::detail::flag_neg_inf;
using virda::engine::detail::flag_not_negzero;
using virda::engine::detail::flag_pos_inf;
using virda::engine::detail::i128;
using virda::engine::detail::normalise;
using virda::engine::detail::round_to_double;
using virda::engine::detail::u128;

namespace {

static_assert(long_double_is_extended(), "the module reads long double as the 80-bit extended format");

/// Places 0 .. highest_place of the total (units of 2^-1074).
constexpr int highest_place = virda::engine::detail::digit_bits * (virda::engine::detail::digit_count - 4);

/// |x| = significand * 2^(place - 1074) with a 64-bit significand (x finite, non-zero).
void split(long double x, std::uint64_t* significand, int* place)
{
    int e = 0;
    const long double f = std::frexp(std::fabs(x), &e); // [0.5, 1) * 2^e
    *significand = static_cast<std::uint64_t>(std::ldexp(f, 64));
    *place = e - 64 + 1074;
}

/// Adds a signed 128-bit magnitude at a place (two 64-bit halves).
void add_wide(exact_total& t, u128 magnitude, bool negative, int place)
{
    const auto low = static_cast<i128>(magnitude & ~std::uint64_t{0});
    const auto high = static_cast<i128>(magnitude >> 64);
    add_scaled(t, negative ? -low : low, place);
    if (high != 0) {
        add_scaled(t, negative ? -high : high, place + 64);
    }
}

/// The total's sign after the special values: -1, 0 or 1.
int sign_of(exact_total t)
{
    normalise(t);
    const double d = round_to_double(t);
    return d > 0 ? 1 : (d < 0 ? -1 : 0);
}

} // namespace

bool add_long_double(exact_total& t, long double x)
{
    if (std::isnan(x)) {
        t.flags[flag_any] = 1;
        t.flags[flag_nan] = 1;
        t.flags[flag_not_negzero] = 1;
        return true;
    }
    if (std::isinf(x)) {
        t.flags[flag_any] = 1;
        t.flags[x > 0 ? flag_pos_inf : flag_neg_inf] = 1;
        t.flags[flag_not_negzero] = 1;
        return true;
    }
    if (std::fabs(x) > static_cast<long double>(DBL_MAX)) {
        return false;
    }
    t.flags[flag_any] = 1;
    if (x == 0) {
        if (!std::signbit(x)) {
            t.flags[flag_not_negzero] = 1;
        }
        return true;
    }
    std::uint64_t m = 0;
    int place = 0;
    split(x, &m, &place);
    if (place < 0) {
        if (place <= -64 || (m & ((std::uint64_t{1} << -place) - 1)) != 0) {
            return false; // bits below float64's least subnormal
        }
        m >>= -place;
        place = 0;
    }
    t.flags[flag_not_negzero] = 1;
    add_wide(t, m, std::signbit(x), place);
    return true;
}

bool add_square(exact_total& t, long double x)
{
    if (!std::isfinite(x)) {
        return false;
    }
    t.flags[flag_any] = 1;
    t.flags[flag_not_negzero] = 1;
    if (x == 0) {
        return true;
    }
    std::uint64_t m = 0;
    int place = 0;
    split(x, &m, &place);
    // x^2 = m^2 * 2^(2 (place - 1074)): at place 2 place - 1074.
    u128 square = static_cast<u128>(m) * m;
    int at = 2 * place - 1074;
    if (at < 0) {
        if (at <= -128) {
            return true; // below 2^-1074 whole: nothing the total can hold
        }
        square >>= -at; // below float64's least subnormal: dropped
        at = 0;
    }
    if (at + 128 > highest_place) {
        return false;
    }
    add_wide(t, square, false, at);
    return true;
}

bool round_to_long_double(const exact_total& given, long double* out)
{
    exact_total t = given;
    normalise(t);
    const double hi = round_to_double(t);
    if (!std::isfinite(hi) || hi == 0) {
        const bool special = t.flags[flag_nan] != 0 || t.flags[flag_pos_inf] != 0 || t.flags[flag_neg_inf] != 0;
        *out = hi;
        return special || std::isfinite(hi);
    }
    // The remainder after hi, then after its own rounding lo: hi + lo holds
    // 106 bits, past long double's 64; the second remainder decides a tie.
    exact_total rest = t;
    rest.flags = {};
    rest.flags[flag_any] = 1;
    rest.flags[flag_not_negzero] = 1;
    add_long_double(rest, -static_cast<long double>(hi));
    normalise(rest);
    const double lo = round_to_double(rest);
    add_long_double(rest, -static_cast<long double>(lo));
    const int beyond = sign_of(rest);
    const long double a = hi;
    const long double b = lo;
    const long double s = a + b;
    // s + e == a + b exactly (two-sum; |b| <= |a|).
    const long double e = b - (s - a);
    long double r = s;
    if (e != 0 && beyond != 0 && (e > 0) == (beyond > 0)) {
        const long double toward = e > 0 ? HUGE_VALL : -HUGE_VALL;
        const long double half = (std::nextafter(s, toward) - s) / 2;
        if (e == half) {
            r = std::nextafter(s, toward); // past the tie the rounding broke to even
        }
    }
    *out = r;
    return true;
}

} // namespace virda_python
