#include "reductions.h"

#include "extreme_reductions.h"
#include "integer_totals.h"
#include "moment_reductions.h"
#include "numpy_module.h"
#include "weighted_reductions.h"

#include <pybind11/stl.h>

#include <string>

namespace py = pybind11;
using virda::engine::nan_policy;

namespace virda_python {

void bind_reductions(py::module_& m)
{
    const auto none = py::none();
    m.def(
        "sum",
        [](py::handle a, py::handle axis, py::handle dtype, const py::object& out, py::handle keepdims,
           py::handle initial, py::handle where, py::handle comm) {
            return moment_reduction("sum", moment_kind::sum, nan_policy::propagate, a, axis, dtype, out, 0, keepdims,
                                    comm, {where, initial});
        },
        py::arg("a"), py::arg("axis") = none, py::arg("dtype") = none, py::arg("out") = none,
        py::arg("keepdims") = none, py::arg("initial") = none, py::arg("where") = none, py::kw_only(),
        py::arg("comm") = none, R"doc(
The sum over axis, as numpy.sum: floats from their exact total rounded once;
integers modulo 2^64 (int64, uint64 for unsigned), as NumPy's. Collective
over a's communicator when axis 0 is reduced (axis=None included).)doc");
    m.def(
        "nansum",
        [](py::handle a, py::handle axis, py::handle dtype, const py::object& out, py::handle keepdims,
           py::handle initial, py::handle where, py::handle comm) {
            return moment_reduction("nansum", moment_kind::sum, nan_policy::omit, a, axis, dtype, out, 0, keepdims,
                                    comm, {where, initial});
        },
        py::arg("a"), py::arg("axis") = none, py::arg("dtype") = none, py::arg("out") = none,
        py::arg("keepdims") = none, py::arg("initial") = none, py::arg("where") = none, py::kw_only(),
        py::arg("comm") = none, "The sum with NaN left out, as numpy.nansum (see sum).");
    m.def(
        "mean",
        [](py::handle a, py::handle axis, py::handle dtype, const py::object& out, py::handle keepdims,
           py::handle where, py::handle weights, py::handle comm) {
            if (!weights.is_none()) {
                if (!axis.is_none()) {
                    throw py::type_error("mean: weights are taken with axis=None only");
                }
                const auto s = weighted_of("mean", a, weights, comm);
                return py::object(numpy().attr("float64")(s.weighted_sum / s.weight_sum));
            }
            return moment_reduction("mean", moment_kind::mean, nan_policy::propagate, a, axis, dtype, out, 0,
                                    keepdims, comm, {where, py::none()});
        },
        py::arg("a"), py::arg("axis") = none, py::arg("dtype") = none, py::arg("out") = none,
        py::arg("keepdims") = none, py::kw_only(), py::arg("where") = none, py::arg("weights") = none,
        py::arg("comm") = none, R"doc(
The mean over axis, as numpy.mean: the exact total divided by the count,
rounded once to the result dtype (float32 for float32, else float64).
weights= (keyword, axis=None only): the weighted mean, as numpy.average.)doc");
    m.def(
        "nanmean",
        [](py::handle a, py::handle axis, py::handle dtype, const py::object& out, py::handle keepdims,
           py::handle where, py::handle comm) {
            return moment_reduction("nanmean", moment_kind::mean, nan_policy::omit, a, axis, dtype, out, 0, keepdims,
                                    comm, {where, py::none()});
        },
        py::arg("a"), py::arg("axis") = none, py::arg("dtype") = none, py::arg("out") = none,
        py::arg("keepdims") = none, py::kw_only(), py::arg("where") = none, py::arg("comm") = none,
        "The mean with NaN left out, as numpy.nanmean (see mean).");
    for (const bool nan_function : {false, true}) {
        for (const bool root : {false, true}) {
            const char* name = root ? (nan_function ? "nanstd" : "std") : (nan_function ? "nanvar" : "var");
            const auto kind = root ? moment_kind::stdev : moment_kind::variance;
            const auto policy = nan_function ? nan_policy::omit : nan_policy::propagate;
            auto f = [name, kind, policy, nan_function](py::handle a, py::handle axis, py::handle dtype,
                                                        const py::object& out, double ddof, py::handle keepdims,
                                                        py::handle where, py::handle weights, py::handle comm) {
                if (!weights.is_none()) {
                    if (nan_function || !axis.is_none() || kind != moment_kind::stdev) {
                        throw py::type_error(std::string(name) + ": weights are taken by std with axis=None only");
                    }
                    return py::object(numpy().attr("float64")(weighted_of(name, a, weights, comm).stdev));
                }
                return moment_reduction(name, kind, policy, a, axis, dtype, out, ddof, keepdims, comm,
                                        {where, py::none()});
            };
            m.def(name, f, py::arg("a"), py::arg("axis") = none, py::arg("dtype") = none, py::arg("out") = none,
                  py::arg("ddof") = 0, py::arg("keepdims") = none, py::kw_only(), py::arg("where") = none,
                  py::arg("weights") = none, py::arg("comm") = none,
                  "As NumPy's function of this name: from the exact sums of x and x^2, rounded once "
                  "(std: weights= keyword, axis=None only, the weighted population deviation).");
        }
    }
    struct extreme_function {
        const char* name;
        extreme_kind kind;
        nan_policy policy;
    };
    const extreme_function with_initial[] = {
        {"min", extreme_kind::min, nan_policy::propagate},  {"amin", extreme_kind::min, nan_policy::propagate},
        {"max", extreme_kind::max, nan_policy::propagate},  {"amax", extreme_kind::max, nan_policy::propagate},
        {"nanmin", extreme_kind::min, nan_policy::omit},    {"nanmax", extreme_kind::max, nan_policy::omit}};
    for (const extreme_function& e : with_initial) {
        m.def(
            e.name,
            [e](py::handle a, py::handle axis, const py::object& out, py::handle keepdims, py::handle initial,
                py::handle where, py::handle comm) {
                return extreme_reduction(e.name, e.kind, e.policy, a, axis, out, keepdims, comm, {where, initial});
            },
            py::arg("a"), py::arg("axis") = none, py::arg("out") = none, py::arg("keepdims") = none,
            py::arg("initial") = none, py::arg("where") = none, py::kw_only(), py::arg("comm") = none,
            "As NumPy's function of this name: the least or greatest value, exactly, in the data's dtype.");
    }
    m.def(
        "ptp",
        [](py::handle a, py::handle axis, const py::object& out, py::handle keepdims, py::handle comm) {
            return extreme_reduction("ptp", extreme_kind::ptp, nan_policy::propagate, a, axis, out, keepdims, comm);
        },
        py::arg("a"), py::arg("axis") = none, py::arg("out") = none, py::arg("keepdims") = none, py::kw_only(),
        py::arg("comm") = none, "max - min in the data's dtype, as numpy.ptp.");
    const extreme_function positions[] = {{"argmin", extreme_kind::argmin, nan_policy::propagate},
                                          {"argmax", extreme_kind::argmax, nan_policy::propagate},
                                          {"nanargmin", extreme_kind::argmin, nan_policy::omit},
                                          {"nanargmax", extreme_kind::argmax, nan_policy::omit}};
    for (const extreme_function& e : positions) {
        m.def(
            e.name,
            [e](py::handle a, py::handle axis, const py::object& out, py::handle keepdims, py::handle comm) {
                return extreme_reduction(e.name, e.kind, e.policy, a, axis, out, keepdims, comm);
            },
            py::arg("a"), py::arg("axis") = none, py::arg("out") = none, py::kw_only(), py::arg("keepdims") = none,
            py::arg("comm") = none,
            "As NumPy's function of this name: the global index of the first extreme (flat for axis=None).");
    }
    m.def(
        "count_nonzero",
        [](py::handle a, py::handle axis, bool keepdims, py::handle comm) {
            return count_nonzero_of(a, axis, keepdims, comm);
        },
        py::arg("a"), py::arg("axis") = none, py::kw_only(), py::arg("keepdims") = false, py::arg("comm") = none,
        "The number of non-zero elements, as numpy.count_nonzero.");
    m.def(
        "average",
        [](py::handle a, py::handle axis, py::handle weights, bool returned, py::handle keepdims, py::handle comm) {
            return average_of(a, axis, weights, returned, keepdims, comm);
        },
        py::arg("a"), py::arg("axis") = none, py::arg("weights") = none, py::arg("returned") = false, py::kw_only(),
        py::arg("keepdims") = none, py::arg("comm") = none,
        "The (weighted) mean, as numpy.average (weights along an axis: NumPy arrays of this rank's rows).");
}

} // namespace virda_python
