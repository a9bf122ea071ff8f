#include "histograms.h"

#include "histogram_bin_estimators.h"
#include "histogram_points.h"
#include "local_values.h"

#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace virda_python {

namespace {

using namespace histogram_detail;

/// Whether NumPy makes equal-width edges of a histogram's bins argument (a
/// count or an estimator's name).
bool is_count(py::handle bins) { return numpy().attr("ndim")(bins).cast<int>() == 0; }

/// NumPy's edges for histogram, from the global extremes where it needs
/// them, or by NumPy's estimators of the bin width (global size, extremes,
/// deviation, skewness and quartiles).
py::object edges_1d(const char* operation, const local_points& p, py::handle bins, py::handle range,
                    py::handle weights)
{
    auto np = numpy();
    if (py::isinstance<py::str>(bins)) {
        const py::object selectors = py::module_::import("numpy.lib.histograms").attr("_hist_bin_selectors");
        if (!selectors.attr("__contains__")(bins).cast<bool>()) {
            throw py::value_error(py::str("{!r} is not a valid estimator for `bins`").format(bins).cast<std::string>());
        }
        if (!weights.is_none()) {
            throw py::type_error("Automated estimation of the number of bins is not supported for weighted data");
        }
        return estimated_edges(operation, p, bins.cast<std::string>(), range);
    }
    py::object data = np.attr("empty")(0, p.dtype);
    if (range.is_none() && np.attr("ndim")(bins).cast<int>() == 0) {
        data = stand_in(operation, p).attr("ravel")();
    }
    return np.attr("histogram_bin_edges")(data, bins, range);
}

py::tuple histogram_of(py::handle a, py::handle bins, py::handle range, py::handle weights, py::handle density,
                       py::handle comm)
{
    const char* operation = "histogram";
    const local_points p = points_1d(operation, a, weights, comm);
    agree_arguments(operation, p.comm, py::make_tuple(bins, range, density, weights.is_none()));
    py::object edges = edges_1d(operation, p, bins, range, weights);
    py::object n = bin_points(operation, p, {engine_call(operation, [&] { return axis_of(edges, is_count(bins)); })});
    auto np = numpy();
    if (!p.weights.is_none()) {
        n = n.attr("astype")(p.weights.attr("dtype"));
    }
    if (!density.is_none() && density.cast<bool>()) {
        py::object db = np.attr("array")(np.attr("diff")(edges), np.attr("float64"));
        return py::make_tuple(n.attr("__truediv__")(db).attr("__truediv__")(n.attr("sum")()), edges);
    }
    return py::make_tuple(n, edges);
}

py::object histogram_bin_edges_of(py::handle a, py::handle bins, py::handle range, py::handle weights,
                                  py::handle comm)
{
    const char* operation = "histogram_bin_edges";
    const local_points p = points_1d(operation, a, weights, comm);
    agree_arguments(operation, p.comm, py::make_tuple(bins, range, weights.is_none()));
    return edges_1d(operation, p, bins, range, weights);
}

/// bins as one entry per dimension: a sequence as it is, a scalar repeated.
py::object per_dimension(py::handle bins, py::ssize_t d)
{
    if (py::hasattr(bins, "__len__")) {
        return py::reinterpret_borrow<py::object>(bins);
    }
    py::list l;
    for (py::ssize_t i = 0; i < d; ++i) {
        l.append(bins);
    }
    return std::move(l);
}

/// numpy.histogramdd's edges and checks, with its messages, from `data`
/// (the stand-in of the global extremes, columns by dimension): only the
/// edges, never the histogram NumPy would allocate beside them.
py::list edges_dd(const py::object& data, py::ssize_t d, py::handle bins, py::handle range)
{
    auto np = numpy();
    const py::object outer_edges = py::module_::import("numpy.lib.histograms").attr("_get_outer_edges");
    if (py::hasattr(bins, "__len__") && static_cast<py::ssize_t>(py::len(bins)) != d) {
        throw py::value_error("The dimension of bins must be equal to the dimension of the  sample x.");
    }
    const py::object b = per_dimension(bins, d);
    py::object r = py::reinterpret_borrow<py::object>(range);
    if (r.is_none()) {
        py::list nones;
        for (py::ssize_t i = 0; i < d; ++i) {
            nones.append(py::none());
        }
        r = nones;
    } else if (static_cast<py::ssize_t>(py::len(r)) != d) {
        throw py::value_error("range argument must have one entry per dimension");
    }
    py::list edges;
    for (py::ssize_t i = 0; i < d; ++i) {
        const py::object bi = b[py::int_(i)];
        const int ndim = np.attr("ndim")(bi).cast<int>();
        const std::string index = std::to_string(i);
        if (ndim == 0) {
            if (bi.attr("__lt__")(1).cast<bool>()) {
                throw py::value_error("`bins[" + index + "]` must be positive, when an integer");
            }
            const py::tuple outer = outer_edges(data[py::make_tuple(py::slice(py::none(), py::none(), py::none()), i)],
                                                r[py::int_(i)]);
            py::object n;
            try {
                n = py::module_::import("operator").attr("index")(bi);
            } catch (const py::error_already_set& e) {
                if (!e.matches(PyExc_TypeError)) {
                    throw;
                }
                throw py::type_error("`bins[" + index + "]` must be an integer, when a scalar");
            }
            edges.append(np.attr("linspace")(outer[0], outer[1], n.attr("__add__")(1)));
        } else if (ndim == 1) {
            py::object e = np.attr("asarray")(bi);
            py::object lower = e[py::slice(py::none(), py::int_(-1), py::none())];
            py::object upper = e[py::slice(py::int_(1), py::none(), py::none())];
            if (np.attr("any")(lower.attr("__gt__")(upper)).cast<bool>()) {
                throw py::value_error("`bins[" + index + "]` must be monotonically increasing, when an array");
            }
            edges.append(e);
        } else {
            throw py::value_error("`bins[" + index + "]` must be a scalar or 1d array");
        }
    }
    return edges;
}

py::tuple histogramdd_of(py::handle sample, py::handle bins, py::handle range, py::handle density,
                         py::handle weights, py::handle comm)
{
    const char* operation = "histogramdd";
    auto np = numpy();
    const local_points p = points_dd(operation, sample, weights, comm);
    agree_arguments(operation, p.comm, py::make_tuple(bins, range, density, weights.is_none(), p.columns.size()));
    const auto d = static_cast<py::ssize_t>(p.columns.size());
    // NumPy's own edges and checks, from the global extremes of each column
    // (only where some dimension's range is not given).
    bool need_extremes = range.is_none();
    if (!need_extremes) {
        for (py::handle r : range) {
            need_extremes = need_extremes || r.is_none();
        }
    }
    py::object data = need_extremes ? stand_in(operation, p) : np.attr("empty")(py::make_tuple(0, d), p.dtype);
    std::vector<virda::engine::bin_axis> axes;
    py::list edges = edges_dd(data, d, bins, range);
    for (py::ssize_t i = 0; i < d; ++i) {
        const bool equal = np.attr("ndim")(per_dimension(bins, d)[py::int_(i)]).cast<int>() == 0;
        axes.push_back(engine_call(operation, [&] { return axis_of(edges[i], equal); }));
    }
    py::object hist = bin_points(operation, p, axes, true);
    if (!density.is_none() && density.cast<bool>()) {
        py::object s = hist.attr("sum")();
        for (py::ssize_t i = 0; i < d; ++i) {
            py::list shape;
            for (py::ssize_t j = 0; j < d; ++j) {
                shape.append(j == i ? static_cast<py::ssize_t>(axes[i].bins()) : 1);
            }
            hist = hist.attr("__truediv__")(np.attr("diff")(edges[py::int_(i)]).attr("reshape")(shape));
        }
        hist = hist.attr("__truediv__")(s);
    }
    return py::make_tuple(hist, edges);
}

py::tuple histogram2d_of(py::handle x, py::handle y, py::handle bins, py::handle range, py::handle density,
                         py::handle weights, py::handle comm)
{
    py::object b = py::reinterpret_borrow<py::object>(bins);
    py::ssize_t n = 1;
    try {
        n = static_cast<py::ssize_t>(py::len(bins));
    } catch (const py::error_already_set&) {
    }
    if (n != 1 && n != 2) {
        py::object e = numpy().attr("asarray")(bins);
        b = py::make_tuple(e, e);
    }
    py::tuple r = histogramdd_of(py::make_tuple(x, y), b, range, density, weights, comm);
    py::object edges = r[1];
    return py::make_tuple(r[0], edges[py::int_(0)], edges[py::int_(1)]);
}

} // namespace

void bind_histograms(py::module_& m)
{
    m.def("histogram", &histogram_of, py::arg("a"), py::arg("bins") = 10, py::arg("range") = py::none(),
          py::arg("weights") = py::none(), py::arg("density") = py::none(), py::kw_only(), py::arg("comm") = py::none(),
          R"doc(
numpy.histogram of the values of every rank: (counts, edges) on every rank.
Every bin [e_k, e_k+1) but the last, which includes its upper edge; values
outside the edges and NaN are not counted. bins a count (equal widths over
range, or over the global least and greatest value) or the edges; the
estimators named by strings are not supported. With weights (of a's shape on
each rank), each bin's exact total of its weights, rounded once (the same
bits at any rank count), cast to the weights' dtype; density as NumPy. a as
for mean (comm for NumPy arrays). Collective over a's communicator.
)doc");
    m.def("histogram_bin_edges", &histogram_bin_edges_of, py::arg("a"), py::arg("bins") = 10,
          py::arg("range") = py::none(), py::arg("weights") = py::none(), py::kw_only(), py::arg("comm") = py::none(),
          R"doc(
numpy.histogram_bin_edges of the values of every rank, on every rank.
Collective over a's communicator.
)doc");
    m.def("histogramdd", &histogramdd_of, py::arg("sample"), py::arg("bins") = 10, py::arg("range") = py::none(),
          py::arg("density") = py::none(), py::arg("weights") = py::none(), py::kw_only(),
          py::arg("comm") = py::none(), R"doc(
numpy.histogramdd of the points of every rank: (hist, edges) on every rank,
hist float64 of shape (bins per dimension). sample this rank's (N, D) points
or a sequence of D coordinate arrays of one length; weights one per point.
Per-bin counts and weight totals are exact (the same bits at any rank
count). Collective over the sample's communicator.
)doc");
    m.def("histogram2d", &histogram2d_of, py::arg("x"), py::arg("y"), py::arg("bins") = 10,
          py::arg("range") = py::none(), py::arg("density") = py::none(), py::arg("weights") = py::none(),
          py::kw_only(), py::arg("comm") = py::none(), R"doc(
numpy.histogram2d of the points (x, y) of every rank: (hist, xedges, yedges)
on every rank, as histogramdd. Collective over the communicator.
)doc");
}

} // namespace virda_python
