#include "library_timing.h"

#include "communicator.h"
#include "dist_array.h"
#include "local_values.h"
#include "mpi_environment.h"
#include "scaled_polyfit.h"
#include "statistics.h"

#include "engine/bin_means.h"
#include "engine/histogram.h"
#include "engine/moments.h"
#include "engine/order_statistics.h"
#include "engine/quantile_method.h"
#include "engine/weighted_moments.h"

#include <pybind11/stl.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace py = pybind11;

namespace virda_python {

namespace {

/// This rank's block of `a` as one run (none when `a` is null: ValueError
/// naming `what`).
virda::engine::values_view run_of(const std::string& operation, const dist_array* a, const char* what)
{
    if (a == nullptr) {
        throw py::value_error(operation + ": needs " + what);
    }
    const local_values v = values_of_block(operation.c_str(), *a);
    virda::engine::values_view run{nullptr, v.type, 0, 0};
    if (!v.tables.empty()) {
        run = virda::engine::row_of(v.tables[0], 0);
    }
    return run;
}

/// Seconds of each of `reps` calls of one operation of the statistics
/// library's engine, as the Python function of the same name makes it, on x
/// and, where the operation takes them, y (bin_data's averaged values,
/// polyfit's y) and the weights w, over x's communicator: no argument
/// checks, no conversions, no Python objects. `numbers` are the operation's
/// other arguments: histogram (lower, width, nbins), bin_data the centres,
/// polyval the coefficients highest power first, polyfit the order,
/// quantile the probabilities. Collective over x's communicator, as the
/// operation.
std::vector<double> library_seconds(const std::string& operation, int reps, dist_array& x, dist_array* y, dist_array* w,
                                    const std::vector<double>& numbers)
{
    using namespace virda::engine;
    require_mpi_running();
    const MPI_Comm comm = x.comm().handle;
    const values_view xs = run_of(operation, &x, "x");
    auto number = [&](std::size_t i) {
        if (i >= numbers.size()) {
            throw py::value_error(operation + ": needs more numbers");
        }
        return numbers[i];
    };
    const auto quantiles = [&](const std::vector<double>& ps) {
        order_statistics os(xs.type);
        os.add(xs);
        const value_counts counts = os.count(comm);
        const auto n = static_cast<std::uint64_t>(counts.values[0]);
        std::vector<std::vector<std::uint64_t>> ranks(1);
        for (const double p : ps) {
            const quantile_position at = position_of(p, n, quantile_method::linear);
            ranks[0].push_back(at.below);
            ranks[0].push_back(at.above);
        }
        if (n > 0) {
            os.select(counts, ranks, comm);
        }
    };
    const std::map<std::string, std::function<void()>> calls = {
        {"mean",
         [&] {
             moments m(xs.type, 1, false);
             m.add(xs);
             m.finish(comm);
         }},
        {"stdev",
         [&] {
             moments m(xs.type, 1, true);
             m.add(xs);
             m.finish(comm);
         }},
        {"mean_weighted",
         [&] {
             weighted_moments m;
             m.add(xs, run_of(operation, w, "w"));
             m.finish(comm);
         }},
        {"stdev_weighted",
         [&] {
             weighted_moments m;
             m.add(xs, run_of(operation, w, "w"));
             m.finish(comm);
         }},
        {"histogram",
         [&] {
             equal_width_histogram h(number(0), number(1), static_cast<int>(number(2)));
             h.add(xs);
             h.finish(comm);
         }},
        {"bin_data",
         [&] {
             bin_means b(number(0), number(1) - number(0), static_cast<std::int64_t>(numbers.size()));
             b.add(xs, run_of(operation, y, "y"));
             b.finish(comm);
         }},
        // With the new array freed as the benchmark's Python call frees it.
        {"polyval", [&] { polyval_array(numbers, x)->free(); }},
        {"polyfit",
         [&] {
             scaled_polyfit({fit_run{xs, run_of(operation, y, "y"), {}}}, false, x.size(), static_cast<int>(number(0)),
                            x.comm());
         }},
        {"polyfit_weighted",
         [&] {
             scaled_polyfit({fit_run{xs, run_of(operation, y, "y"), run_of(operation, w, "w")}}, true, x.size(),
                            static_cast<int>(number(0)), x.comm());
         }},
        {"median", [&] { quantiles({0.5}); }},
        {"quantile", [&] { quantiles(numbers); }},
    };
    const auto call = calls.find(operation);
    if (call == calls.end()) {
        throw py::value_error("no operation named " + operation);
    }
    std::vector<double> seconds;
    for (int i = 0; i < reps; ++i) {
        const auto start = std::chrono::steady_clock::now();
        engine_call(operation.c_str(), call->second);
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return seconds;
}

} // namespace

void bind_library_timing(py::module_& m)
{
    m.def("_library_seconds", &library_seconds, py::arg("operation"), py::arg("reps"), py::arg("x"),
          py::arg("y") = nullptr, py::arg("w") = nullptr, py::arg("numbers") = std::vector<double>{},
          "For the benchmark: seconds of each of reps calls of an engine operation straight from C++, as the "
          "module's function makes it (mean, mean_weighted, stdev, stdev_weighted, histogram, bin_data, polyval, "
          "polyfit, polyfit_weighted, median, quantile). Collective, as the operation.");
}

} // namespace virda_python
