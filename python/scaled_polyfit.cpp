#include "scaled_polyfit.h"

#include "agreed_allocation.h"
#include "local_values.h"
#include "mpi_environment.h"

#include "engine/power_sums.h"
#include "engine/values_as_doubles.h"
#include "statistics/fit_variable.h"
#include "statistics/normal_equations.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace py = pybind11;

namespace virda_python {

namespace {

using virda::engine::values_view;

/// Values per round of the pass over x for its range.
constexpr std::size_t chunk = 2048;

/// Orders above this are refused before anything is allocated: their normal
/// matrix alone would exceed any memory.
constexpr int largest_order = 1 << 20;

/// What a fit of n coefficients holds, all of it taken before the first
/// reduction.
struct fit_buffers {
    explicit fit_buffers(int n)
        : sums(n - 1, 0.0, 1.0), totals(static_cast<std::size_t>(3 * n - 1)), matrix(static_cast<std::size_t>(n) * n),
          work(virda_detail::normal_equations_workspace(n)), scaled(static_cast<std::size_t>(n))
    {
    }
    /// sum w t^k for k < 2n - 1 and sum w y t^k for k < n, exact; the
    /// variable is set once the range of x is known.
    virda::engine::power_sums sums;
    std::vector<double> totals;
    std::vector<double> matrix;
    std::vector<double> work;
    std::vector<double> scaled; ///< the coefficients in t, ascending
};

void raise_memory_error(const std::string& text)
{
    PyErr_SetString(PyExc_MemoryError, text.c_str());
    throw py::error_already_set();
}

} // namespace

polyfit_outcome scaled_polyfit(const std::vector<fit_run>& runs, bool weighted, std::int64_t points, int order,
                               const communicator& comm)
{
    if (order > largest_order) {
        raise_memory_error("polyfit: the buffers of order " + std::to_string(order) +
                           " cannot be allocated (its normal matrix alone has (order + 1)^2 entries)");
    }
    const int n = order + 1;
    const std::size_t buffer_bytes =
        sizeof(double) * (static_cast<std::size_t>(3 * n + 1) * (chunk + 1) +
                          virda_detail::normal_equations_workspace(n) + static_cast<std::size_t>(n) * (n + 1));
    std::unique_ptr<fit_buffers> b;
    allocation_outcome allocated;
    allocated.attempt([&] { b = std::make_unique<fit_buffers>(n); });

    // The finite extremes of x over all ranks, and the lowest rank that could
    // not allocate, in one reduction.
    double reduced[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                         allocated.failed() ? static_cast<double>(comm.rank) : static_cast<double>(comm.size)};
    double xs[chunk];
    for (const fit_run& run : runs) {
        const values_view& x = run.x;
        for (std::int64_t start = 0; start < x.count; start += static_cast<std::int64_t>(chunk)) {
            const auto m =
                static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(chunk), x.count - start));
            virda::engine::detail::as_doubles(x, start, m, xs);
            for (std::size_t j = 0; j < m; ++j) {
                const double v = xs[j];
                if (std::isfinite(v)) {
                    reduced[0] = std::min(reduced[0], v);
                    reduced[1] = std::min(reduced[1], -v);
                }
            }
        }
    }
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, reduced, 3, MPI_DOUBLE, MPI_MIN, comm.handle), "polyfit: the range of x");
    if (reduced[2] < comm.size) {
        raise_memory_error(allocation_failure("polyfit", "the buffers of order " + std::to_string(order), buffer_bytes,
                                              static_cast<int>(reduced[2])));
    }
    const double lo = reduced[0];
    const double hi = -reduced[1];
    const virda_detail::fit_variable variable = virda_detail::fit_variable_for(lo, hi);

    // One pass over the blocks, the terms summed exactly. An exact sum that
    // needs its tables (data of widely spread magnitudes) allocates them
    // here: a rank that cannot says so in the reduction of the totals, and
    // every rank raises MemoryError naming it.
    engine_call("polyfit", [&] {
        b->sums.set_variable(variable.centre, variable.scale);
        for (const fit_run& run : runs) {
            if (weighted) {
                b->sums.add(run.x, run.y, run.w);
            } else {
                b->sums.add(run.x, run.y);
            }
        }
        b->sums.finish_into(comm.handle, b->totals.data());
    });

    polyfit_outcome outcome;
    const int powers = 2 * n - 1;
    outcome.finite =
        std::all_of(b->totals.begin(), b->totals.begin() + powers + n, [](double t) { return std::isfinite(t); });
    if (!outcome.finite) {
        outcome.coefficients.assign(static_cast<std::size_t>(n), std::numeric_limits<double>::quiet_NaN());
        return outcome;
    }
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < n; ++k) {
            b->matrix[static_cast<std::size_t>(i) * n + k] = b->totals[static_cast<std::size_t>(i + k)];
        }
    }
    // A least-squares solver with NumPy's cutoff drops singular values of the
    // (column-scaled) design matrix below len(x) * eps times the largest,
    // eigenvalues of the normal matrix below its square; the normal matrix in
    // double resolves no eigenvalue below about n * eps times the largest.
    const double eps = std::numeric_limits<double>::epsilon();
    const double total = static_cast<double>(points);
    const double tolerance = std::max(total * eps * total * eps, n * eps);
    outcome.rank = virda_detail::solve_normal_equations(b->matrix.data(), b->totals.data() + powers, n, tolerance,
                                                        b->work.data(), b->scaled.data());
    const std::vector<double> ascending = virda_detail::coefficients_in_x(b->scaled, variable);
    outcome.growth = virda_detail::power_basis_growth(ascending, b->scaled, std::max(std::fabs(lo), std::fabs(hi)));
    outcome.coefficients.assign(ascending.rbegin(), ascending.rend());
    return outcome;
}

} // namespace virda_python
