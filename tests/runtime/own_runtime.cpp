// A framework program that brings its own runtime: it defines exactly the
// runtime symbols the statistics library leaves to the loading program (a
// plain MPI_SUM total, powers by repeated products, its own small matrices),
// links the statistics library alone, and runs every exported operation.
// Data: x = g, y = 2 g + 1, w = 1 + g % 2 over n rows; every rank knows the
// expected results without communication.

#include "virdastatistics.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

MPI_Comm VIRDA_COMM = MPI_COMM_NULL;
int VIRDA_ID = -1;

Context::Context() = default;

VV1 sum(const Attribute& a)
{
    // This rank's block of a double, float or int array.
    const double local = boost::apply_visitor(
        [](const auto& v) {
            using T = typename std::decay_t<decltype(v)>::value_type;
            double total = 0.0;
            if constexpr (std::is_arithmetic_v<T>) {
                for (int i = 0; i < v.va_local_count(); ++i) {
                    total += static_cast<double>(v.va_get_access(i));
                }
            }
            return total;
        },
        *a.held());
    double total = 0.0;
    MPI_Allreduce(&local, &total, 1, MPI_DOUBLE, MPI_SUM, VIRDA_COMM);
    return VV1(element_variant(total));
}

Attribute pow(const Attribute& a, double e)
{
    Attribute result = a * scalar_variant(0.0) + scalar_variant(1.0);
    for (int k = 0; k < static_cast<int>(e); ++k) {
        result = result * a;
    }
    return result;
}

Attribute operator*(double s, const Attribute& a)
{
    return a * scalar_variant(s);
}

matrix::matrix(double* values, int rows, int cols) : rows_(rows), cols_(cols), values_(values, values + rows * cols) {}

double* matrix::get_data()
{
    return values_.data();
}

matrix& matrix::operator*(matrix& right)
{
    static matrix product;
    std::vector<double> p(static_cast<std::size_t>(rows_) * right.cols_, 0.0);
    for (int i = 0; i < rows_; ++i) {
        for (int j = 0; j < right.cols_; ++j) {
            for (int k = 0; k < cols_; ++k) {
                p[i * right.cols_ + j] += values_[i * cols_ + k] * right.values_[k * right.cols_ + j];
            }
        }
    }
    product = matrix(p.data(), rows_, right.cols_);
    return product;
}

matrix& matrix_invert(matrix& m)
{
    // Gauss-Jordan on [m | I] without pivoting: the normal matrices of the
    // fits below are positive definite.
    static matrix inverse;
    const int n = m.rows();
    std::vector<double> a(m.get_data(), m.get_data() + n * n);
    std::vector<double> inv(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) {
        inv[i * n + i] = 1.0;
    }
    for (int c = 0; c < n; ++c) {
        const double p = a[c * n + c];
        for (int j = 0; j < n; ++j) {
            a[c * n + j] /= p;
            inv[c * n + j] /= p;
        }
        for (int r = 0; r < n; ++r) {
            if (r == c) {
                continue;
            }
            const double f = a[r * n + c];
            for (int j = 0; j < n; ++j) {
                a[r * n + j] -= f * a[c * n + j];
                inv[r * n + j] -= f * inv[c * n + j];
            }
        }
    }
    inverse = matrix(inv.data(), n, n);
    return inverse;
}

namespace {

int failures = 0;

void expect_near(const char* what, double got, double want)
{
    if (!(std::fabs(got - want) <= 1e-9 * (1.0 + std::fabs(want)))) {
        std::fprintf(stderr, "[rank %d] %s: got %.17g, want %.17g\n", VIRDA_ID, what, got, want);
        ++failures;
    }
}

Attribute make(int n, double (*f)(int))
{
    return attribute_from_global<double>({n}, VIRDA_COMM, f);
}

void run_every_operation()
{
    const int n = 10;
    Attribute x = make(n, [](int g) { return double(g); });
    Attribute y = make(n, [](int g) { return 2.0 * g + 1.0; });
    Attribute w = make(n, [](int g) { return 1.0 + g % 2; });

    expect_near("mean(x)", mean(x), 4.5);
    expect_near("mean(x, w)", mean(x, w), (0 + 2 + 2 * 1 + 4 + 2 * 3 + 6 + 2 * 5 + 8 + 2 * 7 + 2 * 9) / 15.0);
    expect_near("stdev(x)", stdev(x), std::sqrt(8.25));
    double m = 0.0;
    double s = 0.0;
    for (int g = 0; g < n; ++g) {
        m += (1.0 + g % 2) * g;
    }
    m /= 15.0;
    for (int g = 0; g < n; ++g) {
        s += (1.0 + g % 2) * (g - m) * (g - m);
    }
    expect_near("stdev(x, w)", stdev(x, w), std::sqrt(s / 15.0));

    const std::vector<int> h = histogram(x, -0.5, 5.0, 2);
    if (VIRDA_ID == 0) {
        expect_near("histogram bin 0", h.at(0), 5);
        expect_near("histogram bin 1", h.at(1), 5);
    }
    const std::vector<double> b = bin_data(x, y, {2.0, 7.0});
    expect_near("bin_data bin 0", b.at(0), (1 + 3 + 5 + 7 + 9) / 5.0); // x in [-5.5, 4.5)
    expect_near("bin_data bin 1", b.at(1), (11 + 13 + 15 + 17 + 19) / 5.0);

    std::unique_ptr<function> fit(poly_fit(x, y, 1));
    expect_near("poly_fit(x, y) c0", fit->get_coeffs().at(0), 1.0);
    expect_near("poly_fit(x, y) c1", fit->get_coeffs().at(1), 2.0);
    fit.reset(poly_fit(x, y, w, 1));
    expect_near("poly_fit(x, y, w) c1", fit->get_coeffs().at(1), 2.0);
    std::vector<double> xs = {0.0, 1.0, 2.0, 3.0};
    std::vector<double> ys = {1.0, 3.0, 5.0, 7.0};
    std::vector<double> ws = {1.0, 2.0, 1.0, 2.0};
    fit.reset(poly_fit(xs, ys, 1));
    expect_near("poly_fit(xs, ys) c0", fit->get_coeffs().at(0), 1.0);
    fit.reset(poly_fit(xs, ys, ws, 1));
    expect_near("poly_fit(xs, ys, ws) c1", fit->get_coeffs().at(1), 2.0);

    function f(0, 2);
    f.set_coeffs({1.0, 0.0, 3.0}); // 1 + 3 x^2
    expect_near("function(double)", f.eval(2.0), 13.0);
    expect_near("function(vector)", f.eval(std::vector<double>{1.0}).at(0), 4.0);
    Attribute fx = f.eval(x);
    for (int g = 0; g < n; ++g) {
        expect_near("function(attribute)", static_cast<double>(fx[g]), 1.0 + 3.0 * g * g);
    }
}

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    VIRDA_COMM = MPI_COMM_WORLD;
    MPI_Comm_rank(VIRDA_COMM, &VIRDA_ID);
    run_every_operation();
    int any = 0;
    MPI_Allreduce(&failures, &any, 1, MPI_INT, MPI_SUM, VIRDA_COMM);
    if (VIRDA_ID == 0) {
        std::printf("own runtime: %s (%d failed checks over all ranks)\n", any == 0 ? "passed" : "FAILED", any);
    }
    MPI_Finalize();
    return any == 0 ? 0 : 1;
}
