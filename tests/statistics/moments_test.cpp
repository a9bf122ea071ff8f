// mean and stdev, plain and weighted, against two-pass long double loops.
#include "stat_data.h"

using namespace stat_data;
using virda_test::mpi_counts_during;

namespace {

/// Weighted mean and population standard deviation, two passes. The mean
/// totals the products x * w taken in double, as numpy.average takes them
/// (never in int or float, where they would wrap or round).
template <typename T, typename W>
std::pair<long double, long double> oracle(const std::vector<T>& x, const std::vector<W>& w)
{
    long double sw = 0, sp = 0, sx = 0, s2 = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sw += w[i];
        sp += static_cast<double>(x[i]) * static_cast<double>(w[i]);
        sx += static_cast<long double>(x[i]) * w[i];
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        s2 += (x[i] - sx / sw) * (x[i] - sx / sw) * w[i];
    }
    return {sp / sw, std::sqrt(s2 / sw)};
}

/// Random x of type T in [lo, hi) and weights of type W in [1, w_hi) (1..5 as
/// int by default) over `dims`; extra rows hold 1e6, which would spoil every
/// result.
template <typename T, typename W>
void check_random(const std::vector<int>& dims, double lo, double hi, int extra, bool unit_too = false,
                  double w_hi = 6.0)
{
    const int n = dims[0] * (dims.size() > 1 ? dims[1] : 1);
    auto gx = [&](int g) { return g >= n ? 1e6 : lo + (hi - lo) * uniform(1, g); };
    auto gw = [&](int g) { return g >= n ? 1e6 : 1 + (w_hi - 1) * uniform(2, g); };
    Attribute x = make_attribute<T>(dims, gx, extra);
    Attribute w = make_attribute<W>(dims, gw, extra);
    const auto xs = values<T>(n, gx);
    const auto plain = oracle(xs, std::vector<int>(n, 1));
    const auto weighted = oracle(xs, values<W>(n, gw));
    SCOPED_TRACE(::testing::Message() << "n " << n << " extra " << extra);
    expect_close(mean(x), plain.first, 1e-14);
    expect_close(stdev(x), plain.second, 1e-12);
    expect_close(mean(x, w), weighted.first, 1e-14);
    expect_close(stdev(x, w), weighted.second, 1e-12);
    if (unit_too) { // unit weights give the plain forms exactly
        Attribute one = make_attribute<int>(dims, [](int) { return 1; });
        EXPECT_EQ(mean(x, one), mean(x));
        EXPECT_EQ(stdev(x, one), stdev(x));
    }
}

} // namespace

TEST(Moments, WorkedValuesOfEveryRealType)
{
    auto g = [](int i) { return i + 1; };
    Attribute d = make_attribute<double>({4}, g), f = make_attribute<float>({4}, g), i = make_attribute<int>({2, 2}, g);
    for (Attribute* a : {&d, &f, &i}) {
        EXPECT_EQ(mean(*a), 2.5);
        EXPECT_DOUBLE_EQ(stdev(*a), std::sqrt(1.25)); // population form, not / 3
    }
    Attribute x = make_attribute<double>({2}, [](int k) { return k == 0 ? 1.0 : 3.0; });
    Attribute w = make_attribute<int>({2}, [](int k) { return k == 0 ? 3 : 1; });
    Attribute w2 = make_attribute<double>({2}, [](int k) { return k + 1.0; });
    EXPECT_EQ(mean(x, w), 1.5);
    EXPECT_DOUBLE_EQ(stdev(x, w), std::sqrt(0.75));
    EXPECT_DOUBLE_EQ(mean(x, w2), 7.0 / 3.0);
    EXPECT_DOUBLE_EQ(mean(w2, x), 7.0 / 4.0); // the second argument weighs
}

TEST(Moments, RandomDataAgainstLongDoubleLoops)
{
    check_random<double, double>({1000}, -50.0, 150.0, 0, true);
    check_random<double, double>({2000}, 1e8, 1e8 + 1, 0); // spread 1 about 1e8
    check_random<float, int>({333, 3}, -20.0, 20.0, 2);
    check_random<int, float>({1001}, -1000.0, 1000.0, 1);
    check_random<double, int>({std::max(1, ranks() - 1), 2}, -9.0, 9.0, 0); // a rank holds nothing
}

TEST(Moments, WeightedProductsOfIntAndFloatDataAreTakenInDouble)
{
    // Products that int * int would wrap and float arithmetic would round.
    Attribute big = make_attribute<int>({2}, [](int) { return 100000; }); // 10^10 wraps in int
    EXPECT_EQ(mean(big, big), 100000.0);
    EXPECT_EQ(stdev(big, big), 0.0);
    Attribute odd = make_attribute<int>({3}, [](int) { return 16777217; }); // 2^24 + 1: no float holds it
    Attribute unit = make_attribute<float>({3}, [](int) { return 1.0f; });
    EXPECT_EQ(mean(odd, unit), 16777217.0);
    EXPECT_EQ(stdev(odd, unit), 0.0);
    Attribute f = make_attribute<float>({3}, [](int g) { return 16777215.0f - g; });
    Attribute three = make_attribute<float>({3}, [](int) { return 3.0f; }); // 3 (2^24 - 1) needs 26 bits
    EXPECT_EQ(mean(f, three), 16777214.0);
    check_random<int, int>({777}, -100000.0, 100000.0, 1, false, 100000.0); // |x w| up to 10^10
    check_random<float, float>({500}, -3e4, 3e4, 0, false, 1e4);

    // The double copy is one more array, made only where the product is not
    // double already: a double operand on either side makes none.
    Attribute xd = make_attribute<double>({4}, [](int g) { return 0.5 * g; });
    Attribute xi = make_attribute<int>({4}, [](int g) { return g; });
    auto collectives = [](const virda_test::MpiCounts& c) { return c.allreduces + c.barriers; };
    const long one_array = collectives(mpi_counts_during([&] { const Attribute copy = xi * scalar_variant(1.0); }));
    const long as_is = collectives(mpi_counts_during([&] { mean(xd, xi); }));
    EXPECT_GT(one_array, 0);
    EXPECT_EQ(collectives(mpi_counts_during([&] { mean(xi, xd); })), as_is);
    EXPECT_EQ(collectives(mpi_counts_during([&] { mean(xi, xi); })), as_is + one_array);
}

TEST(Moments, ConstantDataHasZeroSpreadExactly)
{
    const std::pair<double, int> cases[] = {{0.1, 1000}, {1e8 + 0.3, 7}, {-7.25, 3}, {1.0 / 3.0, 999}, {0.1, 1}};
    for (const auto& [c, n] : cases) {
        SCOPED_TRACE(::testing::Message() << "c " << c << " n " << n);
        Attribute x = make_attribute<double>({n}, [c = c](int) { return c; });
        Attribute w = make_attribute<double>({n}, [](int g) { return 0.25 + uniform(3, g); });
        EXPECT_EQ(stdev(x), 0.0);
        EXPECT_EQ(stdev(x, w), 0.0);
    }
    Attribute f = make_attribute<float>({5}, [](int) { return 0.1f; });
    EXPECT_EQ(stdev(f), 0.0);
}

TEST(Moments, NonFiniteAndEmptyInputFollowIeee)
{
    auto with = [](double odd) { return make_attribute<double>({6}, [odd](int g) { return g == 4 ? odd : g; }); };
    Attribute has_nan = with(qnan), has_inf = with(inf), plain = with(1.0);
    Attribute both = make_attribute<double>({3}, [](int g) { return g == 0 ? inf : g == 2 ? -inf : 1.0; });
    Attribute empty = make_attribute<double>({0}, [](int) { return 0.0; });
    EXPECT_TRUE(std::isnan(mean(has_nan)));
    EXPECT_TRUE(std::isnan(stdev(has_nan)));
    EXPECT_TRUE(std::isnan(mean(plain, has_nan)));
    EXPECT_EQ(mean(has_inf), inf);
    EXPECT_TRUE(std::isnan(stdev(has_inf)));
    EXPECT_TRUE(std::isnan(mean(both)));
    EXPECT_TRUE(std::isnan(mean(empty)));
    EXPECT_TRUE(std::isnan(stdev(empty)));
}

TEST(Moments, ElementsThatAreNotRealNumbersThrowOnEveryRank)
{
    Attribute c = make_attribute<char>({2}, [](int g) { return 'a' + g; });
    Attribute v = make_attribute<Vector3>({2}, [](int g) { return Vector3(g); });
    Attribute x = make_attribute<double>({2}, [](int g) { return g; });
    EXPECT_THROW(mean(c), boost::bad_get);
    EXPECT_THROW(stdev(c), boost::bad_get);
    EXPECT_THROW(mean(v), boost::bad_get);
    EXPECT_THROW(stdev(v), boost::bad_get);
    EXPECT_THROW(mean(x, v), boost::bad_get);
}

TEST(Moments, WeightedFormsOfCharGiveZeroWithMessagesOnEveryRank)
{
    // No product of char with double: the weighted total is an all-zero array.
    Attribute c = make_attribute<char>({5}, [](int g) { return 'a' + g; });
    Attribute w = make_attribute<double>({5}, [](int g) { return 1.0 + g; });
    double m = -1.0;
    double s = -1.0;
    std::string text;
    EXPECT_NO_THROW(text = virda_test::capture_stderr([&] {
                        m = mean(c, w);
                        s = stdev(c, w);
                    }));
    EXPECT_EQ(m, 0.0);
    EXPECT_EQ(s, 0.0);
    EXPECT_GE(virda_test::count_line(text, "PRODUCT NOT DEFINED FOR THESE TWO TYPES; Nothing done"), 2);
}
