#ifndef VIRDA_ENGINE_ORDER_KEYS_H
#define VIRDA_ENGINE_ORDER_KEYS_H

// Order keys: every number mapped to an unsigned 64-bit integer whose order is
// the numbers' order, so that least and greatest values over the ranks are a
// reduction of unsigned integers. Not installed.

#include "engine/number.h"
#include "engine/number_type.h"

#include <cstdint>
#include <cstring>

namespace virda::engine::detail {

inline constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

/// A double's key: -0.0 below +0.0, NaN of either sign outside every number.
inline std::uint64_t key_of(double x)
{
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b ^ (static_cast<std::uint64_t>(static_cast<std::int64_t>(b) >> 63) | sign_bit);
}
inline double double_of_key(std::uint64_t k)
{
    const std::uint64_t b = (k & sign_bit) != 0 ? k ^ sign_bit : ~k;
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}
inline std::uint64_t key_of(std::int64_t v) { return static_cast<std::uint64_t>(v) ^ sign_bit; }
inline std::uint64_t key_of(std::uint64_t v) { return v; }

/// The number of `type` whose key is k.
inline number number_of_key(number_type type, std::uint64_t k)
{
    number n;
    n.type = type;
    const number_type_facts& f = facts_of(type);
    if (f.floating) {
        n.floating = double_of_key(k);
    } else if (f.is_signed) {
        n.signed_ = static_cast<std::int64_t>(k ^ sign_bit);
    } else {
        n.unsigned_ = k;
    }
    return n;
}

} // namespace virda::engine::detail

#endif
