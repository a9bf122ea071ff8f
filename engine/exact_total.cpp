// The arithmetic of exact totals: adding scaled integers, normalising the
// digits, rounding once to a double, and the record form reduced over ranks.

#include "engine/exact_total.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace virda::engine::detail {

// Adds value * 2^position (in units of 2^-1074) to the digits.
// Needs |value| < 2^95 and 0 <= position <= 32 * (digit_count - 4).
void add_scaled(exact_total& t, i128 value, int position)
{
    const int k = position / digit_bits;
    // Shift as unsigned: a left shift of a negative value is undefined.
    i128 v = static_cast<i128>(static_cast<u128>(value) << (position % digit_bits));
    for (int j = 0; j < 3; ++j) {
        t.digits[k + j] += static_cast<std::int64_t>(v & digit_mask);
        v >>= digit_bits; // arithmetic: keeps the sign for the top digit
    }
    t.digits[k + 3] += static_cast<std::int64_t>(v);
}

// Brings digits 0 .. digit_count - 2 into [0, 2^32); the top digit keeps the
// sign. The value is unchanged.
void normalise(exact_total& t)
{
    // Only the digits from the lowest to the highest that are not zero, and
    // the carries out of them, change: a total of values of similar size
    // has a handful of such digits among its seventy.
    int k = 0;
    while (k + 1 < digit_count && t.digits[k] == 0) {
        ++k;
    }
    int top = digit_count - 1;
    while (top > k && t.digits[top] == 0) {
        --top;
    }
    for (; k + 1 < digit_count; ++k) {
        const std::int64_t carry = t.digits[k] >> digit_bits; // floor division
        t.digits[k] &= digit_mask;
        t.digits[k + 1] += carry;
        if (k >= top && carry == 0) {
            break; // every digit above is zero and takes no carry
        }
    }
}

namespace {

// Bits [position, position + width) of a non-negative normalised total,
// width <= 64.
std::uint64_t bits_at(const exact_total& t, int position, int width)
{
    const int k = position / digit_bits;
    u128 window = 0;
    for (int j = 2; j >= 0; --j) {
        window <<= digit_bits;
        if (k + j < digit_count) {
            window |= static_cast<std::uint64_t>(t.digits[k + j]);
        }
    }
    window >>= position % digit_bits;
    const u128 mask = (u128{1} << width) - 1;
    return static_cast<std::uint64_t>(window & mask);
}

// Whether any of bits [0, position) of a non-negative normalised total is set.
bool any_bit_below(const exact_total& t, int position)
{
    const int k = position / digit_bits;
    for (int j = 0; j < k; ++j) {
        if (t.digits[j] != 0) {
            return true;
        }
    }
    const std::int64_t partial = (std::int64_t{1} << (position % digit_bits)) - 1;
    return (t.digits[k] & partial) != 0;
}

} // namespace

// The double nearest to the total (ties to even), after the special values.
double round_to_double(exact_total t)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (t.flags[flag_nan] != 0 || (t.flags[flag_pos_inf] != 0 && t.flags[flag_neg_inf] != 0)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (t.flags[flag_pos_inf] != 0) {
        return inf;
    }
    if (t.flags[flag_neg_inf] != 0) {
        return -inf;
    }

    normalise(t);
    const bool negative = t.digits[digit_count - 1] < 0;
    if (negative) {
        for (auto& d : t.digits) {
            d = -d;
        }
        normalise(t);
    }
    int top = digit_count - 1;
    while (top >= 0 && t.digits[top] == 0) {
        --top;
    }
    if (top < 0) {
        const bool all_negzero = t.flags[flag_any] != 0 && t.flags[flag_not_negzero] == 0;
        return all_negzero ? -0.0 : 0.0;
    }

    // Highest set bit; the 53 bits from there down form the significand.
    int highest = top * digit_bits;
    for (auto d = static_cast<std::uint64_t>(t.digits[top]); d > 1; d >>= 1) {
        ++highest;
    }
    int shift = 0; // the significand's unit is 2^(shift - 1074)
    std::uint64_t significand;
    if (highest <= 52) {
        // Below 2^53 units the total is a double as it stands (subnormal or
        // the smallest binade of normals): no rounding.
        significand = bits_at(t, 0, 53);
    } else {
        shift = highest - 52;
        significand = bits_at(t, shift, 53);
        const bool half = bits_at(t, shift - 1, 1) != 0;
        if (half && ((significand & 1) != 0 || any_bit_below(t, shift - 1))) {
            ++significand;
            if (significand == (std::uint64_t{1} << 53)) {
                significand >>= 1;
                ++shift;
            }
        }
    }
    // The largest double is (2^53 - 1) * 2^971.
    if (shift - 1074 > 971) {
        return negative ? -inf : inf;
    }
    const double magnitude = std::ldexp(static_cast<double>(significand), shift - 1074);
    return negative ? -magnitude : magnitude;
}



void write_record(const exact_total& t, std::int64_t* fields)
{
    exact_total n = t;
    normalise(n);
    std::copy(n.digits.begin(), n.digits.end(), fields);
    std::copy(n.flags.begin(), n.flags.end(), fields + digit_count);
}

exact_total read_record(const std::int64_t* fields)
{
    exact_total t;
    std::copy(fields, fields + digit_count, t.digits.begin());
    std::copy(fields + digit_count, fields + exact_record_fields, t.flags.begin());
    return t;
}

} // namespace virda::engine::detail
