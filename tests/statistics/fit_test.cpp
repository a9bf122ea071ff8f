// function (the polynomial and its evaluation) and poly_fit, local and global.
#include "stat_data.h"

#include <memory>

using namespace stat_data;
using virda_test::capture_stderr;

namespace {

using fit_ptr = std::unique_ptr<function>;

/// The polynomial the fits should recover, and data scattered about it.
const std::vector<double> truth = {1.5, -2.0, 0.25, 0.125};
double on_truth(double x) { return 1.5 + x * (-2.0 + x * (0.25 + x * 0.125)); }
double gen_x(int g) { return 4 * uniform(21, g) - 2; }
double gen_noisy(int g) { return on_truth(gen_x(g)) + 0.1 * (uniform(22, g) - 0.5); }
double gen_w(int g) { return 0.1 + uniform(23, g); }

/// Takes the fit over and checks that every coefficient is NaN.
void expect_all_nan(function* fit)
{
    const fit_ptr f(fit);
    for (double c : f->get_coeffs()) {
        EXPECT_TRUE(std::isnan(c)) << c;
    }
}

void expect_coeffs(const function* f, const std::vector<double>& want, double tol)
{
    EXPECT_EQ(f->get_type(), 0);
    EXPECT_EQ(f->get_order(), static_cast<int>(want.size()) - 1);
    ASSERT_EQ(f->get_coeffs().size(), want.size());
    for (std::size_t p = 0; p < want.size(); ++p) {
        expect_close(f->get_coeffs()[p], want[p], tol);
    }
}

/// eval of an attribute of type T against a long double Horner sum per
/// element: a double attribute distributed like x, NaN where x is not finite.
template <typename T>
void check_eval(const function& f, const std::vector<int>& dims, double (*gen)(int))
{
    Attribute x = make_attribute<T>(dims, gen);
    Attribute y = f.eval(x);
    EXPECT_EQ(y.get_data_type(), 3);
    int xf = 0, xl = 0, yf = 1, yl = 1;
    x.get_gen_distribution_index(VIRDA_ID, &xf, &xl);
    y.get_gen_distribution_index(VIRDA_ID, &yf, &yl);
    EXPECT_EQ(std::make_pair(xf, xl), std::make_pair(yf, yl));
    const auto xs = values<T>(x.size(), gen);
    std::vector<double> got(xs.size());
    y.get<double>(0, y.size() - 1, got.data());
    for (std::size_t g = 0; g < xs.size(); ++g) {
        long double want = 0;
        for (std::size_t i = f.get_coeffs().size(); f.get_type() == 0 && i-- > 0;) {
            want = want * xs[g] + f.get_coeffs()[i];
        }
        expect_close(got[g], std::isfinite(static_cast<double>(xs[g])) ? want : qnan, 1e-13);
    }
}

} // namespace

TEST(Function, ConstructionSettersAndLocalEvaluation)
{
    EXPECT_EQ(function().get_coeffs(), std::vector<double>(3, 0.0));
    EXPECT_EQ(function(0, 3).get_coeffs(), std::vector<double>(4, 0.0));
    function f, other;
    f.set_coeffs({1, 2, 3});
    other = f;
    EXPECT_EQ(f.eval(2.0), 17.0);
    EXPECT_EQ(f.eval(std::vector<double>{0.0, 1.0, 2.0}), (std::vector<double>{1, 6, 17}));
    f.set_order(4);
    EXPECT_EQ(f.get_coeffs(), (std::vector<double>{1, 2, 3, 0, 0}));
    f.set_order(1);
    EXPECT_EQ(f.get_coeffs(), (std::vector<double>{1, 2}));
    EXPECT_EQ(f.eval(2.0), 5.0);
    other.set_type(1);
    f.set_coeffs({});
    for (const function& zero : {other, f}) {
        EXPECT_EQ(zero.eval(2.0), 0.0);
        EXPECT_EQ(zero.eval(std::vector<double>{1, 2, 3}), std::vector<double>(3, 0.0));
    }
    EXPECT_EQ(f.get_order(), -1);
}

TEST(Function, NegativeOrderIsRejectedWithOneLine)
{
    const std::string line = "ERROR in function:negative order.Order left unchanged\n";
    std::unique_ptr<function> f;
    EXPECT_EQ(capture_stderr([&] { f = std::make_unique<function>(0, -2); }), line);
    EXPECT_EQ(f->get_order(), -1);
    EXPECT_TRUE(f->get_coeffs().empty());
    EXPECT_EQ(f->eval(2.0), 0.0);
    function g;
    g.set_coeffs({1, 2, 3});
    EXPECT_EQ(capture_stderr([&] { g.set_order(-1); }), line);
    EXPECT_EQ(g.get_coeffs(), (std::vector<double>{1, 2, 3}));
}

TEST(Function, EvaluationOnAttributesOfEveryRealType)
{
    function cubic, quadratic, line, other;
    cubic.set_coeffs({0.5, -1.25, 0.75, 0.3});
    quadratic = line = other = cubic;
    quadratic.set_order(2);
    line.set_order(1);
    other.set_type(7); // zero, but NaN where x is not finite
    check_eval<double>(cubic, {1000}, [](int g) { return g % 9 == 4 ? (g % 2 ? inf : qnan) : gen_x(g); });
    check_eval<float>(quadratic, {std::max(1, ranks() - 1), 3}, gen_x); // a rank holds nothing
    check_eval<int>(line, {50, 2}, [](int g) { return std::floor(40 * uniform(24, g) - 20); });
    check_eval<double>(other, {7}, [](int g) { return g == 2 ? -inf : gen_x(g); });
}

TEST(PolyFit, VectorFormsRecoverTheGeneratingPolynomial)
{
    std::vector<double> x = {0, 1, 2, 3}, y = {2, 5, 8, 11};
    expect_coeffs(fit_ptr(poly_fit(x, y, 1)).get(), {2, 3}, 1e-12);

    std::vector<double> xs = values<double>(60, gen_x), w = values<double>(60, gen_w), ys, noisy;
    long double swy = 0, sw = 0;
    for (int g = 0; g < 60; ++g) {
        ys.push_back(on_truth(xs[g]));
        noisy.push_back(gen_noisy(g));
        swy += w[g] * noisy[g];
        sw += w[g];
    }
    expect_coeffs(fit_ptr(poly_fit(xs, ys, 3)).get(), truth, 1e-10);
    expect_coeffs(fit_ptr(poly_fit(xs, ys, w, 3)).get(), truth, 1e-10);
    // Order 0 is the weighted mean.
    expect_coeffs(fit_ptr(poly_fit(xs, noisy, w, 0)).get(), {static_cast<double>(swy / sw)}, 1e-13);
    // Zero weights remove points; entries of y and w beyond x are ignored.
    std::vector<double> yz = ys, wz = w, head(xs.begin(), xs.begin() + 10);
    for (int g = 0; g < 60; g += 3) {
        yz[g] = 1e6;
        wz[g] = 0.0;
    }
    expect_coeffs(fit_ptr(poly_fit(xs, yz, wz, 3)).get(), truth, 1e-10);
    expect_coeffs(fit_ptr(poly_fit(head, ys, w, 3)).get(), truth, 1e-9);
}

TEST(PolyFit, VectorFormsRejectBadInputAndReportSingularSystems)
{
    std::vector<double> x = {1, 2, 3}, y = {1, 2, 3}, w = {1, 1, 1}, shorter = {1, 2};
    std::vector<fit_ptr> fits;
    const std::string text = capture_stderr([&] {
        fits.emplace_back(poly_fit(x, y, w, -1));
        fits.emplace_back(poly_fit(x, y, -3));
        fits.emplace_back(poly_fit(x, shorter, w, 2));
        fits.emplace_back(poly_fit(x, y, shorter, 1));
        fits.emplace_back(poly_fit(x, shorter, 3));
    });
    const std::string negative = "ERROR in poly_fit:negative order.Zero polynomial returned\n";
    const std::string short_input = "ERROR in poly_fit:y or w shorter than x.Zero polynomial returned\n";
    EXPECT_EQ(text, negative + negative + short_input + short_input + short_input);
    const std::vector<std::vector<double>> zeros = {{0}, {0}, {0, 0, 0}, {0, 0}, {0, 0, 0, 0}};
    for (std::size_t i = 0; i < fits.size(); ++i) {
        expect_coeffs(fits[i].get(), zeros[i], 0.0);
    }
    // One distinct x cannot fix a line; two cannot fix a parabola.
    std::vector<double> same = {1, 1, 1}, two = {0, 1, 0};
    expect_all_nan(poly_fit(same, y, 1));
    expect_all_nan(poly_fit(two, y, 2));
}

TEST(PolyFit, AttributeFormsMatchTheVectorFormsOnTheSameData)
{
    const int n = 997;
    Attribute x = make_attribute<double>({n}, gen_x), y = make_attribute<double>({n}, gen_noisy), w = make_attribute<double>({n}, gen_w);
    auto xs = values<double>(n, gen_x), ys = values<double>(n, gen_noisy), ws = values<double>(n, gen_w);
    expect_coeffs(fit_ptr(poly_fit(x, y, w, 3)).get(), fit_ptr(poly_fit(xs, ys, ws, 3))->get_coeffs(), 1e-10);
    expect_coeffs(fit_ptr(poly_fit(x, y, w, 0)).get(), fit_ptr(poly_fit(xs, ys, ws, 0))->get_coeffs(), 1e-13);
    // Float x on the exact polynomial, with a rank holding nothing at 4 ranks.
    auto gf = [](int g) { return static_cast<double>(static_cast<float>(gen_x(g))); };
    const int rows = std::max(3, ranks() - 1);
    Attribute xf = make_attribute<float>({rows, 2}, gf);
    Attribute yf = make_attribute<double>({rows, 2}, [&gf](int g) { return on_truth(gf(g)); });
    expect_coeffs(fit_ptr(poly_fit(xf, yf, 3)).get(), truth, 1e-9);
}

TEST(PolyFit, AttributeFormsOnNonFiniteOrBadInput)
{
    // The attribute form's unit weights are x * 0 + 1, so a NaN x spoils even
    // the order-0 fit; the vector form's weights are literal ones.
    auto gx = [](int g) { return g == 2 ? qnan : g; };
    Attribute x = make_attribute<double>({2, 2}, gx), y = make_attribute<double>({2, 2}, [](int g) { return g; });
    expect_all_nan(poly_fit(x, y, 0));
    std::vector<double> xs = values<double>(4, gx), ys = {0, 1, 2, 3};
    expect_coeffs(fit_ptr(poly_fit(xs, ys, 0)).get(), {1.5}, 1e-15);
    expect_all_nan(poly_fit(xs, ys, 1));

    std::vector<fit_ptr> fits;
    std::string text;
    expect_no_collective(virda_test::mpi_counts_during([&] {
        text = capture_stderr([&] {
            fits.emplace_back(poly_fit(x, y, -1));
            fits.emplace_back(poly_fit(x, y, y, -2));
        });
    }));
    const std::string line = "ERROR in poly_fit:negative order.Zero polynomial returned\n";
    EXPECT_EQ(text, line + line);
    for (const auto& f : fits) {
        expect_coeffs(f.get(), {0}, 0.0);
    }
}
