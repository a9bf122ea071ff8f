#ifndef VIRDA_ENGINE_EXACT_TOTAL_H
#define VIRDA_ENGINE_EXACT_TOTAL_H

// An exact total of doubles as the exact sum keeps it: a fixed-point integer
// in units of 2^-1074 (the smallest subnormal double) with flags for what
// the values were beyond their finite total. Shared by the exact sum and the
// finishes that compute with exact totals (variance). Not installed.

#include <array>
#include <cstdint>

namespace virda::engine::detail {

__extension__ typedef unsigned __int128 u128;
__extension__ typedef __int128 i128;

// 32-bit digits held in int64, least significant first, two's complement in
// the top one. 70 digits reach 2^1166: room for 2^62 values of magnitude up
// to DBL_MAX with the sign. Between normalisations a digit may exceed 32
// bits; each carries the weight 2^(32 k) whatever it holds.
constexpr int digit_count = 70;
constexpr int digit_bits = 32;
constexpr std::int64_t digit_mask = (std::int64_t{1} << digit_bits) - 1;

// What the values seen so far were, beyond their finite total.
enum flag : int {
    flag_any,         // at least one value
    flag_not_negzero, // at least one value other than -0.0
    flag_nan,
    flag_pos_inf,
    flag_neg_inf,
    flag_count
};

struct exact_total {
    std::array<std::int64_t, digit_count> digits{};
    std::array<std::int64_t, flag_count> flags{};
};

/// Fields of an exact total in a reduction record: digits, then flags.
constexpr std::size_t exact_record_fields = digit_count + flag_count;

/// Adds value * 2^position (in units of 2^-1074) to the digits.
/// Needs |value| < 2^95 and 0 <= position <= 32 * (digit_count - 4).
void add_scaled(exact_total& t, i128 value, int position);

/// Brings digits 0 .. digit_count - 2 into [0, 2^32); the top digit keeps
/// the sign. The value is unchanged.
void normalise(exact_total& t);

/// The double nearest to the total (ties to even), after the special values:
/// any NaN, or both infinities, gives NaN; otherwise an infinity gives
/// itself; an exact zero is -0.0 only when every value added was -0.0.
double round_to_double(exact_total t);

/// Writes a normalised total's fields; reads them back (after a record of
/// several ranks' totals was summed field by field).
void write_record(const exact_total& t, std::int64_t* fields);
exact_total read_record(const std::int64_t* fields);

} // namespace virda::engine::detail

#endif
