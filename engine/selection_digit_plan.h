#ifndef VIRDA_ENGINE_SELECTION_DIGIT_PLAN_H
#define VIRDA_ENGINE_SELECTION_DIGIT_PLAN_H

// The digits a radix selection finds its keys' bits in, round by round,
// from the top of the key down. Not installed.

#include "engine/number_type.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace virda::engine::detail {

/// The bits at the top of the keys of `type` that differ between values:
/// a float32 converts to a double whose 29 low significand bits are zero,
/// so its key holds 35 (sign, exponent, 23 significand bits) and the bits
/// below follow from the sign bit.
inline int significant_key_bits(number_type type)
{
    return type == number_type::float32 ? 35 : 64;
}

/// The key whose top `bits` bits are `prefix`, completed as the keys of
/// `type` are: the low bits of a float32's key are zero for a value of the
/// positive sign (key bit 63 set) and ones for a negative one (every bit
/// flipped).
inline std::uint64_t key_completed(std::uint64_t prefix, int bits)
{
    if (bits <= 0 || bits >= 64) {
        return prefix;
    }
    const std::uint64_t low = (std::uint64_t{1} << (64 - bits)) - 1;
    const bool positive = ((prefix >> (bits - 1)) & 1u) != 0;
    return (prefix << (64 - bits)) | (positive ? 0 : low);
}

/// The widths of a search's digits, from the top of the key down: held in
/// place, so that a search knows its rounds without allocating.
struct digit_widths {
    std::array<int, 8> bits{};
    std::size_t count = 0;
};

/// The digit widths adding up to the key's significant bits: narrow digits
/// for few values, a wide first one for many (with the sign and the
/// exponent it leaves few values in question after one pass), and narrow
/// ones again for many columns, whose counts go in the same reductions.
/// A float32 key's 35 bits take five rounds of 7 bits as they would of
/// 8, 8, 8, 8 and 3, with half the counts per round: many columns then fit
/// one search, and every pass over the values serves all of them.
inline digit_widths digit_plan(std::uint64_t most_values, std::size_t columns, number_type type)
{
    const bool narrow = most_values <= (std::uint64_t{1} << 16) || columns > 64;
    if (significant_key_bits(type) == 35) {
        return narrow ? digit_widths{{7, 7, 7, 7, 7}, 5} : digit_widths{{16, 12, 7}, 3};
    }
    if (narrow) {
        return {{8, 8, 8, 8, 8, 8, 8, 8}, 8};
    }
    return {{16, 12, 12, 12, 12}, 5};
}

/// The counts of a search's first round, with its last slot (see
/// selection_search::state::prepare_round): one digit's worth per column.
inline std::size_t first_round_counts(std::size_t columns, const digit_widths& plan)
{
    return columns * (std::size_t{1} << plan.bits[0]) + 1;
}

} // namespace virda::engine::detail

#endif
