#ifndef VIRDA_ENGINE_NUMBER_H
#define VIRDA_ENGINE_NUMBER_H

/// \file
/// number: one value of any number type, held exactly.

#include "engine/number_type.h"

#include <cstdint>

namespace virda::engine {

/// One value of a number type, held exactly (an int64 or uint64 beyond 2^53
/// included): a result that is one of the values (an extreme, an order
/// statistic).
struct number {
    number_type type = number_type::float64; ///< which member holds the value
    double floating = 0;         ///< for float64 and float32
    std::int64_t signed_ = 0;    ///< for the signed integer types
    std::uint64_t unsigned_ = 0; ///< for the unsigned integer types

    /// The value as a double (rounded for 64-bit integers beyond 2^53).
    double as_double() const
    {
        const number_type_facts& f = facts_of(type);
        return f.floating ? floating : f.is_signed ? static_cast<double>(signed_) : static_cast<double>(unsigned_);
    }
};

} // namespace virda::engine

#endif
