#include "engine/wide_integer.h"

#include <algorithm>
#include <cmath>

namespace virda::engine::detail {

void wide_integer::trim()
{
    while (!magnitude_.empty() && magnitude_.back() == 0) {
        magnitude_.pop_back();
    }
    if (magnitude_.empty()) {
        negative_ = false;
    }
}

wide_integer wide_integer::from_total(const exact_total& total)
{
    exact_total t = total;
    normalise(t);
    wide_integer w;
    w.negative_ = t.digits[digit_count - 1] < 0;
    if (w.negative_) {
        for (auto& d : t.digits) {
            d = -d;
        }
        normalise(t);
    }
    for (const std::int64_t d : t.digits) {
        w.magnitude_.push_back(static_cast<std::uint32_t>(d));
    }
    w.trim();
    return w;
}

wide_integer wide_integer::from_unsigned(u128 v)
{
    wide_integer w;
    while (v != 0) {
        w.magnitude_.push_back(static_cast<std::uint32_t>(v));
        v >>= 32;
    }
    return w;
}

wide_integer wide_integer::shifted(int bits) const
{
    wide_integer w;
    if (is_zero()) {
        return w;
    }
    w.negative_ = negative_;
    const int words = bits / 32;
    const int rest = bits % 32;
    w.magnitude_.assign(static_cast<std::size_t>(words), 0);
    std::uint32_t carry = 0;
    for (const std::uint32_t d : magnitude_) {
        const std::uint64_t v = (static_cast<std::uint64_t>(d) << rest) | carry;
        w.magnitude_.push_back(static_cast<std::uint32_t>(v));
        carry = static_cast<std::uint32_t>(v >> 32);
    }
    w.magnitude_.push_back(carry);
    w.trim();
    return w;
}

wide_integer wide_integer::times(std::uint64_t v) const
{
    return times(from_unsigned(v));
}

wide_integer wide_integer::times(const wide_integer& other) const
{
    wide_integer w;
    if (is_zero() || other.is_zero()) {
        return w;
    }
    w.magnitude_.assign(magnitude_.size() + other.magnitude_.size(), 0);
    for (std::size_t i = 0; i < magnitude_.size(); ++i) {
        std::uint64_t carry = 0;
        for (std::size_t j = 0; j < other.magnitude_.size(); ++j) {
            const std::uint64_t v = static_cast<std::uint64_t>(magnitude_[i]) * other.magnitude_[j] +
                                    w.magnitude_[i + j] + carry;
            w.magnitude_[i + j] = static_cast<std::uint32_t>(v);
            carry = v >> 32;
        }
        w.magnitude_[i + other.magnitude_.size()] = static_cast<std::uint32_t>(carry);
    }
    w.negative_ = negative_ != other.negative_;
    w.trim();
    return w;
}

int wide_integer::compare_magnitudes(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b)
{
    if (a.size() != b.size()) {
        return a.size() < b.size() ? -1 : 1;
    }
    for (std::size_t i = a.size(); i-- > 0;) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
    }
    return 0;
}

std::vector<std::uint32_t> wide_integer::add_magnitudes(const std::vector<std::uint32_t>& a,
                                                        const std::vector<std::uint32_t>& b)
{
    std::vector<std::uint32_t> out(std::max(a.size(), b.size()) + 1, 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t v = (i < a.size() ? a[i] : 0ull) + (i < b.size() ? b[i] : 0ull) + carry;
        out[i] = static_cast<std::uint32_t>(v);
        carry = v >> 32;
    }
    return out;
}

std::vector<std::uint32_t> wide_integer::subtract_magnitudes(const std::vector<std::uint32_t>& a,
                                                             const std::vector<std::uint32_t>& b)
{
    std::vector<std::uint32_t> out(a.size(), 0);
    std::int64_t borrow = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::int64_t v = static_cast<std::int64_t>(a[i]) - (i < b.size() ? b[i] : 0) - borrow;
        borrow = v < 0 ? 1 : 0;
        if (v < 0) {
            v += std::int64_t{1} << 32;
        }
        out[i] = static_cast<std::uint32_t>(v);
    }
    return out;
}

wide_integer wide_integer::plus(const wide_integer& other) const
{
    wide_integer w;
    if (negative_ == other.negative_) {
        w.magnitude_ = add_magnitudes(magnitude_, other.magnitude_);
        w.negative_ = negative_;
    } else if (compare_magnitudes(magnitude_, other.magnitude_) >= 0) {
        w.magnitude_ = subtract_magnitudes(magnitude_, other.magnitude_);
        w.negative_ = negative_;
    } else {
        w.magnitude_ = subtract_magnitudes(other.magnitude_, magnitude_);
        w.negative_ = other.negative_;
    }
    w.trim();
    return w;
}

wide_integer wide_integer::minus(const wide_integer& other) const
{
    wide_integer negated = other;
    if (!negated.is_zero()) {
        negated.negative_ = !negated.negative_;
    }
    return plus(negated);
}

std::uint64_t wide_integer::top_bits(int width, int* exponent) const
{
    // The highest set bit, then the `width` bits from it down, rounded to
    // nearest even by the bits below; the value is that times 2^exponent.
    // Read a word at a time: a total of values near 1 has about a thousand
    // bits below its significand, nearly all of them zero.
    const std::size_t top = magnitude_.size() - 1;
    int highest = static_cast<int>(top) * 32;
    for (std::uint32_t d = magnitude_[top]; d > 1; d >>= 1) {
        ++highest;
    }
    const auto word = [&](std::size_t i) -> u128 { return i < magnitude_.size() ? magnitude_[i] : 0u; };
    // Bits [position, position + count) for 0 <= position, count <= 64.
    const auto bits = [&](int position, int count) -> std::uint64_t {
        const std::size_t w = static_cast<std::size_t>(position / 32);
        const u128 window = word(w) | (word(w + 1) << 32) | (word(w + 2) << 64);
        const u128 mask = (u128{1} << count) - 1;
        return static_cast<std::uint64_t>((window >> (position % 32)) & mask);
    };
    const int low = highest - (width - 1); // position of the significand's last bit
    *exponent = 0;
    if (low <= 0) {
        return bits(0, highest + 1);
    }
    std::uint64_t significand = bits(low, width);
    *exponent = low;
    const bool half = bits(low - 1, 1) != 0;
    // Any bit of [0, low - 1) set: the whole words below, then the part word.
    const std::size_t below_words = static_cast<std::size_t>((low - 1) / 32);
    bool below = (word(below_words) & ((u128{1} << ((low - 1) % 32)) - 1)) != 0;
    for (std::size_t i = 0; i < below_words && !below; ++i) {
        below = magnitude_[i] != 0;
    }
    if (half && (below || (significand & 1u) != 0)) {
        ++significand;
        // Carried out of the width: 2^width, one bit more.
        const bool carried = width == 64 ? significand == 0 : significand == (std::uint64_t{1} << width);
        if (carried) {
            significand = std::uint64_t{1} << (width - 1);
            ++*exponent;
        }
    }
    return significand;
}

long double wide_integer::rounded(int scale) const
{
    if (is_zero()) {
        return 0.0L;
    }
    int exponent = 0;
    const std::uint64_t significand = top_bits(64, &exponent);
    const long double magnitude = std::ldexp(static_cast<long double>(significand), exponent + scale);
    return negative_ ? -magnitude : magnitude;
}

double wide_integer::rounded_double(int scale) const
{
    if (is_zero()) {
        return 0.0;
    }
    int exponent = 0;
    const std::uint64_t significand = top_bits(53, &exponent);
    const double magnitude = std::ldexp(static_cast<double>(significand), exponent + scale);
    return negative_ ? -magnitude : magnitude;
}

} // namespace virda::engine::detail
