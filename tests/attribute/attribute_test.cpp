// The attribute handle: type codes, element values, range reads, distribution,
// the Empty state, copies and moves, arithmetic results, and the runtime's
// whole-attribute operations.
#include "make_attribute.h"
#include "framework/messages.h"
#include "virda_test/ranks.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

namespace msg = virda_messages;
using virda_test::capture_stderr;
using virda_test::count_line;
using virda_test::make_attribute;
using virda_test::mpi_counts_during;

namespace {

using virda_test::ranks;

double num(const VV1& v) { return static_cast<double>(v); }

// Type code and variant alternative of an attribute holding a va<T>.
template <class T> void expect_codes(int code, int which)
{
    Attribute at = make_attribute<T>({4}, [](int) { return T{}; });
    array_variant out;
    at.get_data(out);
    EXPECT_TRUE(at.get_data_type() == code && type_code<T>::value == code && find_variant_type(out) == code);
    EXPECT_TRUE(out.which() == which && at.size() == 4) << code;
}

} // namespace

TEST(Attribute, CodesCopiesMovesAndContexts)
{
    const auto none = mpi_counts_during([] {
        Attribute a;
        EXPECT_TRUE(a.get_data_type() == 0 && a.get_context_pointer() != nullptr);
    });
    EXPECT_EQ(none.windows_created + none.barriers + none.allreduces + none.mem_allocated, 0);
    expect_codes<double>(3, 0);
    expect_codes<float>(2, 1);
    expect_codes<int>(1, 2);
    expect_codes<Vector3>(7, 3);
    expect_codes<char>(4, 4);
    expect_codes<Vector2>(6, 5);
    expect_codes<fftw_complex>(5, 6);

    Attribute b = make_attribute<double>({6}, [](int g) { return 1.5 * g; });
    auto during = mpi_counts_during([&] {
        Attribute a(b);
        EXPECT_TRUE(a.get_data_type() == 3 && a.size() == 6);
        EXPECT_EQ(a.get_context_pointer(), b.get_context_pointer());
        Attribute c = make_attribute<double>({6}, [](int g) { return -1.0 * g; });
        // Same element type and shape: elements only, no window.
        EXPECT_EQ(mpi_counts_during([&] { b = c; }).windows_created, 0);
        MPI_Barrier(VIRDA_COMM); // b's blocks were written in place
        for (int g = 0; g < 6; ++g) {
            EXPECT_TRUE(num(a[g]) == 1.5 * g && num(b[g]) == -1.0 * g) << g; // the copy is its own
        }
    });
    EXPECT_EQ(during.windows_created, 2);
    during = mpi_counts_during([&] {
        Attribute m(std::move(b));
        EXPECT_TRUE(b.get_data_type() == 0 && m.get_data_type() == 3);
        b = std::move(m);
        EXPECT_EQ(m.get_data_type(), 0);
    });
    EXPECT_EQ(during.windows_created + during.windows_freed + during.barriers, 0);

    Attribute t = make_attribute<int>({2, 2}, [](int g) { return g; });
    t.set_attribute(array_variant(va<Vector3>({3, 3}, VIRDA_COMM)));
    EXPECT_TRUE(t.get_data_type() == 7 && t.size() == 9); // on every rank, also one holding no rows
    Context* const tc = t.get_context_pointer();
    during = mpi_counts_during([&] { t = b; });
    EXPECT_TRUE(during.windows_created == 1 && during.windows_freed == 1);
    EXPECT_TRUE(t.get_data_type() == 3 && t.size() == 6);
    EXPECT_EQ(t.get_context_pointer(), b.get_context_pointer());
    EXPECT_NE(tc, t.get_context_pointer());
    const std::string err = capture_stderr([&] { t = t; });
    EXPECT_EQ(err, std::string(msg::self_assignment) + "\n");
    EXPECT_EQ(num(t[5]), -5.0);
}

TEST(Attribute, ElementsRangesAndDistribution)
{
    const int n = ranks(), last = 3 * n - 1; // held by the last rank
    Attribute i = make_attribute<int>({n, 3}, [&](int g) { return g == last ? 42 : g; });
    Attribute f = make_attribute<float>({n}, [](int) { return 0.1f; });
    for (int g = 0; g <= last; ++g) {
        EXPECT_EQ(num(i[g]), g == last ? 42.0 : g);
    }
    EXPECT_EQ(num(f[n - 1]), 0.100000001490116119384765625);
    Attribute c = make_attribute<char>({3}, [](int g) { return char('a' + g); });
    Attribute v2 = make_attribute<Vector2>({3}, [](int g) { return Vector2(g, 1); });
    Attribute v3 = make_attribute<Vector3>({3}, [](int g) { return Vector3(1, g, 1); });
    Attribute x = make_attribute<fftw_complex>({3}, [](int g) { return fftw_complex{1, 1.0 * g}; });
    using alternative = std::pair<Attribute*, int>;
    for (const auto& [at, which] : std::initializer_list<alternative>{{&c, 5}, {&v2, 4}, {&v3, 3}, {&x, 6}}) {
        const VV1 value = (*at)[2];
        EXPECT_EQ(value.value().which(), which);
        EXPECT_THROW(num(value), boost::bad_get);
    }
    EXPECT_EQ(boost::get<char>(c[2].value()), 'c');
    EXPECT_EQ(boost::get<Vector3>(v3[2].value()).y, 2.0);
    EXPECT_EQ(boost::get<fftw_complex>(x[1].value()).im, 1.0);
    std::string err = capture_stderr([&] {
        EXPECT_EQ(boost::get<Vector2>(v2[3].value()).x, 0.0);
        EXPECT_EQ(num(i[-1]), 0.0);
    });
    EXPECT_EQ(count_line(err, msg::index_too_large), 2);

    Attribute a = make_attribute<int>({10, 2}, [](int g) { return 100 + g; });
    int buf[3] = {-1, -1, -1};
    EXPECT_EQ(a.get<int>(13, 13, buf), 1);
    EXPECT_TRUE(buf[0] == 113 && buf[1] == -1);
    double dbuf[2] = {7.0, 7.0};
    err = capture_stderr([&] {
        EXPECT_EQ(a.get<double>(0, 1, dbuf), 1);
        EXPECT_EQ(a.get<int>(5, 3, buf + 2), 1);
    });
    EXPECT_TRUE(count_line(err, msg::type_mismatch) == 1 && count_line(err, msg::inverted_range) == 1);
    EXPECT_TRUE(dbuf[0] == 7.0 && dbuf[1] == 7.0 && buf[2] == -1);

    // Rows 10 over n ranks: the first 10 % n ranks take one more.
    for (int r = 0, start = 0; r < n; ++r) {
        const int rows = 10 / n + (r < 10 % n ? 1 : 0);
        int first = -7, end = -7;
        EXPECT_EQ(a.get_gen_distribution_index(r, &first, &end), 0);
        EXPECT_TRUE(first == 2 * start && end == 2 * (start + rows) - 1) << r;
        start += rows;
    }
    if (n == 3) {
        int e[6];
        for (int r = 0; r < 3; ++r) {
            a.get_gen_distribution_index(r, &e[2 * r], &e[2 * r + 1]);
        }
        EXPECT_EQ(std::vector<int>(e, e + 6), std::vector<int>({0, 7, 8, 13, 14, 19}));
        make_attribute<double>({2}, [](int g) { return g; }).get_gen_distribution_index(2, &e[0], &e[1]);
        EXPECT_TRUE(e[0] == 2 && e[1] == 1);
    }
    int first = 5, end = 5;
    err = capture_stderr([&] { EXPECT_EQ(a.get_gen_distribution_index(n, &first, &end), 0); });
    EXPECT_TRUE(count_line(err, msg::rank_outside) == 1 && first == 0 && end == -1);
}

TEST(Attribute, EmptyIsRejected)
{
    Attribute e;
    Attribute h = make_attribute<int>({4}, [](int g) { return g; });
    Context* const hc = h.get_context_pointer();
    array_variant out(va<int>{});
    double buf = 3.0;
    int first = 9, last = 9;
    std::string err;
    const auto during = mpi_counts_during([&] {
        err = capture_stderr([&] {
            EXPECT_EQ(e.size(), 0);
            e.get_data(out);
            EXPECT_EQ(num(e[0]), 0.0);
            EXPECT_EQ(e.get<double>(0, 0, &buf), 1);
            EXPECT_EQ(e.get_gen_distribution_index(0, &first, &last), 0);
            for (const Attribute& r : {e + h, h * e, e + scalar_variant(1.0), e * scalar_variant(2)}) {
                EXPECT_EQ(r.get_data_type(), 0);
            }
            h = e;
            h = Attribute();
            EXPECT_EQ(Attribute(e).get_data_type(), 0); // a copy of Empty is Empty, silently
        });
    });
    EXPECT_EQ(during.windows_created, 0);
    const auto lines = virda_test::split_lines(err);
    const std::vector<std::string> ops = {"size",      "get_data",  "operator[]", "get",
                                          "get_gen_distribution_index", "operator+", "operator*",
                                          "operator+", "operator*", "operator=",  "operator="};
    EXPECT_EQ(lines.size(), ops.size());
    for (std::size_t k = 0; k < std::min(ops.size(), lines.size()); ++k) {
        EXPECT_EQ(lines[k], "ERROR in Attribute::" + ops[k] + ":attribute holds no array.Nothing done");
    }
    EXPECT_TRUE(out.which() == 2 && buf == 3.0 && first == 0 && last == -1);
    EXPECT_TRUE(h.get_data_type() == 1 && h.size() == 4 && h.get_context_pointer() == hc);
}

TEST(Arithmetic, OneWindowReadyEverywhereAndShared)
{
    Attribute a = make_attribute<double>({3 * ranks(), 2}, [](int g) { return 0.5 * g; });
    Attribute b = make_attribute<int>({3 * ranks(), 2}, [](int g) { return g - 4; });
    Attribute r;
    auto expect_one_window = [&](auto op, auto want) {
        const auto during = mpi_counts_during([&] { r = op(); });
        EXPECT_TRUE(during.windows_created == 1 && during.mem_allocated == 1);
        for (int g = 0; g < a.size(); ++g) { // straight after, every element from every rank
            EXPECT_EQ(num(r[g]), want(g)) << g;
        }
    };
    expect_one_window([&] { return a + b; }, [](int g) { return 0.5 * g + (g - 4); });
    expect_one_window([&] { return b * a; }, [](int g) { return (g - 4) * (0.5 * g); });
    expect_one_window([&] { return a + scalar_variant(2.0f); }, [](int g) { return 0.5 * g + 2.0; });
    expect_one_window([&] { return b * scalar_variant(3); }, [](int g) { return (g - 4) * 3.0; });
    expect_one_window([&] { return pow(b, 2.0); }, [](int g) { return (g - 4.0) * (g - 4.0); });
    expect_one_window([&] { return 2.0 * b; }, [](int g) { return 2.0 * (g - 4); });
    EXPECT_EQ(r.get_data_type(), 3); // int times a double scalar is double
    // Results share their left operand's Context.
    EXPECT_EQ((a * b).get_context_pointer(), a.get_context_pointer());
    EXPECT_EQ((b * a).get_context_pointer(), b.get_context_pointer());
    EXPECT_EQ((b + scalar_variant(1)).get_context_pointer(), b.get_context_pointer());

    Attribute top = make_attribute<int>({4}, [](int) { return INT_MAX; });
    Attribute one = make_attribute<int>({4}, [](int) { return 1; });
    Attribute wrapped = top + one;
    EXPECT_EQ(num(wrapped[3]), INT_MIN);
    Attribute flat = make_attribute<double>({6}, [](int g) { return g + 1.0; });
    Attribute square = make_attribute<double>({2, 3}, [](int g) { return g + 1.0; });
    const std::string err = capture_stderr([&] {
        r = flat * square;
        EXPECT_EQ(r.get_data_type(), 3);
        for (int g = 0; g < 6; ++g) {
            EXPECT_EQ(num(r[g]), 0.0);
        }
    });
    EXPECT_EQ(err, std::string(msg::dimension_mismatch) + "\n");
}

TEST(Runtime, SumPowerAndScalarProduct)
{
    const int n = 2 * ranks() + 1;
    const double tg = n * (n - 1) / 2.0; // the total of 0 .. n-1
    Attribute d = make_attribute<double>({n}, [](int g) { return 0.25 * g; });
    Attribute f = make_attribute<float>({n}, [](int g) { return 0.5f * g; });
    Attribute i = make_attribute<int>({n}, [](int g) { return 1000 * g - 7; });
    using expected_total = std::pair<Attribute*, double>;
    for (const auto& [at, total] :
         std::initializer_list<expected_total>{{&d, 0.25 * tg}, {&f, 0.5 * tg}, {&i, 1000 * tg - 7.0 * n}}) {
        VV1 s = VV1(element_variant(0));
        const auto during = mpi_counts_during([&] { s = sum(*at); });
        EXPECT_TRUE(during.allreduces == 1 && during.windows_created == 0 && during.gets == 0);
        EXPECT_TRUE(s.value().which() == 0 && num(s) == total);
    }
    Attribute v2 = make_attribute<Vector2>({n}, [](int g) { return Vector2(g, -0.5 * g); });
    Attribute v3 = make_attribute<Vector3>({n}, [](int g) { return Vector3(1, g, 0.25 * g); });
    Attribute x = make_attribute<fftw_complex>({n}, [](int g) { return fftw_complex{-1.0 * g, 2}; });
    Attribute c = make_attribute<char>({n}, [](int) { return char(100); });
    const VV1 s2 = sum(v2), s3 = sum(v3), sx = sum(x), sc = sum(c);
    const Vector2 t2 = boost::get<Vector2>(s2.value());
    const Vector3 t3 = boost::get<Vector3>(s3.value());
    const fftw_complex tx = boost::get<fftw_complex>(sx.value());
    EXPECT_TRUE(t2.x == tg && t2.y == -0.5 * tg);
    EXPECT_TRUE(t3.x == n && t3.y == tg && t3.z == 0.25 * tg);
    EXPECT_TRUE(tx.re == -tg && tx.im == 2.0 * n);
    EXPECT_EQ(boost::get<char>(sc.value()), static_cast<char>(static_cast<unsigned char>(100 * n % 256)));
    for (const VV1* v : {&s2, &s3, &sx, &sc}) {
        EXPECT_THROW(num(*v), boost::bad_get);
    }

    // Whole powers of double, float and int give double arrays; 0 gives ones.
    Attribute h = make_attribute<double>({n}, [](int g) { return g == 0 ? NAN : 0.5 * g - 1; });
    for (Attribute* at : {&h, &f, &i}) {
        // Whole exponents beyond 32 bits are whole too.
        Attribute cube = pow(*at, 3.0), ones = pow(*at, 0.0), huge = pow(*at, 0x1p40);
        EXPECT_TRUE(cube.get_data_type() == 3 && ones.get_data_type() == 3 && huge.get_data_type() == 3);
        for (int g = 0; g < n; ++g) {
            const double v = num((*at)[g]);
            EXPECT_EQ(num(ones[g]), 1.0);
            EXPECT_TRUE(num(cube[g]) == v * v * v || std::isnan(v)) << g;
            EXPECT_TRUE(num(huge[g]) == std::pow(v, 0x1p40) || std::isnan(v)) << g;
        }
    }
    const std::string err = capture_stderr([&] {
        Attribute half = pow(f, 2.5), negative = pow(i, -1.0), vector = pow(v2, 2.0);
        EXPECT_EQ(half.get_data_type() * 100 + negative.get_data_type() * 10 + vector.get_data_type(), 216);
        for (int g = 0; g < n; ++g) {
            EXPECT_TRUE(num(half[g]) == 0.0 && num(negative[g]) == 0.0 &&
                        boost::get<Vector2>(vector[g].value()).y == 0.0);
        }
    });
    EXPECT_EQ(count_line(err, "ERROR in pow:exponent or element type not supported.Zero array returned"), 3);
    Attribute twice = 2.0 * x, scaled = 0.5 * f;
    EXPECT_TRUE(twice.get_data_type() == 5 && scaled.get_data_type() == 3);
    for (int g = 0; g < n; ++g) {
        const fftw_complex z = boost::get<fftw_complex>(twice[g].value());
        EXPECT_TRUE(z.re == -2.0 * g && z.im == 4.0 && num(scaled[g]) == 0.25 * g);
    }
}

TEST(Runtime, MatrixInverse)
{
    const auto inverse = [](std::vector<double> values, int rows, int cols) {
        matrix m(values.data(), rows, cols);
        matrix inv = matrix_invert(m);
        return std::make_pair(std::vector<double>(inv.get_data(), inv.get_data() + inv.rows() * inv.cols()),
                              inv.rows() * 10 + inv.cols());
    };
    const auto inv = inverse({4, 7, 2, 6}, 2, 2).first;
    const double want[] = {0.6, -0.7, -0.2, 0.4};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(inv[static_cast<std::size_t>(k)], want[k], 1e-15);
    }
    // Zero and tiny leading pivots need row exchanges.
    EXPECT_EQ(inverse({0, 1, 0, 1, 0, 0, 0, 0, 2}, 3, 3).first,
              std::vector<double>({0, 1, 0, 1, 0, 0, 0, 0, 0.5}));
    const auto tiny = inverse({1e-20, 1, 1, 1}, 2, 2).first;
    EXPECT_TRUE(std::fabs(tiny[0] + 1) < 1e-15 && tiny[1] == 1 && tiny[2] == 1 && std::fabs(tiny[3]) < 1e-15);
    const auto singular = inverse({1, 2, 2, 4}, 2, 2);
    EXPECT_EQ(singular.second, 22);
    for (double v : singular.first) {
        EXPECT_TRUE(std::isnan(v));
    }
    EXPECT_EQ(inverse({1, 2, 3, 4, 5, 6}, 2, 3).second, 0);
}
