#include "library_timing.h"

#include "communicator.h"
#include "dist_array.h"
#include "mpi_environment.h"
#include "scaled_polyfit.h"
#include "statistics.h"

#include "statistics/bin_data.h"
#include "statistics/function.h"
#include "statistics/histogram.h"
#include "statistics/mean.h"
#include "statistics/median.h"
#include "statistics/poly_fit.h"
#include "statistics/quantile.h"
#include "statistics/stdev.h"

#include <pybind11/stl.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;

namespace virda_python {

namespace {

/// Seconds of each of `reps` calls of one library operation, as the Python
/// function of the same name calls it, on x and, where the operation takes
/// them, y (bin_data's averaged values, poly_fit's y) and the weights w, with
/// the framework's globals on x's communicator. `numbers` are the
/// operation's other arguments: histogram (lower, width, nbins), bin_data
/// the centres, poly_fit (order), function_eval the coefficients in
/// ascending powers, polyval (the module's own C++ evaluation, not a library
/// call) the coefficients highest power first, polyfit (the module's own
/// fit) the order, quantile the probabilities. Collective over x's
/// communicator, as the operation.
std::vector<double> library_seconds(const std::string& operation, int reps, dist_array& x, dist_array* y, dist_array* w,
                                    const std::vector<double>& numbers)
{
    require_mpi_running();
    Attribute& xa = x.attribute(operation.c_str());
    auto attribute_of = [&](dist_array* a, const char* what) -> Attribute& {
        if (a == nullptr) {
            throw py::value_error(operation + ": needs " + what);
        }
        return a->attribute(operation.c_str());
    };
    auto checked = [&](dist_array* a, const char* what) {
        attribute_of(a, what);
        return a;
    };
    auto number = [&](std::size_t i) {
        if (i >= numbers.size()) {
            throw py::value_error(operation + ": needs more numbers");
        }
        return numbers[i];
    };
    function polynomial;
    polynomial.set_coeffs(numbers);
    const std::map<std::string, std::function<void()>> calls = {
        {"mean", [&] { ::mean(xa); }},
        {"mean_weighted", [&] { ::mean(xa, attribute_of(w, "w")); }},
        {"stdev", [&] { ::stdev(xa); }},
        {"stdev_weighted", [&] { ::stdev(xa, attribute_of(w, "w")); }},
        {"histogram", [&] { ::histogram(xa, number(0), number(1), static_cast<int>(number(2))); }},
        {"bin_data", [&] { ::bin_data(xa, attribute_of(y, "y"), numbers); }},
        {"poly_fit", [&] { delete ::poly_fit(xa, attribute_of(y, "y"), static_cast<int>(number(0))); }},
        {"poly_fit_weighted",
         [&] { delete ::poly_fit(xa, attribute_of(y, "y"), attribute_of(w, "w"), static_cast<int>(number(0))); }},
        {"function_eval", [&] { polynomial.eval(xa); }},
        // Not the library's: the module's own one-pass evaluation behind
        // polyval (statistics.h), with the new array freed as the benchmark's
        // Python call frees it.
        {"polyval", [&] { polyval_array(numbers, x)->free(); }},
        // Not the library's either: the module's own fit behind polyfit.
        {"polyfit", [&] { scaled_polyfit(x, *checked(y, "y"), nullptr, static_cast<int>(number(0))); }},
        {"polyfit_weighted",
         [&] { scaled_polyfit(x, *checked(y, "y"), checked(w, "w"), static_cast<int>(number(0))); }},
        {"median", [&] { ::median(xa); }},
        {"quantile", [&] { ::quantile(xa, numbers); }},
    };
    const auto call = calls.find(operation);
    if (call == calls.end()) {
        throw py::value_error("no library operation named " + operation);
    }
    framework_comm_scope scope(x.comm().handle, x.comm().rank);
    std::vector<double> seconds;
    for (int i = 0; i < reps; ++i) {
        const auto start = std::chrono::steady_clock::now();
        call->second();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return seconds;
}

} // namespace

void bind_library_timing(py::module_& m)
{
    m.def("_library_seconds", &library_seconds, py::arg("operation"), py::arg("reps"), py::arg("x"),
          py::arg("y") = nullptr, py::arg("w") = nullptr, py::arg("numbers") = std::vector<double>{},
          "For the benchmark: seconds of each of reps calls of a library operation straight from C++ "
          "(mean, mean_weighted, stdev, stdev_weighted, histogram, bin_data, poly_fit, poly_fit_weighted, "
          "function_eval, polyval, polyfit, polyfit_weighted, median, quantile). Collective, as the operation.");
}

} // namespace virda_python
