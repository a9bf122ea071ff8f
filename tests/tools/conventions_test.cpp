// The conventions' rules for missing and packed values, value by value.
#include "conventions.h"

#include <gtest/gtest.h>

#include <limits>

using virda_stats::value_rules;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

} // namespace

TEST(ValueRules, MissingByEveryAttribute)
{
    value_rules r;
    r.fill_values = {-32767.0};
    r.missing_values = {-1.0, not_a_number};
    r.has_valid_min = r.has_valid_max = true;
    r.valid_min = 0.0;
    r.valid_max = 100.0;
    EXPECT_TRUE(r.missing(-32767.0));
    EXPECT_TRUE(r.missing(-1.0));
    EXPECT_TRUE(r.missing(not_a_number)) << "a NaN missing_value makes NaN missing";
    EXPECT_TRUE(r.missing(-0.5));
    EXPECT_TRUE(r.missing(100.5));
    EXPECT_FALSE(r.missing(0.0));
    EXPECT_FALSE(r.missing(100.0));
    value_rules plain;
    EXPECT_FALSE(plain.missing(not_a_number));
    EXPECT_TRUE(plain.taken(not_a_number));
    plain.skip_nan = true;
    EXPECT_FALSE(plain.taken(not_a_number));
    EXPECT_TRUE(plain.taken(1.0));
    value_rules packed;
    packed.packed = true;
    packed.scale = 0.5;
    packed.offset = 10.0;
    EXPECT_EQ(packed.unpack(4.0), 12.0);
}
