// Rounding of the wide integers a finish forms from exact totals: the top
// bits of a value with a thousand bits below its significand, rounded to
// nearest even as the compiler rounds 128-bit integers, ties and sticky bits
// far below included.
#include "engine/wide_integer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

using virda::engine::detail::u128;
using virda::engine::detail::wide_integer;

namespace {

u128 random_u128(std::mt19937_64& g)
{
    const int bits = static_cast<int>(g() % 128) + 1;
    const u128 v = (static_cast<u128>(g()) << 64) | g();
    return bits == 128 ? v : v & ((u128{1} << bits) - 1);
}

} // namespace

TEST(WideInteger, RoundsShiftedValuesAsTheCompilerRoundsThem)
{
    std::mt19937_64 g(7);
    for (int i = 0; i < 4000; ++i) {
        u128 v = random_u128(g);
        if (i % 4 == 1) {
            // A tie at double precision: 54 significant bits ending in 1.
            v = (static_cast<u128>(g() | (std::uint64_t{1} << 63)) >> 10) | 1;
        }
        if (v == 0) {
            continue;
        }
        const int shift = static_cast<int>(g() % 1200);
        const wide_integer w = wide_integer::from_unsigned(v).shifted(shift);
        ASSERT_EQ(w.rounded_double(-shift), static_cast<double>(v)) << i;
        ASSERT_EQ(w.rounded(-shift), static_cast<long double>(v)) << i;
        const wide_integer negative = wide_integer().minus(w);
        ASSERT_EQ(negative.rounded_double(-shift), -static_cast<double>(v)) << i;
    }
}

TEST(WideInteger, OneBitFarBelowBreaksATie)
{
    // 2^53 + 1 is a tie between 2^53 and 2^53 + 2, rounded to even (2^53);
    // a bit a thousand places below it makes it round up.
    const wide_integer tie = wide_integer::from_unsigned((u128{1} << 53) + 1).shifted(1000);
    EXPECT_EQ(tie.rounded_double(-1000), std::ldexp(1.0, 53));
    const wide_integer above = tie.plus(wide_integer::from_unsigned(1));
    EXPECT_EQ(above.rounded_double(-1000), std::ldexp(1.0, 53) + 2);
    // Carried out of the significand: 2^54 - 1 rounds to 2^54.
    const wide_integer all_ones = wide_integer::from_unsigned((u128{1} << 54) - 1).shifted(700);
    EXPECT_EQ(all_ones.rounded_double(-700), std::ldexp(1.0, 54));
}
