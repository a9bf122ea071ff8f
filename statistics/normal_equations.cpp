#include "statistics/normal_equations.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace virda_detail {

namespace {

/// The plane rotation of two entries: (a, b) becomes (c a - s b, s a + c b).
void rotate(double c, double s, double& first, double& second)
{
    const double a = first;
    const double b = second;
    first = c * a - s * b;
    second = s * a + c * b;
}

} // namespace

void jacobi_eigen(double* a, int n, double* vectors)
{
    const auto at = [&](int i, int k) -> double& { return a[static_cast<std::size_t>(i) * n + k]; };
    if (vectors != nullptr) {
        std::fill(vectors, vectors + static_cast<std::size_t>(n) * n, 0.0);
        for (int i = 0; i < n; ++i) {
            vectors[static_cast<std::size_t>(i) * n + i] = 1.0;
        }
    }
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        double diagonal = 0.0;
        for (int i = 0; i < n; ++i) {
            diagonal += at(i, i) * at(i, i);
            for (int k = i + 1; k < n; ++k) {
                off += at(i, k) * at(i, k);
            }
        }
        if (off <= 1e-36 * diagonal || off == 0.0) {
            break;
        }
        for (int p = 0; p < n; ++p) {
            for (int q = p + 1; q < n; ++q) {
                const double apq = at(p, q);
                if (apq == 0.0) {
                    continue;
                }
                const double theta = (at(q, q) - at(p, p)) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                // The rotation applied to columns p and q, then rows p and q;
                // the eigenvectors gather the same column rotations.
                for (int r = 0; r < n; ++r) {
                    rotate(c, s, at(r, p), at(r, q));
                }
                for (int r = 0; r < n; ++r) {
                    rotate(c, s, at(p, r), at(q, r));
                }
                if (vectors != nullptr) {
                    for (int r = 0; r < n; ++r) {
                        rotate(c, s, vectors[static_cast<std::size_t>(r) * n + p],
                               vectors[static_cast<std::size_t>(r) * n + q]);
                    }
                }
            }
        }
    }
}

double condition_number(std::vector<double> a, int n)
{
    for (const double e : a) {
        if (!std::isfinite(e)) {
            return std::numeric_limits<double>::quiet_NaN();
        }
    }
    if (n <= 0) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    jacobi_eigen(a.data(), n, nullptr);
    double largest = -std::numeric_limits<double>::infinity();
    double smallest = std::numeric_limits<double>::infinity();
    for (int i = 0; i < n; ++i) {
        largest = std::max(largest, a[static_cast<std::size_t>(i) * n + i]);
        smallest = std::min(smallest, a[static_cast<std::size_t>(i) * n + i]);
    }
    if (!(largest > 0.0) || !(smallest > 0.0)) {
        return std::numeric_limits<double>::infinity();
    }
    return largest / smallest;
}

int solve_normal_equations(double* a, const double* b, int n, double tolerance, double* work, double* c)
{
    const std::size_t nn = static_cast<std::size_t>(n) * n;
    double* vectors = work;
    double* d = work + nn;     // the column scales
    double* projected = d + n; // the scaled right-hand side in the eigenvectors' basis
    for (int i = 0; i < n; ++i) {
        const double diagonal = a[static_cast<std::size_t>(i) * n + i];
        d[i] = diagonal > 0.0 ? std::sqrt(diagonal) : 1.0;
    }
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < n; ++k) {
            a[static_cast<std::size_t>(i) * n + k] /= d[i] * d[k];
        }
    }
    jacobi_eigen(a, n, vectors);
    double largest = 0.0;
    for (int i = 0; i < n; ++i) {
        largest = std::max(largest, a[static_cast<std::size_t>(i) * n + i]);
    }
    // c = D^-1 sum over kept eigenpairs of v (v . D^-1 b) / lambda.
    int rank = 0;
    for (int i = 0; i < n; ++i) {
        const double lambda = a[static_cast<std::size_t>(i) * n + i];
        projected[i] = 0.0;
        if (largest > 0.0 && lambda > tolerance * largest) {
            double dot = 0.0;
            for (int r = 0; r < n; ++r) {
                dot += vectors[static_cast<std::size_t>(r) * n + i] * (b[r] / d[r]);
            }
            projected[i] = dot / lambda;
            ++rank;
        }
    }
    for (int r = 0; r < n; ++r) {
        double sum = 0.0;
        for (int i = 0; i < n; ++i) {
            sum += vectors[static_cast<std::size_t>(r) * n + i] * projected[i];
        }
        c[r] = sum / d[r];
    }
    return rank;
}

} // namespace virda_detail
