#include "library_timing.h"

#include "communicator.h"
#include "dist_array.h"
#include "mpi_environment.h"

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
/// function of the same name calls it (x, then y or the weights w), with
/// the framework's globals on x's communicator. `numbers` are the
/// operation's other arguments: histogram (lower, width, nbins), bin_data
/// the centres, poly_fit (order), eval the coefficients in ascending powers,
/// quantile the probabilities. Collective over x's communicator, as the
/// operation.
std::vector<double> library_seconds(const std::string& operation, int reps, dist_array& x, dist_array* other,
                                    const std::vector<double>& numbers)
{
    require_mpi_running();
    Attribute& xa = x.attribute(operation.c_str());
    Attribute* oa = other != nullptr ? &other->attribute(operation.c_str()) : nullptr;
    auto need_other = [&] {
        if (oa == nullptr) {
            throw py::value_error(operation + ": needs a second array");
        }
        return oa;
    };
    function polynomial;
    polynomial.set_coeffs(numbers);
    const std::map<std::string, std::function<void()>> calls = {
        {"mean", [&] { ::mean(xa); }},
        {"mean_weighted", [&] { ::mean(xa, *need_other()); }},
        {"std", [&] { ::stdev(xa); }},
        {"std_weighted", [&] { ::stdev(xa, *need_other()); }},
        {"histogram", [&] { ::histogram(xa, numbers.at(0), numbers.at(1), static_cast<int>(numbers.at(2))); }},
        {"bin_data", [&] { ::bin_data(xa, *need_other(), numbers); }},
        {"poly_fit", [&] { delete ::poly_fit(xa, *need_other(), static_cast<int>(numbers.at(0))); }},
        {"eval", [&] { polynomial.eval(xa); }},
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
          py::arg("other") = nullptr, py::arg("numbers") = std::vector<double>{},
          "For the benchmark: seconds of each of reps calls of a library operation straight from C++ "
          "(mean, mean_weighted, std, std_weighted, histogram, bin_data, poly_fit, eval, median, quantile). "
          "Collective, as the operation.");
}

} // namespace virda_python
