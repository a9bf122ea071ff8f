// The runtime's whole-attribute operations: sum, whole powers, scalar
// products, and the matrix inverse.
#include "virda_test/test_data.h"
#include "virda_test/ranks.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

// The harness's builders, readers and counters.
using namespace virda_test;

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
        EXPECT_EQ(during.allreduces, 1);
        EXPECT_EQ(during.windows_created, 0);
        EXPECT_EQ(during.gets, 0);
        EXPECT_EQ(s.value().which(), 0);
        EXPECT_EQ(num(s), total);
    }
    Attribute v2 = make_attribute<Vector2>({n}, [](int g) { return Vector2(g, -0.5 * g); });
    Attribute v3 = make_attribute<Vector3>({n}, [](int g) { return Vector3(1, g, 0.25 * g); });
    Attribute x = make_attribute<fftw_complex>({n}, [](int g) { return fftw_complex{-1.0 * g, 2}; });
    Attribute c = make_attribute<char>({n}, [](int) { return char(100); });
    const VV1 s2 = sum(v2), s3 = sum(v3), sx = sum(x), sc = sum(c);
    const Vector2 t2 = boost::get<Vector2>(s2.value());
    const Vector3 t3 = boost::get<Vector3>(s3.value());
    const fftw_complex tx = boost::get<fftw_complex>(sx.value());
    EXPECT_EQ(t2.x, tg);
    EXPECT_EQ(t2.y, -0.5 * tg);
    EXPECT_EQ(t3.x, n);
    EXPECT_EQ(t3.y, tg);
    EXPECT_EQ(t3.z, 0.25 * tg);
    EXPECT_EQ(tx.re, -tg);
    EXPECT_EQ(tx.im, 2.0 * n);
    EXPECT_EQ(boost::get<char>(sc.value()), static_cast<char>(static_cast<unsigned char>(100 * n % 256)));
    for (const VV1* v : {&s2, &s3, &sx, &sc}) {
        EXPECT_THROW(num(*v), boost::bad_get);
    }

    // Whole powers of double, float and int give double arrays; 0 gives ones.
    Attribute h = make_attribute<double>({n}, [](int g) { return g == 0 ? NAN : 0.5 * g - 1; });
    for (Attribute* at : {&h, &f, &i}) {
        // Whole exponents beyond 32 bits are whole too.
        Attribute cube = pow(*at, 3.0), ones = pow(*at, 0.0), huge = pow(*at, 0x1p40);
        EXPECT_EQ(cube.get_data_type(), 3);
        EXPECT_EQ(ones.get_data_type(), 3);
        EXPECT_EQ(huge.get_data_type(), 3);
        for (int g = 0; g < n; ++g) {
            const double v = num((*at)[g]);
            EXPECT_EQ(num(ones[g]), 1.0);
            EXPECT_TRUE(num(cube[g]) == v * v * v || std::isnan(v)) << g;
            EXPECT_TRUE(num(huge[g]) == std::pow(v, 0x1p40) || std::isnan(v)) << g;
        }
    }
    const std::string err = capture_stderr([&] {
        Attribute half = pow(f, 2.5), negative = pow(i, -1.0), vector = pow(v2, 2.0);
        EXPECT_EQ(half.get_data_type(), 2);
        EXPECT_EQ(negative.get_data_type(), 1);
        EXPECT_EQ(vector.get_data_type(), 6);
        for (int g = 0; g < n; ++g) {
            EXPECT_EQ(num(half[g]), 0.0) << g;
            EXPECT_EQ(num(negative[g]), 0.0) << g;
            EXPECT_EQ(boost::get<Vector2>(vector[g].value()).y, 0.0) << g;
        }
    });
    EXPECT_EQ(count_line(err, "ERROR in pow:exponent or element type not supported.Zero array returned"), 3);
    Attribute twice = 2.0 * x, scaled = 0.5 * f;
    EXPECT_EQ(twice.get_data_type(), 5);
    EXPECT_EQ(scaled.get_data_type(), 3);
    for (int g = 0; g < n; ++g) {
        const fftw_complex z = boost::get<fftw_complex>(twice[g].value());
        EXPECT_EQ(z.re, -2.0 * g);
        EXPECT_EQ(z.im, 4.0);
        EXPECT_EQ(num(scaled[g]), 0.25 * g);
    }
}

TEST(Runtime, MatrixInverse)
{
    const auto inverse = [](std::vector<double> values, int rows, int cols) {
        matrix m(values.data(), rows, cols);
        matrix inv = matrix_invert(m);
        struct inverted {
            std::vector<double> values;
            int rows, cols;
        };
        return inverted{std::vector<double>(inv.get_data(), inv.get_data() + inv.rows() * inv.cols()), inv.rows(),
                        inv.cols()};
    };
    const auto inv = inverse({4, 7, 2, 6}, 2, 2).values;
    const double want[] = {0.6, -0.7, -0.2, 0.4};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(inv[static_cast<std::size_t>(k)], want[k], 1e-15);
    }
    // Zero and tiny leading pivots need row exchanges.
    EXPECT_EQ(inverse({0, 1, 0, 1, 0, 0, 0, 0, 2}, 3, 3).values,
              std::vector<double>({0, 1, 0, 1, 0, 0, 0, 0, 0.5}));
    const auto tiny = inverse({1e-20, 1, 1, 1}, 2, 2).values;
    EXPECT_TRUE(std::fabs(tiny[0] + 1) < 1e-15);
    EXPECT_EQ(tiny[1], 1);
    EXPECT_EQ(tiny[2], 1);
    EXPECT_TRUE(std::fabs(tiny[3]) < 1e-15);
    const auto singular = inverse({1, 2, 2, 4}, 2, 2);
    EXPECT_EQ(singular.rows, 2);
    EXPECT_EQ(singular.cols, 2);
    for (double v : singular.values) {
        EXPECT_TRUE(std::isnan(v));
    }
    const auto not_square = inverse({1, 2, 3, 4, 5, 6}, 2, 3);
    EXPECT_EQ(not_square.rows, 0);
    EXPECT_EQ(not_square.cols, 0);
}
