// quantile and median against an oracle that sorts the whole data (every
// rank generates it from the global index), and their rejections.
#include "statistics/selection.h"
#include "stat_data.h"
#include "virda_test/isa_paths.h"

#include <boost/variant/get.hpp>

#include <climits>
#include <cstring>
#include <string>

using namespace stat_data;
using virda_test::capture_stderr;
using virda_test::count_line;
using virda_test::mpi_counts_during;

namespace {

const std::vector<double> probabilities = {0.0, 1.0, 0.5, 0.05, 0.95, 0.25, 1.0 / 3.0, 0.999, 1e-9};

/// The interpolation as documented in quantile.h, written out again.
double oracle_between(double a, double b, double t)
{
    if (t == 0.0 || a == b) {
        return a;
    }
    if (std::isinf(a) && std::isinf(b)) {
        return qnan;
    }
    if (std::isinf(a) || std::isinf(b)) {
        return std::isinf(a) ? a : b;
    }
    const double d = b - a;
    const double r = !std::isfinite(d) ? (1.0 - t) * a + t * b : t < 0.5 ? a + d * t : b - d * (1.0 - t);
    return std::min(std::max(r, a), b);
}

/// The quantiles of v by sorting it.
std::vector<double> oracle(std::vector<double> v, const std::vector<double>& q)
{
    std::vector<double> out;
    const bool nan = std::any_of(v.begin(), v.end(), [](double e) { return std::isnan(e); });
    for (double& e : v) {
        e += 0.0; // -0.0 is reported as +0.0
    }
    std::sort(v.begin(), v.end());
    for (const double p : q) {
        if (nan || v.empty() || !(p >= 0.0 && p <= 1.0)) {
            out.push_back(qnan);
            continue;
        }
        const double h = static_cast<double>(v.size() - 1) * p;
        const std::size_t lo = static_cast<std::size_t>(std::floor(h));
        out.push_back(oracle_between(v[lo], v[std::min(lo + 1, v.size() - 1)], h - std::floor(h)));
    }
    return out;
}

/// Same bits (NaN equal to NaN).
void expect_bits(const std::vector<double>& got, const std::vector<double>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_TRUE(std::memcmp(&got[i], &want[i], sizeof(double)) == 0 || (std::isnan(got[i]) && std::isnan(want[i])))
            << "entry " << i << ": " << got[i] << " for " << want[i];
    }
}

/// Many duplicates (a few dozen distinct values), both zeros, infinities
/// and, where `with_nan`, one NaN at g = n / 2. Extra rows hold a value below
/// all others: read, it would become the minimum.
template <typename T>
double mixed(int g, int n, bool with_nan)
{
    if (g >= n) {
        return -1e9;
    }
    if (with_nan && g == n / 2) {
        return qnan;
    }
    const double u = uniform(31, g);
    if (std::is_same_v<T, int>) {
        return std::floor(40 * u) - 20;
    }
    const double odd[] = {0.0, -0.0, inf, -inf};
    return g % 11 == 4 ? odd[g % 4] : std::floor(64 * u - 32) / 8;
}

/// quantile and median of one attribute against the oracle, quietly.
template <typename T>
void check_against_oracle(const std::vector<int>& dims, int extra, bool with_nan)
{
    const int n = dims[0] * (dims.size() > 1 ? dims[1] : 1);
    auto gen = [n, with_nan](int g) { return mixed<T>(g, n, with_nan); };
    Attribute a = make_attribute<T>(dims, gen, extra);
    const auto typed = values<T>(n, gen);
    const std::vector<double> v(typed.begin(), typed.end());
    SCOPED_TRACE(::testing::Message() << "n " << n << " extra " << extra << " nan " << with_nan);
    std::vector<double> got;
    double mid = 0.0;
    EXPECT_EQ(capture_stderr([&] {
                  got = quantile(a, probabilities);
                  mid = median(a);
              }),
              "");
    expect_bits(got, oracle(v, probabilities));
    expect_bits({mid}, oracle(v, {0.5}));
}

} // namespace

TEST(Quantile, EveryRealTypeAndDistributionAgainstTheSortedData)
{
    const int few = std::max(1, ranks() - 1);
    check_against_oracle<double>({2000}, 0, false);
    check_against_oracle<double>({1000, 2}, 3, false); // rows of two, extra rows
    check_against_oracle<float>({999}, 1, false);
    check_against_oracle<int>({1001}, 2, false);
    check_against_oracle<double>({few}, 0, false); // fewer elements than ranks
    check_against_oracle<int>({1}, 4, false);      // a single element
    check_against_oracle<double>({1}, 0, false);
}

TEST(Quantile, AnyNanElementMakesEveryResultNan)
{
    check_against_oracle<double>({500}, 0, true);
    check_against_oracle<float>({3}, 1, true);
    // A NaN float: the NaN test must look at the value, not only at doubles.
    Attribute f = make_attribute<float>({4}, [](int g) { return g == 3 ? std::nanf("") : 1.0f * g; });
    const std::vector<double> got = quantile(f, {0.0, 1.0});
    EXPECT_TRUE(std::isnan(got[0]) && std::isnan(got[1]));
}

TEST(Quantile, WorkedValuesZerosAndInfinities)
{
    // {0, 1, inf}: h = 1 is whole, so the median is the element 1 itself.
    Attribute three = make_attribute<double>({3}, [](int g) { return std::vector<double>{inf, 0.0, 1.0}[g]; });
    EXPECT_EQ(median(three), 1.0);
    EXPECT_EQ(quantile(three, {0.75})[0], inf);    // between 1 and inf
    EXPECT_EQ(quantile(three, {0.25})[0], 0.5);
    // {-inf, inf}: the line between them has no value halfway.
    Attribute both = make_attribute<double>({2}, [](int g) { return g == 0 ? -inf : inf; });
    EXPECT_TRUE(std::isnan(median(both)));
    EXPECT_EQ(quantile(both, {0.0, 1.0}), (std::vector<double>{-inf, inf}));
    // {-inf, -inf, 2}: equal neighbours give themselves; -inf to 2 gives -inf.
    Attribute low = make_attribute<double>({3}, [](int g) { return g < 2 ? -inf : 2.0; });
    EXPECT_EQ(quantile(low, {0.25, 0.75})[0], -inf);
    EXPECT_EQ(quantile(low, {0.25, 0.75})[1], -inf);
    // Zeros of both signs are one value, reported as +0.0.
    Attribute zeros = make_attribute<double>({4}, [](int g) { return g % 2 == 0 ? -0.0 : 0.0; });
    const std::vector<double> z = quantile(zeros, {0.0, 0.5, 1.0});
    for (const double e : z) {
        EXPECT_EQ(e, 0.0);
        EXPECT_FALSE(std::signbit(e));
    }
    // Even count: halfway between the middle elements; int extremes exactly.
    Attribute ints = make_attribute<int>({4}, [](int g) { return std::vector<int>{INT_MAX, INT_MIN, 7, 8}[g]; });
    EXPECT_EQ(median(ints), 7.5);
    EXPECT_EQ(quantile(ints, {0.0, 1.0}), (std::vector<double>{INT_MIN, INT_MAX}));
    // Neighbours whose difference overflows.
    Attribute wide = make_attribute<double>({2}, [](int g) { return g == 0 ? -1e308 : 1.5e308; });
    EXPECT_EQ(median(wide), 0.5 * -1e308 + 0.5 * 1.5e308);
}

TEST(Quantile, InterpolationStaysBetweenItsNeighbours)
{
    using virda_detail::interpolate;
    const double pairs[][2] = {{1.0, 1.0 + 1e-15}, {-3.0, 1e-300}, {0.1, 0.7}, {-1e308, 1e308}, {5e-324, 1e-323}};
    for (const auto& ab : pairs) {
        double last = ab[0];
        for (int k = 1; k < 64; ++k) {
            const double r = interpolate(ab[0], ab[1], k / 64.0);
            EXPECT_GE(r, last) << ab[0] << " " << ab[1] << " t " << k / 64.0;
            EXPECT_LE(r, ab[1]);
            last = r;
        }
    }
    EXPECT_EQ(interpolate(2.0, 4.0, 0.25), 2.5);
    EXPECT_EQ(interpolate(2.0, 4.0, 0.75), 3.5);
}

TEST(Quantile, SameBitsWhateverTheDistributionOfTheData)
{
    // The same 3000 values in one row each, in rows of three (extra rows hold
    // a value above all others), and over a communicator that numbers the
    // ranks in reverse.
    auto gen = [](int g) { return g >= 3000 ? 1e9 : std::ldexp(uniform(41, g) - 0.5, g % 7 - 3); };
    Attribute flat = make_attribute<double>({3000}, gen);
    Attribute rows = make_attribute<double>({1000, 3}, gen, 2);
    const std::vector<double> a = quantile(flat, probabilities);
    const std::vector<double> b = quantile(rows, probabilities);
    std::vector<double> c;
    virda_test::with_reversed_ranks([&] {
        Attribute again = make_attribute<double>({3000}, gen);
        c = quantile(again, probabilities);
    });
    expect_bits(a, oracle(values<double>(3000, gen), probabilities));
    expect_bits(b, a);
    expect_bits(c, a);
}

TEST(Quantile, RejectionsWriteOneLineEachAndLeaveNoCollectiveUnmatched)
{
    Attribute a = make_attribute<double>({5}, [](int g) { return 2.0 * g; });
    Attribute none;
    Attribute empty = make_attribute<double>({0}, [](int) { return 0.0; });
    const std::string bad = "ERROR in quantile:probability outside [0, 1] or NaN.NaN returned for it";

    // Bad probabilities: their entries NaN, the others computed in the
    // usual reductions: the count's, then one per digit.
    std::vector<double> got;
    std::string text;
    auto counts = mpi_counts_during([&] { text = capture_stderr([&] { got = quantile(a, {-0.1, 0.5, qnan, 1.5, 1.0}); }); });
    EXPECT_EQ(count_line(text, bad), 3);
    EXPECT_EQ(virda_test::split_lines(text).size(), 3u);
    EXPECT_EQ(counts.allreduces, 1 + 8); // the count, then eight digits of 8 bits
    expect_bits(got, {qnan, 4.0, qnan, qnan, 8.0});

    // Nothing usable: no communication at all.
    counts = mpi_counts_during([&] { text = capture_stderr([&] { got = quantile(a, {2.0, -inf}); }); });
    expect_no_collective(counts);
    EXPECT_EQ(count_line(text, bad), 2);
    counts = mpi_counts_during([&] { text = capture_stderr([&] { got = quantile(a, {}); }); });
    expect_no_collective(counts);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(text, "");

    // No array, no elements: one line per call, NaN for every entry. No
    // array is decided alone; no elements after the count's reduction, which
    // tells every rank that no rank holds any.
    const std::tuple<Attribute*, const char*, std::string> cases[] = {
        {&none, "quantile", "ERROR in quantile:attribute holds no array.NaN returned\n"},
        {&empty, "quantile", "ERROR in quantile:attribute has no elements.NaN returned\n"},
        {&none, "median", "ERROR in median:attribute holds no array.NaN returned\n"},
        {&empty, "median", "ERROR in median:attribute has no elements.NaN returned\n"}};
    for (const auto& [x, op, line] : cases) {
        counts = mpi_counts_during([&] {
            text = capture_stderr([&] {
                got = std::string(op) == "median" ? std::vector<double>{median(*x)} : quantile(*x, {0.5, 0.1});
            });
        });
        EXPECT_EQ(counts.allreduces, x == &none ? 0 : 1) << line;
        EXPECT_EQ(counts.reduces + counts.barriers + counts.windows_created, 0) << line;
        EXPECT_EQ(text, line);
        for (const double e : got) {
            EXPECT_TRUE(std::isnan(e)) << line;
        }
    }
}

TEST(Quantile, ArraysOverOtherCommunicatorsGiveNanAndOneLineOnEveryRank)
{
    // Each half of the job holds an array of its own, over its own
    // communicator, while VIRDA_COMM is the whole job: the ranks of
    // VIRDA_COMM do not hold one array between them, whatever the two sizes
    // (equal ones, or one half without elements, included). At one rank the
    // half is the whole job and the results are right.
    const virda_test::halves halves;
    const int side = halves.side();
    const MPI_Comm half = halves.comm();
    auto gen = [side](int g) { return side == 0 ? 1.5 * g : 100.0 - 10.0 * g; };
    const std::string refused_q = "ERROR in quantile:attribute not distributed over VIRDA_COMM.NaN returned";
    const std::string refused_m = "ERROR in median:attribute not distributed over VIRDA_COMM.NaN returned";
    for (const auto& sizes : std::vector<std::vector<int>>{{5, 8}, {6, 6}, {7, 0}, {70000, 3}}) {
        const int n = sizes[static_cast<std::size_t>(side)];
        SCOPED_TRACE(::testing::Message() << "sizes " << sizes[0] << ", " << sizes[1]);
        std::vector<double> got;
        double mid = 0.0;
        std::string text;
        {
            Attribute x = attribute_from_global<double>({n}, half, gen);
            text = capture_stderr([&] {
                got = quantile(x, {0.5, 0.9});
                mid = median(x);
            });
        }
        if (ranks() == 1) {
            EXPECT_EQ(text, "");
            expect_bits(got, oracle(values<double>(n, gen), {0.5, 0.9}));
            expect_bits({mid}, oracle(values<double>(n, gen), {0.5}));
        } else {
            EXPECT_EQ(text, refused_q + "\n" + refused_m + "\n");
            expect_bits(got, {qnan, qnan});
            EXPECT_TRUE(std::isnan(mid));
        }
    }

    // VIRDA_COMM one half, the array over the whole job: the half's blocks
    // hold only part of it.
    Attribute whole = make_attribute<double>({9}, [](int g) { return 1.0 * g; });
    if (side == 0) {
        std::string text;
        double mid = 0.0;
        virda_test::with_framework_comm(half, [&] { text = capture_stderr([&] { mid = median(whole); }); });
        if (ranks() == 1) {
            EXPECT_EQ(mid, 4.0);
        } else {
            EXPECT_EQ(text, refused_m + "\n");
            EXPECT_TRUE(std::isnan(mid));
        }
    }
}

TEST(Quantile, OtherElementTypesThrowOnEveryRankBeforeAnyReduction)
{
    // Ranks that hold none of the elements must throw too.
    for (Attribute& e : non_real_attributes()) {
        int threw = 0;
        const auto counts = mpi_counts_during([&] {
            try {
                quantile(e, {0.5});
            } catch (const boost::bad_get&) {
                ++threw;
            }
            try {
                median(e);
            } catch (const boost::bad_get&) {
                ++threw;
            }
        });
        EXPECT_EQ(threw, 2) << "type code " << e.get_data_type();
        expect_no_collective(counts);
    }
}

