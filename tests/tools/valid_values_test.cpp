// The values the tool's statistics take: the conventions for missing and
// packed values, the per-column facts combined in one reduction, and arrays
// of the values taken, moved to the ranks that hold their global places. Run
// at 1 to 4 ranks; every rank's values come from the global index, and every
// rank knows the whole expected answer.
#include "valid_values.h"

#include "framework/runtime/virda_globals.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <limits>
#include <vector>

using virda_stats::column_facts;
using virda_stats::value_rules;

namespace {

const double not_a_number = std::numeric_limits<double>::quiet_NaN();

/// This rank's share of `n` global indices: the first n % ranks ranks get
/// one more (the test's own split; taken_array must not depend on it).
std::vector<int> my_indices(int n)
{
    int rank = 0;
    int ranks = 1;
    MPI_Comm_rank(VIRDA_COMM, &rank);
    MPI_Comm_size(VIRDA_COMM, &ranks);
    // Uneven on purpose: rank r gets the indices g with g % ranks == r,
    // except that the last rank gets none when there are more than two.
    std::vector<int> mine;
    for (int g = 0; g < n; ++g) {
        const int owner = ranks > 2 ? g % (ranks - 1) : g % ranks;
        if (owner == rank) {
            mine.push_back(g);
        }
    }
    return mine;
}

/// Global value g: a fill (-1) every fifth, NaN every seventh.
double value_at(int g)
{
    if (g % 5 == 0) {
        return -1.0;
    }
    return g % 7 == 3 ? not_a_number : 0.5 * g;
}

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

TEST(ColumnFacts, OneReductionCombinesEveryColumn)
{
    // Two interleaved columns: column 0 the values above, column 1 their
    // negatives; unpacked by v * 2 + 1.
    const int n = 41;
    const std::vector<int> mine = my_indices(n);
    std::vector<double> block;
    for (const int g : mine) {
        block.push_back(value_at(g));
        block.push_back(-value_at(g));
    }
    value_rules r;
    r.fill_values = {-1.0};
    r.packed = true;
    r.scale = 2.0;
    r.offset = 1.0;
    std::vector<column_facts> facts = virda_stats::local_facts(block.data(), mine.size(), 2, r);
    virda_stats::combine_facts(facts, VIRDA_COMM);

    // Serially: column 0 misses g % 5 == 0; column 1 (negated) misses none
    // (its fills read 1), so it takes them.
    column_facts want[2];
    for (int g = 0; g < n; ++g) {
        for (int c = 0; c < 2; ++c) {
            const double v = c == 0 ? value_at(g) : -value_at(g);
            column_facts& f = want[c];
            if (v == -1.0) {
                ++f.missing;
            } else if (std::isnan(v)) {
                ++f.nan;
                ++f.count;
            } else {
                ++f.count;
                f.min = std::min(f.min, 2 * v + 1);
                f.max = std::max(f.max, 2 * v + 1);
            }
        }
    }
    for (int c = 0; c < 2; ++c) {
        EXPECT_EQ(facts[c].count, want[c].count) << c;
        EXPECT_EQ(facts[c].nan, want[c].nan) << c;
        EXPECT_EQ(facts[c].missing, want[c].missing) << c;
        EXPECT_EQ(facts[c].min, want[c].min) << c;
        EXPECT_EQ(facts[c].max, want[c].max) << c;
    }
    EXPECT_FALSE(facts[0].magnitude_of(r).finite) << "NaN is taken";
    r.skip_nan = true;
    EXPECT_TRUE(facts[0].magnitude_of(r).finite);
    EXPECT_EQ(facts[0].magnitude_of(r).largest, std::max(std::fabs(want[0].min), std::fabs(want[0].max)));
}

TEST(ColumnFacts, NaNMadeByUnpackingCountsAsNaN)
{
    // Stored -1, 0, 1 (and a fill, 7) with scale_factor inf unpack to -inf,
    // NaN (0 * inf), +inf: the statistics see that NaN like a stored one.
    const int n = 31;
    const std::vector<int> mine = my_indices(n);
    std::vector<int> block;
    for (const int g : mine) {
        block.push_back(g % 4 == 3 ? 7 : g % 3 - 1);
    }
    value_rules r;
    r.fill_values = {7.0};
    r.packed = true;
    r.scale = std::numeric_limits<double>::infinity();
    long long zeros = 0;
    long long fills = 0;
    for (int g = 0; g < n; ++g) {
        fills += g % 4 == 3 ? 1 : 0;
        zeros += g % 4 != 3 && g % 3 == 1 ? 1 : 0;
    }
    for (const bool skip : {false, true}) {
        r.skip_nan = skip;
        std::vector<column_facts> facts = virda_stats::local_facts(block.data(), block.size(), 1, r);
        virda_stats::combine_facts(facts, VIRDA_COMM);
        EXPECT_EQ(facts[0].nan, zeros) << skip;
        EXPECT_EQ(facts[0].missing, fills) << skip;
        EXPECT_EQ(facts[0].count, n - fills - (skip ? zeros : 0)) << skip;
        EXPECT_EQ(facts[0].min, -r.scale) << skip;
        EXPECT_EQ(facts[0].max, r.scale) << skip;
        EXPECT_FALSE(facts[0].magnitude_of(r).finite) << skip;
        EXPECT_EQ(r.taken(0.0), !skip) << "0 * inf is NaN";
        EXPECT_FALSE(r.taken(7.0));
    }
    // add_offset -inf on a stored +inf: inf - inf.
    value_rules shifted;
    shifted.packed = true;
    shifted.offset = -std::numeric_limits<double>::infinity();
    shifted.skip_nan = true;
    EXPECT_FALSE(shifted.taken(std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(shifted.taken(1.0));
}

TEST(TakenArray, HoldsTheValuesTakenInGlobalOrderWhereverTheyCameFrom)
{
    // Ranks hold uneven, interleaved shares (the last of three or four
    // none); the array of the values taken is distributed like any array.
    const int n = 23;
    const std::vector<int> mine = my_indices(n);
    std::vector<int> block;
    for (const int g : mine) {
        block.push_back(g % 5 == 0 ? -1 : g);
    }
    value_rules r;
    r.fill_values = {-1.0};
    std::vector<double> want;
    // The values in the order of the ranks' blocks, rank by rank.
    int ranks = 1;
    MPI_Comm_size(VIRDA_COMM, &ranks);
    for (int owner = 0; owner < ranks; ++owner) {
        for (int g = 0; g < n; ++g) {
            const int held_by = ranks > 2 ? g % (ranks - 1) : g % ranks;
            if (held_by == owner && g % 5 != 0) {
                want.push_back(g);
            }
        }
    }
    const long long total = static_cast<long long>(want.size());
    Attribute a = virda_stats::taken_array(block.data(), block.size(), 1, r, nullptr, total, "v", VIRDA_COMM);
    ASSERT_EQ(a.size(), total);
    for (long long g = 0; g < total; ++g) {
        EXPECT_EQ(static_cast<double>(a[static_cast<int>(g)]), want[g]) << g;
    }
    // A mask of its own (a paired statistic's) and unpacking into doubles.
    std::vector<char> keep(block.size(), 0);
    long long kept = 0;
    for (std::size_t i = 0; i < block.size(); ++i) {
        keep[i] = mine[i] % 2 == 0 ? 1 : 0;
    }
    for (int g = 0; g < n; ++g) {
        kept += g % 2 == 0 ? 1 : 0;
    }
    r.packed = true;
    r.scale = 0.25;
    Attribute halves = virda_stats::taken_array(block.data(), block.size(), 1, r, &keep, kept, "v", VIRDA_COMM);
    ASSERT_EQ(halves.size(), kept);
    EXPECT_EQ(halves.get_data_type(), 3) << "unpacked values are doubles";
}
