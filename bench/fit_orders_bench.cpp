// Times poly_fit of orders 5, 10 and 20 on attributes of N doubles: an
// order-n fit makes n + n^2 powers, products and totals, each product a new
// array, so what a fit costs beyond its passes over the data is what each
// new array and each collective costs. bench/fit-ranks.sh runs it at 2, 3
// and 4 ranks and prints each time against the 2-rank time; beyond the
// cores every collective costs milliseconds, which is what it shows.
//
// Usage: mpiexec -n R fit_orders_bench [N]   (default 1000)
// Prints per order: ranks, order, median seconds per fit of 3.
#include "reference_runtime/virda_session.h"
#include "virdastatistics.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

int main(int argc, char** argv)
{
    virda_session session(&argc, &argv);
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    Attribute x = attribute_from_global<double>({n}, VIRDA_COMM, [](int g) { return std::sin(0.1 * g); });
    Attribute y = attribute_from_global<double>({n}, VIRDA_COMM, [](int g) { return std::cos(0.1 * g); });
    for (const int order : {5, 10, 20}) {
        std::vector<double> seconds;
        for (int rep = 0; rep < 3; ++rep) {
            MPI_Barrier(VIRDA_COMM);
            const auto start = std::chrono::steady_clock::now();
            const std::unique_ptr<function> fit(poly_fit(x, y, order));
            double local = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            double slowest = 0.0;
            MPI_Allreduce(&local, &slowest, 1, MPI_DOUBLE, MPI_MAX, VIRDA_COMM);
            seconds.push_back(slowest);
        }
        std::sort(seconds.begin(), seconds.end());
        if (session.rank() == 0) {
            std::printf("fit_order %d %d %.4f\n", session.size(), order, seconds[1]);
            std::fflush(stdout);
        }
    }
    return 0;
}
