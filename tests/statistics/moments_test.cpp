// mean and stdev, plain and weighted, against two-pass long double loops.
#include "stat_data.h"

using namespace stat_data;

namespace {

/// Weighted mean and population standard deviation, two passes. The mean
/// totals the products x * w in their promoted element type (an int or float
/// pair multiplies in float), as the attribute product makes them.
template <typename T, typename W>
std::pair<long double, long double> oracle(const std::vector<T>& x, const std::vector<W>& w)
{
    using P = typename promote_trait<T, W>::T_promote_pr;
    long double sw = 0, sp = 0, sx = 0, s2 = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sw += w[i];
        sp += static_cast<P>(static_cast<P>(x[i]) * static_cast<P>(w[i]));
        sx += static_cast<long double>(x[i]) * w[i];
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        s2 += (x[i] - sx / sw) * (x[i] - sx / sw) * w[i];
    }
    return {sp / sw, std::sqrt(s2 / sw)};
}

/// Random x of type T in [lo, hi) and weights of type W in [1, 6) (1..5 as
/// int) over `dims`; extra rows hold 1e6, which would spoil every result.
template <typename T, typename W>
void check_random(const std::vector<int>& dims, double lo, double hi, int extra, bool unit_too = false)
{
    const int n = dims[0] * (dims.size() > 1 ? dims[1] : 1);
    auto gx = [&](int g) { return g >= n ? 1e6 : lo + (hi - lo) * uniform(1, g); };
    auto gw = [&](int g) { return g >= n ? 1e6 : 1 + 5 * uniform(2, g); };
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
