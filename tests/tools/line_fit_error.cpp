// The largest error of a fitted polynomial on the points of line.h5
// (virda_stats_make_test_files): 1000 x evenly over [0, 10], y = 2x + 1.
//
//   virda_stats_line_fit_error TOLERANCE C0 C1 ... CN
//
// Evaluates c0 + c1 x + ... + cN x^N (Horner, in double, as a user would) at
// every point, prints the largest |fit - y| and exits 0 when it is at most
// TOLERANCE, 1 otherwise (or when a coefficient is not a number).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: virda_stats_line_fit_error TOLERANCE C0 [C1 ...]\n");
        return 2;
    }
    const double tolerance = std::strtod(argv[1], nullptr);
    std::vector<double> c;
    for (int i = 2; i < argc; ++i) {
        char* end = nullptr;
        c.push_back(std::strtod(argv[i], &end));
        if (end == argv[i] || *end != '\0' || !std::isfinite(c.back())) {
            std::printf("coefficient %d is not a finite number: '%s'\n", i - 2, argv[i]);
            return 1;
        }
    }
    const int n = 1000;
    double worst = 0.0;
    for (int i = 0; i < n; ++i) {
        const double x = 10.0 * i / (n - 1);
        double p = 0.0;
        for (std::size_t k = c.size(); k-- > 0;) {
            p = p * x + c[k];
        }
        worst = std::fmax(worst, std::fabs(p - (2.0 * x + 1.0)));
    }
    std::printf("largest |fit - y| = %.3g (tolerance %.3g)\n", worst, tolerance);
    return worst <= tolerance ? 0 : 1;
}
