// Example framework program: a synthetic catalogue of objects distributed
// over the ranks (positions and masses as double, counts as int, velocities
// as Vector3), run through every statistic the library offers. Each result is
// printed beside the value it should have, computed by rank 0 with plain
// loops over the same data (every rank can generate any row from its index).
#include "reference_runtime/virda_session.h"
#include "virdastatistics.h"

#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int rows = 20000;

// The catalogue, row g: a position spread over [0, 100), a mass following a
// known quadratic in the position plus a small deterministic wobble, a count
// of 1 to 5, and a velocity.
double position(int g) { return std::fmod(g * 0.6180339887498949 * 100.0, 100.0); }
double wobble(int g) { return 0.05 * std::sin(g * 12.9898); }
double mass(int g)
{
    const double x = position(g);
    return 2.0 + 0.5 * x + 0.01 * x * x + wobble(g);
}
int count(int g) { return 1 + g % 5; }
Vector3 velocity(int g) { return Vector3(std::cos(g * 0.01), std::sin(g * 0.01), 0.001 * (g % 100)); }

/// A new attribute over VIRDA_COMM whose rank blocks hold make(g).
template <typename T, typename Make>
Attribute column(Make make)
{
    return attribute_from_global<T>({rows}, VIRDA_COMM, make);
}

void line(const std::string& what, double got, double expected)
{
    std::printf("  %-34s %16.10g   (expected %.10g)\n", what.c_str(), got, expected);
}

} // namespace

int main(int argc, char** argv)
{
    virda_session session(&argc, &argv);
    const bool root = session.rank() == 0;
    {
        Attribute x = column<double>(position);
        Attribute m = column<double>(mass);
        Attribute n = column<int>(count);
        Attribute v = column<Vector3>(velocity);

        // Reference values from plain loops over every row (rank 0 prints).
        double sm = 0, smn = 0, sn = 0;
        for (int g = 0; g < rows; ++g) {
            sm += mass(g);
            smn += mass(g) * count(g);
            sn += count(g);
        }
        const double ref_mean = sm / rows;
        const double ref_wmean = smn / sn;
        double d2 = 0, d2w = 0;
        for (int g = 0; g < rows; ++g) {
            d2 += (mass(g) - ref_mean) * (mass(g) - ref_mean);
            d2w += (mass(g) - ref_wmean) * (mass(g) - ref_wmean) * count(g);
        }

        const double got_mean = mean(m);
        const double got_wmean = mean(m, n);
        const double got_stdev = stdev(m);
        const double got_wstdev = stdev(m, n);
        if (root) {
            std::printf("Catalogue of %d objects over %d ranks\n\nMoments of the mass:\n", rows, session.size());
            line("mean(mass)", got_mean, ref_mean);
            line("mean(mass, weight count)", got_wmean, ref_wmean);
            line("stdev(mass)", got_stdev, std::sqrt(d2 / rows));
            line("stdev(mass, weight count)", got_wstdev, std::sqrt(d2w / sn));
        }

        // Histogram of positions: 10 bins of width 10 above 0.
        const std::vector<int> hist = histogram(x, 0.0, 10.0, 10);
        std::vector<int> ref_hist(10, 0);
        for (int g = 0; g < rows; ++g) {
            const double p = position(g);
            if (p > 0.0 && p < 100.0) {
                ++ref_hist[static_cast<int>(p / 10.0)];
            }
        }
        if (root) {
            std::printf("\nhistogram(position, lower 0, width 10, 10 bins), counts on rank 0:\n");
            for (int k = 0; k < 10; ++k) {
                std::printf("  [%3d, %3d) %6d %-40s (expected %d)\n", 10 * k, 10 * k + 10, hist[k],
                            std::string(hist[k] / 60, '#').c_str(), ref_hist[k]);
            }
        }

        // Average mass in bins of position centred on 5, 15, ..., 95.
        std::vector<double> centres;
        for (int k = 0; k < 10; ++k) {
            centres.push_back(5.0 + 10.0 * k);
        }
        const std::vector<double> binned = bin_data(x, m, centres);
        if (root) {
            std::printf("\nbin_data(position, mass, centres 5, 15, ..., 95):\n");
            for (int k = 0; k < 10; ++k) {
                double s = 0;
                int c = 0;
                for (int g = 0; g < rows; ++g) {
                    if (std::floor((position(g) - 5.0) / 10.0 + 0.5) == k) {
                        s += mass(g);
                        ++c;
                    }
                }
                line("mean mass near " + std::to_string(static_cast<int>(centres[k])), binned[k], c ? s / c : 0.0);
            }
        }

        // Quadratic fit of mass against position; the data were made from
        // 2 + 0.5 x + 0.01 x^2 plus a wobble of at most 0.05.
        std::unique_ptr<function> fit(poly_fit(x, m, 2));
        std::unique_ptr<function> weighted_fit(poly_fit(x, m, n, 2));
        const Attribute model = fit->eval(x);
        const Attribute residual = m + (-1.0 * model);
        Attribute squared = residual * residual;
        const double rms = std::sqrt(mean(squared));
        if (root) {
            std::printf("\npoly_fit(position, mass, order 2):\n");
            const double truth[] = {2.0, 0.5, 0.01};
            for (int p = 0; p < 3; ++p) {
                line("coefficient of x^" + std::to_string(p), fit->get_coeffs()[p], truth[p]);
            }
            for (int p = 0; p < 3; ++p) {
                line("weighted fit, coefficient of x^" + std::to_string(p), weighted_fit->get_coeffs()[p], truth[p]);
            }
            line("fit.eval(50)", fit->eval(50.0), 2.0 + 25.0 + 25.0);
            line("rms residual of fit.eval(position)", rms, 0.05 / std::sqrt(2.0));
        }

        // Velocities: the total as a Vector3, and the mean squared speed from
        // the dot product of the attribute with itself.
        const VV1 total = sum(v);
        const Vector3 tv = boost::get<Vector3>(total.value());
        Attribute speed2 = v * v;
        const double ms = mean(speed2);
        double rx = 0, ry = 0, rz = 0, rs = 0;
        for (int g = 0; g < rows; ++g) {
            const Vector3 u = velocity(g);
            rx += u.x;
            ry += u.y;
            rz += u.z;
            rs += u * u;
        }
        if (root) {
            std::printf("\nVelocities (Vector3):\n");
            line("sum(velocity).x", tv.x, rx);
            line("sum(velocity).y", tv.y, ry);
            line("sum(velocity).z", tv.z, rz);
            line("mean(velocity * velocity)", ms, rs / rows);
        }
    }
    return 0;
}
