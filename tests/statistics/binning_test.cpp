// histogram and bin_data against serial loops over the same values.
#include "stat_data.h"
#include "virda_test/isa_paths.h"
#include "engine/bin_means.h"
#include "engine/histogram.h"

#include <cfloat>
#include <climits>
#include <cstring>

using namespace stat_data;
using virda_test::capture_stderr;
using virda_test::mpi_counts_during;

namespace {

/// A value counts when it lies strictly above `lower` and its quotient
/// (v - lower) / width truncates into 0..nbins-1.
template <typename T>
std::vector<int> serial_counts(const std::vector<T>& v, double lower, double width, int nbins)
{
    std::vector<int> counts(nbins, 0);
    for (T e : v) {
        const double q = (static_cast<double>(e) - lower) / width;
        if (e > lower && q > -1.0 && q < nbins) {
            ++counts[static_cast<int>(q)];
        }
    }
    return counts;
}

/// Rank 0 holds the counts; every other rank as many zeros.
void expect_counts(const std::vector<int>& got, const std::vector<int>& want)
{
    EXPECT_EQ(got, VIRDA_ID == 0 ? want : std::vector<int>(want.size(), 0));
}

/// Bin k is [c0 + (k - 1/2) w, c0 + (k + 1/2) w), w = c[1] - c[0], for every
/// k < c.size(); the mean of the y values of each bin, 0 for an empty one.
template <typename T>
std::vector<long double> serial_bins(const std::vector<double>& x, const std::vector<T>& y, const std::vector<double>& c)
{
    const long double c0 = c[0], w = static_cast<long double>(c[1]) - c[0];
    std::vector<long double> sums(c.size(), 0.0L), counts(c.size(), 0.0L);
    for (std::size_t i = 0; i < x.size(); ++i) {
        const long double k = std::floor((x[i] - c0) / w + 0.5L);
        if (k >= 0 && k < c.size()) { // false for NaN
            sums[static_cast<std::size_t>(k)] += y[i];
            counts[static_cast<std::size_t>(k)] += 1;
        }
    }
    for (std::size_t k = 0; k < c.size(); ++k) {
        sums[k] = counts[k] > 0 ? sums[k] / counts[k] : 0.0L;
    }
    return sums;
}

/// Values on a grid of 1/16, so that one in twelve sits on an edge of the
/// histogram bins below (-1 + 0.75 k) and one in twelve on an edge of the
/// bin_data bins (-0.875 + 0.75 k); NaN, infinities and quotients far beyond
/// int among them (0 for int, 1e30 for float). Extra rows past n hold -0.5,
/// inside bin 0 of both.
template <typename T>
double mixed(int g, int n)
{
    const double odd_values[] = {qnan, inf, -inf, 1e300, -1e300};
    const double v = g >= n ? -0.5 : g % 7 == 3 ? odd_values[g % 5] : std::floor(224 * uniform(7, g) - 50) / 16;
    if (std::is_same_v<T, int>) {
        return std::fabs(v) < 1e6 ? v : 0.0;
    }
    return std::is_same_v<T, float> && std::fabs(v) == 1e300 ? std::copysign(1e30, v) : v;
}

/// y in [-100, 100) (whole numbers for int); a double y holds an occasional
/// NaN, which spoils its bin. Extra rows would spoil every bin they reached.
template <typename T>
double random_y(int g, int n)
{
    if (g >= n || (std::is_same_v<T, double> && g % 97 == 50)) {
        return std::is_same_v<T, int> ? 1e6 : qnan;
    }
    return std::floor(200 * uniform(12, g) - 100) + (std::is_same_v<T, int> ? 0.0 : uniform(13, g));
}

/// x (double) and y (type T) of n elements each with their own extents and
/// extra rows, so that their rows may split differently between ranks, and h
/// (type T) shaped like y: bin_data(x, y), and histograms of h with several
/// layouts (negative and zero widths among them). No rank writes anything.
template <typename T>
void check_random(const std::vector<int>& xdims, int xextra, const std::vector<int>& ydims, int yextra)
{
    const int n = ydims[0] * (ydims.size() > 1 ? ydims[1] : 1);
    auto gx = [n](int g) { return mixed<double>(g, n); };
    auto gy = [n](int g) { return random_y<T>(g, n); };
    auto gh = [n](int g) { return mixed<T>(g, n); };
    Attribute x = make_attribute<double>(xdims, gx, xextra), y = make_attribute<T>(ydims, gy, yextra), h = make_attribute<T>(ydims, gh, yextra);
    const std::vector<double> centres = {-0.5, 0.25, 9.0, -3.0, 1.0, 1.75, 2.5, 3.25, 4.0, 4.75, 5.5, 6.25};
    const std::tuple<double, double, int> layouts[] = {
        {-1.0, 0.75, 16}, {-1.0, 0.75, 3}, {-1.0, -0.75, 4}, {0.0, 0.0, 3}, {-1e300, 1e-300, 2}};
    const auto want = serial_bins(values<double>(n, gx), values<T>(n, gy), centres);
    const auto hv = values<T>(n, gh);
    SCOPED_TRACE(::testing::Message() << "n " << n);
    std::vector<double> got;
    EXPECT_EQ(capture_stderr([&] {
                  got = bin_data(x, y, centres);
                  for (const auto& [lower, width, nbins] : layouts) {
                      SCOPED_TRACE(::testing::Message() << "lower " << lower << " width " << width);
                      expect_counts(histogram(h, lower, width, nbins), serial_counts(hv, lower, width, nbins));
                  }
              }),
              "");
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t k = 0; k < got.size(); ++k) {
        expect_close(got[k], want[k], 1e-13);
    }
}

} // namespace

TEST(Binning, RandomDataOfEveryRealTypeAndDistribution)
{
    const int few = std::max(1, ranks() - 1);
    check_random<double>({1000}, 0, {1000}, 0);
    check_random<float>({1000}, 0, {500, 2}, 2);
    check_random<int>({501, 2}, 1, {1002}, 1);
    check_random<double>({3 * few}, 0, {few, 3}, 2); // a rank holds no y
    check_random<int>({1}, 3, {1}, 0);
}

TEST(Binning, RanksAreThoseOfTheFrameworkCommunicator)
{
    // A job communicator that numbers the ranks in reverse: rank 0 of it
    // gathers the histogram, and bin_data must pick its pairs by its numbering.
    virda_test::with_reversed_ranks([] {
        check_random<double>({1000}, 0, {5, 200}, 1); // rows of x and y split differently
    });
}

TEST(Histogram, EdgesNanAndInfinityAsTheBinsDefine)
{
    const double v[] = {0.0, 0.25, 0.5, 1.99, 2.0, -1.0, qnan, 1.0, inf, -inf};
    Attribute a = make_attribute<double>({10}, [&v](int g) { return v[g]; });
    Attribute pairs = make_attribute<double>({5, 2}, [&v](int g) { return v[g]; });
    expect_counts(histogram(a, 0.0, 0.5, 4), {1, 1, 1, 1});
    expect_counts(histogram(pairs, 0.0, 0.5, 4), {1, 1, 1, 1});
    expect_counts(histogram(a, 0.0, 0.5, 5), {1, 1, 1, 1, 1}); // 2.0 opens bin 4
    expect_counts(histogram(a, -1.0, 1.0, 2), {0, 3});         // -1.0 is the lower edge
    expect_counts(histogram(a, 0.0, -0.5, 3), {1, 0, 0});      // only (lower, lower + |width|)
    EXPECT_EQ(histogram(a, 0.0, 0.5, 0), std::vector<int>());
    // The float nearest 0.1 lies above the double 0.1, so it is counted.
    Attribute f = make_attribute<float>({3}, [](int g) { return 0.1f * (g + 1); });
    expect_counts(histogram(f, 0.1, 0.1, 3), {1, 1, 1});
}

TEST(Histogram, BadInputIsRejectedAlikeOnEveryRankBeforeAnyReduction)
{
    Attribute a = make_attribute<double>({3}, [](int g) { return g; });
    std::vector<int> got{9};
    const std::string text = capture_stderr([&] {
        expect_no_collective(mpi_counts_during([&] { got = histogram(a, 0.0, 1.0, -2); }));
    });
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(text, "ERROR in histogram:negative number of bins.Empty histogram returned\n");

    // Ranks that hold none of the elements must throw too.
    for (Attribute& e : non_real_attributes()) {
        bool threw = false;
        const auto counts = mpi_counts_during([&] {
            try {
                histogram(e, -1.0, 1.0, 4);
            } catch (const boost::bad_get&) {
                threw = true;
            }
        });
        EXPECT_TRUE(threw) << "type code " << e.get_data_type();
        EXPECT_EQ(counts.reduces + counts.allreduces, 0);
    }
}

TEST(BinData, WorkedExampleAndFloorBinning)
{
    Attribute x = make_attribute<double>({4}, [](int g) { return std::vector<double>{0.1, 0.9, 1.2, 5.0}[g]; });
    Attribute y = make_attribute<int>({4}, [](int g) { return 2 * g + 2; });
    EXPECT_EQ(bin_data(x, y, {0.0, 1.0, 2.0}), (std::vector<double>{2.0, 5.0, 0.0}));

    // Bin 0 is as wide as any other: [-0.5, 0.5) with these centres. x and y
    // split their rows differently.
    const double xs[] = {-1.2, -1.5, -0.5, 0.49, 0.5, 3.49, 3.5, -0.51};
    Attribute edges = make_attribute<double>({8}, [&xs](int g) { return xs[g]; });
    Attribute negative = make_attribute<double>({4, 2}, [](int g) { return -std::ldexp(1.0, g); });
    const std::vector<double> want = {-6.0, -16.0, 0.0, -32.0};
    EXPECT_EQ(bin_data(edges, negative, {0.0, 1.0, 2.0, 3.0}), want);
    const auto got = bin_data(edges, negative, {0.0, 1.0, 7.0, -4.0}); // later centres unused
    EXPECT_EQ(got, want);
    EXPECT_FALSE(std::signbit(got[2])); // an empty bin is +0.0 among negative averages

    // The double just below 0.5 belongs to bin 0, although 0.5 plus it rounds to 1.
    Attribute below = make_attribute<double>({2}, [](int g) { return g == 0 ? 0.49999999999999994 : 0.0; });
    Attribute ones = make_attribute<double>({2}, [](int g) { return g + 1.0; });
    EXPECT_EQ(bin_data(below, ones, {0.0, 1.0}), (std::vector<double>{1.5, 0.0}));
}

TEST(BinData, XThatIsNotDoubleWarnsWhereYIsHeldAndDropsThosePairs)
{
    // Two rows of y: ranks 0 and 1 hold them, any others nothing.
    const bool holds_y = ranks() == 1 || VIRDA_ID < 2;
    Attribute y = make_attribute<double>({2}, [](int g) { return g + 1.0; });
    Attribute xf = make_attribute<float>({2}, [](int) { return 0.0f; });
    Attribute xi = make_attribute<int>({2}, [](int) { return 0; });
    for (Attribute* x : {&xf, &xi}) {
        std::vector<double> got;
        const std::string text = capture_stderr([&] { got = bin_data(*x, y, {0.0, 1.0}); });
        EXPECT_EQ(got, (std::vector<double>{0.0, 0.0}));
        EXPECT_EQ(text, holds_y ? "WARNING: attribute not returned. Type mismatch\n" : "");
    }
}

TEST(BinData, UnsupportedInputReturnsTheCentresWithoutCommunication)
{
    Attribute x = make_attribute<double>({3}, [](int g) { return g; });
    Attribute y = make_attribute<double>({3}, [](int g) { return g; });
    Attribute c = make_attribute<char>({3}, [](int g) { return 'a' + g; });
    Attribute v = make_attribute<Vector3>({3}, [](int g) { return Vector3(g); });
    Attribute none;
    const std::vector<double> centres = {0.5, 1.5, 2.5}, one = {1.5}, zero;
    const std::string few = "ERROR in bin_data:fewer than two bin centres.Centres returned\n";
    const std::tuple<Attribute*, const std::vector<double>*, std::string> cases[] = {
        {&c, &centres, ""}, {&v, &centres, ""}, {&none, &centres, ""}, {&y, &one, few}, {&y, &zero, few}};
    for (const auto& [ys, cs, line] : cases) {
        std::vector<double> got;
        std::string text;
        expect_no_collective(mpi_counts_during([&] { text = capture_stderr([&] { got = bin_data(x, *ys, *cs); }); }));
        EXPECT_EQ(got, *cs);
        EXPECT_EQ(text, line);
    }
}

TEST(BinData, ArraysWithoutElementsGiveEmptyBinsQuietly)
{
    Attribute x = make_attribute<double>({0}, [](int) { return 0.0; });
    Attribute y = make_attribute<double>({0}, [](int) { return 0.0; });
    std::vector<double> got;
    EXPECT_EQ(capture_stderr([&] { got = bin_data(x, y, {0.0, 1.0}); }), "");
    EXPECT_EQ(got, (std::vector<double>{0.0, 0.0}));
}

TEST(BinData, WorkersRejectFewerThanTwoCentresAsBinDataDoes)
{
    Attribute x = make_attribute<double>({3}, [](int g) { return g; });
    Attribute yi = make_attribute<int>({3}, [](int g) { return g; });
    Attribute yf = make_attribute<float>({3}, [](int g) { return g; });
    const std::string few = "ERROR in bin_data:fewer than two bin centres.Centres returned\n";
    for (const std::vector<double>& cs : {std::vector<double>{}, std::vector<double>{1.0}}) {
        std::vector<double> got_d, got_i, got_f;
        std::string text;
        expect_no_collective(mpi_counts_during([&] {
            text = capture_stderr([&] {
                got_d = bin_data_template<double>(x, x, cs, 0.0);
                got_i = bin_data_template<int>(x, yi, cs, 0);
                got_f = bin_data_template<float>(x, yf, cs, 0.0f);
            });
        }));
        EXPECT_EQ(got_d, cs);
        EXPECT_EQ(got_i, cs);
        EXPECT_EQ(got_f, cs);
        EXPECT_EQ(text, few + few + few);
    }
}

TEST(BinData, PairsByIndexWhateverEachArraysCommunicator)
{
    // x = g and y = 10 g + 7 over n rows: bin g (centres 0, 1, ...) holds the
    // one pair of x = g, whose average is 10 g + 7. x or y is distributed over
    // the job's ranks in reverse order, or x is held whole on every process.
    MPI_Comm reversed = MPI_COMM_NULL;
    MPI_Comm_split(VIRDA_COMM, 0, ranks() - 1 - VIRDA_ID, &reversed);
    const int n = 2 * ranks() + 1;
    auto make_on = [](MPI_Comm comm, int n, auto f) { return attribute_from_global<double>({n}, comm, f); };
    auto xf = [](int g) { return double(g); };
    auto yf = [](int g) { return 10.0 * g + 7.0; };
    std::vector<double> centres, want;
    for (int g = 0; g < n; ++g) {
        centres.push_back(g);
        want.push_back(yf(g));
    }
    struct layout {
        const char* name;
        MPI_Comm x_comm, y_comm;
    };
    for (const layout& l : {layout{"x reversed", reversed, VIRDA_COMM}, layout{"y reversed", VIRDA_COMM, reversed},
                            layout{"both reversed", reversed, reversed}, layout{"x whole", MPI_COMM_SELF, VIRDA_COMM},
                            layout{"x whole, y reversed", MPI_COMM_SELF, reversed}}) {
        Attribute x = make_on(l.x_comm, n, xf);
        Attribute y = make_on(l.y_comm, n, yf);
        std::vector<double> got;
        const std::string text = capture_stderr([&] { got = bin_data(x, y, centres); });
        EXPECT_EQ(got, want) << l.name;
        EXPECT_EQ(text, "") << l.name;
    }
    MPI_Comm_free(&reversed);
}

namespace {


/// Hard values for both bin rules: the edges of bins 0, 1 and 3 of
/// histogram(lower -1, width 0.75) and of bin_data(c0 -0.875, w 0.75), the
/// doubles on either side of them, NaN, infinities, signed zeros,
/// subnormals and quotients beyond int; then a grid of 1/16 around the
/// bins, so that one in twelve lands on an edge.
double hard_value(int g)
{
    static const double hard[] = {-1.0, -0.25, 0.5, std::nextafter(-1.0, 0.0), std::nextafter(-0.25, -1.0),
                                  -1.25, -0.5, -2.0, -2.375, -2.0 + DBL_EPSILON, 2.125, 2.125 - DBL_EPSILON,
                                  -0.875 + 0.49999999999999994 * 0.75, qnan, -qnan, inf, -inf, 0.0, -0.0,
                                  4.9e-324, -4.9e-324, DBL_MIN, 1e300, -1e300, 3e9, -3e9, 1.6e9, DBL_MAX};
    constexpr int hard_count = sizeof hard / sizeof hard[0];
    return g < hard_count ? hard[g] : std::floor(224 * uniform(21, g) - 50) / 16;
}

template <typename T>
T element(int g)
{
    const double v = hard_value(g);
    if constexpr (std::is_same_v<T, int>) {
        return std::fabs(v) < 1e8 ? static_cast<int>(v * 16) : (g % 2 != 0 ? INT_MAX : INT_MIN);
    } else if constexpr (std::is_same_v<T, float>) {
        return std::isfinite(v) && std::fabs(v) > FLT_MAX ? std::copysign(1e30f, static_cast<float>(v))
                                                           : static_cast<float>(v);
    } else {
        return v;
    }
}

/// bin_data's bin by its definition: floor(t + 1/2) of the double quotient,
/// the half added in long double, where it is exact.
int serial_pair_bin(double x, double c0, double w, int nbins)
{
    const double t = (x - c0) / w;
    const long double k = std::floor(static_cast<long double>(t) + 0.5L);
    return k >= 0 && k < nbins ? static_cast<int>(k) : -1; // false for NaN
}

/// Runs both kernels on n elements of type T against the serial rules:
/// counts exactly, per-bin sums bit for bit (each bin adds its y values in
/// element order). Returns the results, to compare paths with.
template <typename T>
std::vector<double> check_kernels(int n, double lower, double width, int nbins)
{
    SCOPED_TRACE(::testing::Message() << "n " << n << " lower " << lower << " width " << width << " nbins " << nbins);
    std::vector<T> v(n);
    std::vector<double> x(n);
    for (int g = 0; g < n; ++g) {
        v[g] = element<T>(g);
        x[g] = hard_value((g * 7 + 3) % (n + 1));
    }
    // Counted in two blocks: counts add up.
    virda::engine::equal_width_histogram histogram(lower, width, nbins);
    histogram.add(virda::engine::values_of(v.data(), n / 2));
    histogram.add(virda::engine::values_of(v.data() + n / 2, n - n / 2));
    const std::vector<int> counts(histogram.local_counts().begin(), histogram.local_counts().end());
    EXPECT_EQ(counts, serial_counts(v, lower, width, nbins));

    // bin_data with centres c0 = lower + width / 8, so that edges fall
    // between the histogram's; y of type T paired with x.
    const double c0 = lower + width / 8;
    std::vector<double> want_sums(nbins + 1, 0.0);
    std::vector<int> want_pair_counts(nbins + 1, 0);
    virda::engine::bin_means means(c0, width, nbins);
    means.add(virda::engine::values_of(x.data(), n), virda::engine::values_of(v.data(), n));
    const std::vector<double>& sums = means.local_sums();
    const std::vector<std::int64_t>& pair_counts = means.local_counts();
    for (int p = 0; p < n; ++p) {
        const int k = serial_pair_bin(x[p], c0, width, nbins);
        if (k >= 0) {
            want_sums[k] += static_cast<double>(v[p]);
            ++want_pair_counts[k];
        }
    }
    std::vector<double> results(counts.begin(), counts.end());
    for (int k = 0; k < nbins; ++k) {
        EXPECT_EQ(pair_counts[k], want_pair_counts[k]) << "bin " << k;
        EXPECT_TRUE(std::memcmp(&sums[k], &want_sums[k], sizeof(double)) == 0)
            << "bin " << k << ": " << sums[k] << " for " << want_sums[k];
        results.push_back(sums[k]);
        results.push_back(pair_counts[k]);
    }
    return results;
}

/// Every element type and layout on the path in use: lengths around the
/// vector widths and the blocks of 512, few bins and many (with and without
/// sub-histograms), negative, zero and tiny widths.
std::vector<double> check_all_kernels()
{
    std::vector<double> all;
    const std::tuple<double, double, int> layouts[] = {
        {-1.0, 0.75, 4}, {-1.0, 0.75, 1}, {-1.0, -0.75, 4}, {-1.0, 0.0, 3}, {-1e300, 1e-300, 2}, {-3.0, 1e-3, 5000}};
    for (const int n : {0, 1, 3, 5, 511, 512, 1037, 9000}) {
        for (const auto& [lower, width, nbins] : layouts) {
            for (auto* check : {&check_kernels<double>, &check_kernels<float>, &check_kernels<int>}) {
                const std::vector<double> r = check(n, lower, width, nbins);
                all.insert(all.end(), r.begin(), r.end());
            }
        }
    }
    return all;
}

} // namespace

TEST(BinningKernels, EveryPathFollowsTheBinRulesAndAgreesBitwise)
{
    std::vector<double> reference;
    const int ran = virda_test::for_each_runnable_path([&] {
        const std::vector<double> got = check_all_kernels();
        if (reference.empty()) {
            reference = got;
        } else {
            ASSERT_EQ(got.size(), reference.size());
            EXPECT_TRUE(std::memcmp(got.data(), reference.data(), got.size() * sizeof(double)) == 0);
        }
    });
    VIRDA_SKIP_IF_ONE_PATH(ran);
}

TEST(BinningKernels, HistogramAndBinDataOnEveryPath)
{
    // The whole operations, forced onto each path on every rank alike.
    virda_test::for_each_runnable_path([] {
        check_random<double>({1000}, 0, {1000}, 0);
        check_random<int>({501, 2}, 1, {1002}, 1);
    });
}
