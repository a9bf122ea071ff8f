// Exact distributed sum: every total is checked bit for bit against a serial
// oracle that every rank computes from the global data, so the expected result
// never depends on the number of ranks or on how the data is split.

#include "engine/exact_sum.h"



#include "virda_test/isa_paths.h"
#include "virda_test/ranks.h"
#include <gtest/gtest.h>
#include <mpi.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

using exact_accumulator = virda::engine::exact_sum;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double qnan = std::numeric_limits<double>::quiet_NaN();

// The exact total as a big integer in units of 2^-1074, positive and negative
// parts kept apart, rounded by strtod from a hexadecimal string (C requires
// that conversion to be correctly rounded). Finite values only.
class oracle {
public:
    void add(double x)
    {
        if (x == 0) {
            return;
        }
        int e = 0;
        const double f = std::frexp(std::fabs(x), &e); // |x| = f 2^e, f in [0.5, 1)
        auto m = static_cast<std::uint64_t>(std::ldexp(f, 53));
        int bit = e - 53 + 1074;
        if (bit < 0) { // subnormal: m has that many trailing zeros
            m >>= -bit;
            bit = 0;
        }
        magnitude& part = x < 0 ? negative_ : positive_;
        add_at(part, m & 0xffffffffu, bit);
        add_at(part, m >> 32, bit + 32);
    }

    void multiply(std::uint32_t k)
    {
        multiply(positive_, k);
        multiply(negative_, k);
    }

    double rounded() const
    {
        const int order = compare(positive_, negative_);
        if (order == 0) {
            return 0.0;
        }
        const magnitude d = order > 0 ? subtract(positive_, negative_)
                                      : subtract(negative_, positive_);
        std::string text = order > 0 ? "0x" : "-0x";
        char digits[16];
        bool leading = true;
        for (std::size_t k = d.size(); k-- > 0;) {
            if (leading && d[k] == 0) {
                continue;
            }
            std::snprintf(digits, sizeof digits, leading ? "%x" : "%08x", d[k]);
            text += digits;
            leading = false;
        }
        text += "p-1074";
        return std::strtod(text.c_str(), nullptr);
    }

private:
    using magnitude = std::vector<std::uint32_t>; // base 2^32, least significant first

    static void add_at(magnitude& a, std::uint64_t piece, int bit) // piece < 2^32
    {
        std::uint64_t carry = piece << (bit % 32);
        for (std::size_t k = static_cast<std::size_t>(bit / 32); carry != 0; ++k) {
            if (a.size() <= k) {
                a.resize(k + 1, 0);
            }
            carry += a[k];
            a[k] = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
    }

    static void multiply(magnitude& a, std::uint32_t k)
    {
        std::uint64_t carry = 0;
        for (auto& digit : a) {
            carry += std::uint64_t{digit} * k;
            digit = static_cast<std::uint32_t>(carry);
            carry >>= 32;
        }
        if (carry != 0) {
            a.push_back(static_cast<std::uint32_t>(carry));
        }
    }

    static int compare(const magnitude& a, const magnitude& b)
    {
        for (std::size_t k = std::max(a.size(), b.size()); k-- > 0;) {
            const std::uint32_t x = k < a.size() ? a[k] : 0;
            const std::uint32_t y = k < b.size() ? b[k] : 0;
            if (x != y) {
                return x < y ? -1 : 1;
            }
        }
        return 0;
    }

    static magnitude subtract(magnitude a, const magnitude& b) // a >= b
    {
        std::int64_t borrow = 0;
        for (std::size_t k = 0; k < a.size(); ++k) {
            std::int64_t d = std::int64_t{a[k]} - borrow - (k < b.size() ? b[k] : 0);
            borrow = d < 0 ? 1 : 0;
            a[k] = static_cast<std::uint32_t>(d + (borrow << 32));
        }
        return a;
    }

    magnitude positive_;
    magnitude negative_;
};

double exact_oracle(const std::vector<double>& values)
{
    oracle o;
    for (double x : values) {
        o.add(x);
    }
    return o.rounded();
}

// Equal as bit patterns (so +0.0 differs from -0.0); any NaN matches any NaN.
::testing::AssertionResult same_double(double expected, double actual)
{
    std::uint64_t e = 0;
    std::uint64_t a = 0;
    std::memcpy(&e, &expected, sizeof e);
    std::memcpy(&a, &actual, sizeof a);
    if (e == a || (std::isnan(expected) && std::isnan(actual))) {
        return ::testing::AssertionSuccess();
    }
    std::ostringstream text;
    text << std::hexfloat << "expected " << expected << ", got " << actual;
    return ::testing::AssertionFailure() << text.str();
}

using virda_test::world_rank;
using virda_test::world_size;

// How a global sequence is split over the ranks, and in which order each rank
// adds its part.
enum class layout { block, cyclic, reversed, last_rank };
constexpr layout all_layouts[] = {layout::block, layout::cyclic, layout::reversed,
                                  layout::last_rank};

// This rank's values, in the order it adds them. Blocks give the first n % P
// ranks one value more; with fewer values than ranks, the last ranks get none.
template <typename T>
std::vector<T> my_part(const std::vector<T>& global, layout how)
{
    const std::size_t n = global.size();
    const auto p = static_cast<std::size_t>(world_size());
    const auto r = static_cast<std::size_t>(world_rank());
    auto block_of = [&](std::size_t rank) {
        const std::size_t first = rank * (n / p) + std::min(rank, n % p);
        return std::vector<T>(global.begin() + static_cast<std::ptrdiff_t>(first),
                              global.begin() + static_cast<std::ptrdiff_t>(
                                                   first + n / p + (rank < n % p ? 1 : 0)));
    };
    std::vector<T> part;
    switch (how) {
    case layout::block:
        part = block_of(r);
        break;
    case layout::cyclic:
        for (std::size_t i = r; i < n; i += p) {
            part.push_back(global[i]);
        }
        break;
    case layout::reversed:
        part = block_of(p - 1 - r);
        std::reverse(part.begin(), part.end());
        break;
    case layout::last_rank:
        if (r == p - 1) {
            part = global;
        }
        break;
    }
    return part;
}

// Adds the values in calls of at most `chunk` elements (1: the single-value
// form), which moves values between the accumulator's interleaved tables.
template <typename T>
void add_in_chunks(exact_accumulator& acc, const std::vector<T>& values, std::size_t chunk)
{
    for (std::size_t i = 0; i < values.size(); i += chunk) {
        if (chunk == 1) {
            acc.add(static_cast<double>(values[i]));
        } else {
            acc.add(values.data() + i, std::min(chunk, values.size() - i));
        }
    }
}

double distributed_sum(const std::vector<double>& global, layout how, std::size_t chunk = 1000)
{
    exact_accumulator acc;
    add_in_chunks(acc, my_part(global, how), chunk);
    return acc.allreduce_rounded(MPI_COMM_WORLD);
}

// Deterministic pseudo-random bits from a global index.
std::uint64_t mix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

// Random sign, 53-bit significand and binary exponent in [low, high].
double random_double(std::uint64_t i, int low, int high)
{
    const std::uint64_t h = mix(i);
    const int e = low + static_cast<int>(mix(h) % static_cast<std::uint64_t>(high - low + 1));
    const double x = std::ldexp(static_cast<double>(h >> 11), e - 52);
    return (h & 1) != 0 ? -x : x;
}

struct rounding_case {
    const char* what;
    std::vector<double> values;
    double expected;
};

// Cases with a known answer. Values are dealt out cyclically, so each of the
// first P values sits on a rank of its own; the local total of all of them
// (no communication) must agree too.
TEST(ExactSum, KnownTotalsAtRoundingTiesRangeEdgesAndSpecialValues)
{
    const double tiny = 0x1p-1074;
    const std::vector<rounding_case> cases = {
        {"0.1 + 0.2 rounds once", {0.1, 0.2}, 0.30000000000000004},
        {"cancellation over forty decades", {1e20, 1.0, -1e20, 1e-20, -1e-20}, 1.0},
        {"tie to even, down", {1.0, 0x1p-53}, 1.0},
        {"tie to even, up", {1.0 + 0x1p-52, 0x1p-53}, 1.0 + 0x1p-51},
        {"just above the tie", {1.0, 0x1p-53, tiny}, 1.0 + 0x1p-52},
        {"just below the tie", {0x1p-53, 1.0, -tiny}, 1.0},
        {"tie from parts on three ranks", {0x1p-54, 1.0, 0x1p-54}, 1.0},
        {"tie at the bottom of the normals", {0x1p-1021, tiny}, 0x1p-1021},
        {"subnormal total is exact", {3 * tiny, 0x1p-1030, -tiny}, 0x1p-1030 + 2 * tiny},
        {"subnormals add up to a normal", {0x1p-1023, 0x1p-1023}, 0x1p-1022},
        {"cancellation down to a subnormal", {0x1p-1000, tiny, -0x1p-1000}, tiny},
        {"finite values overflow", {DBL_MAX, DBL_MAX}, inf},
        {"finite values overflow below", {-DBL_MAX, -DBL_MAX}, -inf},
        {"no intermediate overflow", {DBL_MAX, DBL_MAX, -DBL_MAX}, DBL_MAX},
        {"tie above the largest double", {DBL_MAX, 0x1p970}, inf},
        {"below that tie", {DBL_MAX, 0x1p970, -tiny}, DBL_MAX},
        {"NaN wins", {1.0, qnan, -inf}, qnan},
        {"opposite infinities", {inf, 2.0, -inf}, qnan},
        {"infinity with finite overflow", {DBL_MAX, inf, DBL_MAX}, inf},
        {"negative infinity", {-inf, 5.0, -inf}, -inf},
        {"nothing", {}, 0.0},
        {"only -0.0", {-0.0, -0.0, -0.0}, -0.0},
        {"-0.0 and +0.0", {-0.0, 0.0}, 0.0},
        {"exact cancellation", {-1.0, 1.0}, 0.0},
        {"-0.0 and cancelling subnormals", {-0.0, -tiny, tiny}, 0.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        exact_accumulator local;
        for (double x : c.values) {
            local.add(x);
        }
        EXPECT_TRUE(same_double(c.expected, local.local_rounded()));
        EXPECT_TRUE(same_double(c.expected, distributed_sum(c.values, layout::cyclic, 1)));
    }
}

// Random values with exponents over the whole finite range (subnormals
// included), split four ways and added in different chunkings: always the
// oracle's double, bit for bit.
TEST(ExactSum, RandomWideRangeIndependentOfLayoutAndOrder)
{
    std::vector<double> global(3001);
    for (std::size_t i = 0; i < global.size(); ++i) {
        global[i] = random_double(i, -1074, 900);
    }
    const double expected = exact_oracle(global);
    for (layout how : all_layouts) {
        for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{5000}}) {
            SCOPED_TRACE(::testing::Message() << "layout " << static_cast<int>(how) << ", chunk "
                                              << chunk);
            EXPECT_TRUE(same_double(expected, distributed_sum(global, how, chunk)));
        }
    }
}

// Triples (big, small, -big) with big over 2^-100 .. 2^100 and the small term
// landing on another rank: the big terms must cancel exactly.
TEST(ExactSum, IllConditionedCancellationAcrossRanks)
{
    std::vector<double> global;
    for (std::uint64_t t = 0; t < 400; ++t) {
        const double big = random_double(t, -100, 100);
        global.push_back(big);
        global.push_back(random_double(t + 1000000, -200, 0) * 0x1p-30);
        global.push_back(-big);
    }
    const double expected = exact_oracle(global);
    double naive = 0;
    for (double x : global) {
        naive += x;
    }
    EXPECT_NE(naive, expected); // the data really is ill-conditioned
    for (layout how : {layout::cyclic, layout::reversed}) {
        EXPECT_TRUE(same_double(expected, distributed_sum(global, how)));
    }
}

// float and int values go into the same total as doubles.
TEST(ExactSum, FloatsIntsAndDoublesTogether)
{
    std::vector<float> floats;
    std::vector<int> ints = {INT_MAX, INT_MAX, INT_MIN, -7};
    std::vector<double> doubles;
    for (std::uint64_t i = 0; i < 500; ++i) {
        const auto pattern = static_cast<std::uint32_t>(mix(i));
        float f = 0;
        std::memcpy(&f, &pattern, sizeof f);
        floats.push_back(std::isfinite(f) ? f : 1.5f);
        ints.push_back(static_cast<int>(mix(i + 99)));
        doubles.push_back(random_double(i + 5, -200, 120));
    }
    oracle o;
    for (float f : floats) {
        o.add(f);
    }
    for (int n : ints) {
        o.add(n);
    }
    for (double d : doubles) {
        o.add(d);
    }

    exact_accumulator acc;
    add_in_chunks(acc, my_part(floats, layout::block), 9);
    add_in_chunks(acc, my_part(ints, layout::reversed), 13);
    add_in_chunks(acc, my_part(doubles, layout::cyclic), 100);
    EXPECT_TRUE(same_double(o.rounded(), acc.allreduce_rounded(MPI_COMM_WORLD)));
}

// Records of three doubles, each component totalled with the strided form and
// all three reduced together in one collective.
TEST(ExactSum, RecordComponentsStridedAndReducedTogether)
{
    constexpr std::size_t parts = 3;
    std::vector<double> global(parts * 701);
    std::vector<double> component[parts];
    for (std::size_t i = 0; i < global.size(); ++i) {
        global[i] = random_double(i + 31, -60 * static_cast<int>(i % parts), 60);
        component[i % parts].push_back(global[i]);
    }
    // Whole records per rank: split the record indices, then expand.
    std::vector<std::size_t> records(global.size() / parts);
    for (std::size_t r = 0; r < records.size(); ++r) {
        records[r] = r;
    }
    std::vector<double> mine;
    for (std::size_t r : my_part(records, layout::cyclic)) {
        mine.insert(mine.end(), global.begin() + static_cast<std::ptrdiff_t>(r * parts),
                    global.begin() + static_cast<std::ptrdiff_t>((r + 1) * parts));
    }

    exact_accumulator acc[parts];
    for (std::size_t c = 0; c < parts; ++c) {
        acc[c].add(mine.data() + c, mine.size() / parts, parts);
    }
    double totals[parts];
    exact_accumulator::allreduce_rounded(acc, parts, totals, MPI_COMM_WORLD);
    for (std::size_t c = 0; c < parts; ++c) {
        EXPECT_TRUE(same_double(exact_oracle(component[c]), totals[c])) << "component " << c;
    }
}

// Special and signed-zero values of the float and int forms follow the same
// rules as doubles.
TEST(ExactSum, FloatAndIntSpecialValuesLocally)
{
    const float finf = std::numeric_limits<float>::infinity();
    const float fnan = std::numeric_limits<float>::quiet_NaN();
    const float zeros[] = {-0.0f, -0.0f};
    const float opposite[] = {finf, 1.0f, -finf};
    const float with_nan[] = {fnan, 2.0f};
    const int zero = 0;

    exact_accumulator a;
    a.add(zeros, 2);
    EXPECT_TRUE(same_double(-0.0, a.local_rounded()));
    a.add(&zero, 1);
    EXPECT_TRUE(same_double(0.0, a.local_rounded()));

    exact_accumulator b;
    b.add(opposite, 1);
    EXPECT_TRUE(same_double(inf, b.local_rounded()));
    b.add(opposite, 3);
    EXPECT_TRUE(std::isnan(b.local_rounded()));
    b.clear();
    b.add(with_nan, 2);
    EXPECT_TRUE(std::isnan(b.local_rounded()));
    b.clear();
    EXPECT_TRUE(same_double(0.0, b.local_rounded()));
}

// More than 2^24 doubles and floats on rank 0 (the accumulator folds its bins
// part way) and nothing elsewhere.
TEST(ExactSum, LongInputOnOneRank)
{
    constexpr std::uint32_t repeats = 257;
    std::vector<double> doubles(1 << 16);
    std::vector<float> floats(1 << 16);
    oracle o;
    for (std::size_t i = 0; i < doubles.size(); ++i) {
        doubles[i] = i % 5 == 0 ? -0x1p-1060 : 1.0 + static_cast<double>(i % 1000) * 0x1p-52;
        floats[i] = static_cast<float>(i % 7) + 0.25f;
        o.add(doubles[i]);
        o.add(floats[i]);
    }
    o.multiply(repeats);

    exact_accumulator acc;
    if (world_rank() == 0) {
        for (std::uint32_t r = 0; r < repeats; ++r) {
            acc.add(doubles.data(), doubles.size());
            acc.add(floats.data(), floats.size());
        }
    }
    EXPECT_TRUE(same_double(o.rounded(), acc.allreduce_rounded(MPI_COMM_WORLD)));
}

} // namespace

namespace {

// Data sets for the block paths: several blocks of a couple of thousand
// values each, some that the binned fast path takes, some it must hand to the
// table, and blocks of both kinds in one input. Finite totals only (the
// oracle's domain).
std::vector<std::pair<const char*, std::vector<double>>> block_data_sets()
{
    std::vector<std::pair<const char*, std::vector<double>>> sets;
    const std::size_t n = 9000;
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = random_double(i, -3, 5);
    }
    sets.emplace_back("narrow range", v);
    // Spans just inside and beyond what the fast path's levels cover: 1 with
    // values 2^-50 .. 2^-80 below it, full significands.
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = i % 3 == 0 ? random_double(i, 0, 0) : random_double(i, -80 + static_cast<int>(i % 31), -50);
    }
    sets.emplace_back("spans of 2^50 to 2^80", v);
    // A span of exactly 2^40 and more per block: 1.0 and ulp-sized values.
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = i % 2 == 0 ? 1.0 + std::ldexp(static_cast<double>(i), -52) : std::ldexp(1.0, -40 - static_cast<int>(i % 40));
    }
    sets.emplace_back("powers of two 2^-40 .. 2^-79 beside 1", v);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = random_double(i, -1074, -1000);
    }
    sets.emplace_back("subnormals and the smallest normals", v);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = random_double(i, 990, 1010) * 0x1p-4;
    }
    sets.emplace_back("near the top of the range", v);
    // Cancellation: x and -x in different blocks and a small remainder.
    for (std::size_t i = 0; i < n / 2; ++i) {
        v[i] = random_double(i, -20, 20);
        v[n - 1 - i] = -v[i];
    }
    v[n / 2] = 0x1p-600;
    sets.emplace_back("cancelling halves", v);
    // Easy blocks, a block of zeros of both signs, a block of -0.0 only, a
    // block with one very small value, a block with one wide one.
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t block = i / 2048;
        v[i] = block == 1 ? (i % 2 == 0 ? 0.0 : -0.0) : block == 2 ? -0.0 : random_double(i, -2, 2);
    }
    v[3 * 2048 + 5] = 0x1p-900;
    v[4 * 2048 + 7] = 0x1p+400;
    sets.emplace_back("mixed blocks", v);
    // Blocks that two levels cover, then one that needs a third (values of
    // full significands 2^45 below its largest), then two-level blocks again.
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t block = i / 2048;
        v[i] = block == 2 && i % 2 == 1 ? random_double(i, -46, -44) : random_double(i, -1, 1);
    }
    sets.emplace_back("a block needing three levels among easy ones", v);
    return sets;
}

} // namespace

// Every data set on every instruction-set path this machine runs, split over
// the ranks three ways, contiguous and strided: the oracle's double, bit for
// bit. Special values and signed zeros mixed into easy blocks likewise.
TEST(ExactSum, BlockPathsMatchTheOracleOnEveryInstructionSet)
{
    const auto sets = block_data_sets();
    virda_test::for_each_runnable_path([&] {
        for (const auto& [what, values] : sets) {
            SCOPED_TRACE(what);
            const double expected = exact_oracle(values);
            for (layout how : {layout::block, layout::cyclic, layout::reversed}) {
                EXPECT_TRUE(same_double(expected, distributed_sum(values, how, 5000)));
            }
            // As the second component of records of two.
            std::vector<double> records;
            for (double x : my_part(values, layout::block)) {
                records.push_back(-1.0);
                records.push_back(x);
            }
            exact_accumulator acc;
            acc.add(records.data() + 1, records.size() / 2, 2);
            EXPECT_TRUE(same_double(expected, acc.allreduce_rounded(MPI_COMM_WORLD))) << "strided";
        }

        std::vector<double> easy(6000);
        for (std::size_t i = 0; i < easy.size(); ++i) {
            easy[i] = random_double(i, -1, 1);
        }
        const struct {
            const char* what;
            std::size_t at;
            double value;
            double expected;
        } specials[] = {{"NaN", 3000, qnan, qnan},
                        {"+inf", 10, inf, inf},
                        {"-inf", 5999, -inf, -inf}};
        for (const auto& sp : specials) {
            std::vector<double> v = easy;
            v[sp.at] = sp.value;
            EXPECT_TRUE(same_double(sp.expected, distributed_sum(v, layout::block))) << sp.what;
        }
        // A NaN whose block holds nothing else but zeros.
        std::vector<double> nan_among_zeros(5000, 0.0);
        nan_among_zeros[2500] = qnan;
        EXPECT_TRUE(same_double(qnan, distributed_sum(nan_among_zeros, layout::block))) << "NaN among zeros";
        const std::vector<double> negative_zeros(5000, -0.0);
        EXPECT_TRUE(same_double(-0.0, distributed_sum(negative_zeros, layout::cyclic)));
        std::vector<double> zeros = negative_zeros;
        zeros[4321] = 0.0;
        EXPECT_TRUE(same_double(0.0, distributed_sum(zeros, layout::cyclic)));

        // Floats go the same way, as the doubles they convert to.
        std::vector<float> floats(7000);
        std::vector<double> as_doubles(floats.size());
        for (std::size_t i = 0; i < floats.size(); ++i) {
            floats[i] = static_cast<float>(random_double(i, -130 + static_cast<int>(i % 200), 100));
            as_doubles[i] = floats[i];
        }
        exact_accumulator facc;
        add_in_chunks(facc, my_part(floats, layout::cyclic), 3000);
        EXPECT_TRUE(same_double(exact_oracle(as_doubles), facc.allreduce_rounded(MPI_COMM_WORLD))) << "floats";
    });
}
