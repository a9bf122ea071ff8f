#include "statistics.h"

#include "array_creation.h"
#include "horner.h"
#include "library_call.h"
#include "mpi_environment.h"

#include "framework/attribute/attribute.h"
#include "statistics/bin_data.h"
#include "statistics/function.h"
#include "statistics/histogram.h"
#include "statistics/mean.h"
#include "statistics/median.h"
#include "statistics/poly_fit.h"
#include "statistics/quantile.h"
#include "statistics/stdev.h"

#include <boost/variant/get.hpp>

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;

namespace virda_python {

namespace {

/// Raises ValueError unless `b` has a's shape and a communicator that ranks
/// the same processes alike, so that their blocks pair element by element.
/// From global facts only: every rank decides alike.
void require_same_layout(const char* operation, const dist_array& a, const dist_array& b, const char* b_name)
{
    if (b.shape() != a.shape()) {
        throw py::value_error(std::string(operation) + ": " + b_name + " must have the shape of the data");
    }
    if (relation_of(a.comm().handle, b.comm().handle) != comm_relation::same_order) {
        throw py::value_error(std::string(operation) + ": " + b_name +
                              " must be distributed over the data's communicator (the same processes and ranks)");
    }
}

/// NumPy's warning for statistics of nothing, decided from the global size.
void warn_if_empty(const char* operation, const dist_array& a)
{
    if (a.size() == 0) {
        warn(PyExc_RuntimeWarning, std::string(operation) + ": the array has no elements; the result is NaN");
    }
}

using doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

/// An array-like of numbers as a C-ordered float64 NumPy array (a copy only
/// when it is not one already).
doubles doubles_array(const py::object& values)
{
    auto array = doubles::ensure(values);
    if (!array) {
        throw py::error_already_set();
    }
    return array;
}

/// The numbers of an array-like, flattened.
std::vector<double> doubles_of(const py::object& values)
{
    const doubles array = doubles_array(values);
    return std::vector<double>(array.data(), array.data() + array.size());
}

/// `values` shaped as `like`: a float for a 0-d `like`, else a NumPy array.
py::object shaped_as(const doubles& like, const std::vector<double>& values)
{
    if (like.ndim() == 0) {
        return py::float_(values[0]);
    }
    doubles result(std::vector<py::ssize_t>(like.shape(), like.shape() + like.ndim()));
    std::copy(values.begin(), values.end(), result.mutable_data());
    return std::move(result);
}

/// mean or std (`operation`): the library's plain form of `a`, or its
/// weighted form when weights are given.
template <typename Plain, typename Weighted>
double moment_of(const char* operation, dist_array& a, dist_array* weights, Plain plain, Weighted weighted)
{
    require_mpi_running();
    Attribute& x = a.attribute(operation);
    warn_if_empty(operation, a);
    if (weights == nullptr) {
        return library_call(operation, a.comm().handle, a.comm().rank, [&] { return plain(x); });
    }
    require_same_layout(operation, a, *weights, "weights");
    Attribute& w = weights->attribute(operation);
    return library_call(operation, a.comm().handle, a.comm().rank, [&] { return weighted(x, w); });
}

double mean_of(dist_array& a, dist_array* weights)
{
    return moment_of(
        "mean", a, weights, [](Attribute& x) { return ::mean(x); },
        [](Attribute& x, Attribute& w) { return ::mean(x, w); });
}

double std_of(dist_array& a, dist_array* weights)
{
    return moment_of(
        "std", a, weights, [](Attribute& x) { return ::stdev(x); },
        [](Attribute& x, Attribute& w) { return ::stdev(x, w); });
}

py::array_t<std::int64_t> histogram_of(dist_array& a, double lower, double width, int nbins)
{
    require_mpi_running();
    Attribute& x = a.attribute("histogram");
    if (nbins < 0) {
        throw py::value_error("histogram: nbins must be >= 0");
    }
    std::vector<int> counts =
        library_call("histogram", a.comm().handle, a.comm().rank, [&] { return ::histogram(x, lower, width, nbins); });
    // The library gathers the counts on rank 0; every rank gets them here.
    if (nbins > 0) {
        check_mpi(MPI_Bcast(counts.data(), nbins, MPI_INT, 0, a.comm().handle), "histogram: sharing the counts");
    }
    py::array_t<std::int64_t> result(nbins);
    std::copy(counts.begin(), counts.end(), result.mutable_data());
    return result;
}

py::array_t<double> bin_data_of(dist_array& x, dist_array& y, const py::object& centres_argument)
{
    require_mpi_running();
    Attribute& xa = x.attribute("bin_data");
    Attribute& ya = y.attribute("bin_data");
    const std::vector<double> centres = doubles_of(centres_argument);
    if (centres.size() < 2) {
        throw py::value_error("bin_data: at least two bin centres are needed");
    }
    if (x.type() != element_type::float64) {
        throw py::type_error("bin_data: x must be float64 (x.astype('float64') makes a float64 copy)");
    }
    if (x.size() != y.size()) {
        throw py::value_error("bin_data: x and y must have the same number of elements");
    }
    const comm_relation relation = relation_of(x.comm().handle, y.comm().handle);
    if (relation == comm_relation::different) {
        throw py::value_error("bin_data: x and y must be distributed over the same processes");
    }
    // Each rank bins the pairs of its block of y; where x's block is not
    // the same elements, it reads them from the ranks that hold them, so
    // those blocks are published first (collective over x's communicator,
    // decided from global facts on every rank alike).
    if (relation != comm_relation::same_order || x.shape() != y.shape()) {
        x.array<double>("bin_data").va_sync();
    }
    const std::vector<double> means =
        library_call("bin_data", y.comm().handle, y.comm().rank, [&] { return ::bin_data(xa, ya, centres); });
    py::array_t<double> result(static_cast<py::ssize_t>(means.size()));
    std::copy(means.begin(), means.end(), result.mutable_data());
    return result;
}

py::array_t<double> polyfit_of(dist_array& x, dist_array& y, int order, dist_array* weights)
{
    require_mpi_running();
    Attribute& xa = x.attribute("polyfit");
    Attribute& ya = y.attribute("polyfit");
    if (order < 0) {
        throw py::value_error("polyfit: order must be >= 0");
    }
    require_same_layout("polyfit", x, y, "y");
    Attribute* wa = nullptr;
    if (weights != nullptr) {
        require_same_layout("polyfit", x, *weights, "weights");
        wa = &weights->attribute("polyfit");
    }
    const std::unique_ptr<function> fit(library_call("polyfit", x.comm().handle, x.comm().rank, [&] {
        return wa == nullptr ? ::poly_fit(xa, ya, order) : ::poly_fit(xa, ya, *wa, order);
    }));
    // The library's coefficients are in ascending powers; NumPy's order is
    // the highest power first.
    const std::vector<double>& ascending = fit->get_coeffs();
    py::array_t<double> result(static_cast<py::ssize_t>(ascending.size()));
    std::reverse_copy(ascending.begin(), ascending.end(), result.mutable_data());
    if (std::any_of(ascending.begin(), ascending.end(), [](double c) { return std::isnan(c); })) {
        warn(library_warning, "polyfit: the coefficients are NaN (singular normal equations: too few distinct x, "
                              "or NaN or infinite data)");
    }
    return result;
}

py::object polyval_of(const py::object& p, const py::object& x_argument)
{
    const std::vector<double> coefficients = doubles_of(p);
    if (py::isinstance<dist_array>(x_argument)) {
        return py::cast(polyval_array(coefficients, x_argument.cast<dist_array&>()));
    }
    // Local numbers: evaluated here, no communication.
    const doubles xs = doubles_array(x_argument);
    std::vector<double> values(static_cast<std::size_t>(xs.size()));
    horner(coefficients, xs.data(), values.data(), values.size());
    return shaped_as(xs, values);
}

py::object quantile_of(dist_array& a, const py::object& q)
{
    require_mpi_running();
    Attribute& x = a.attribute("quantile");
    const doubles probabilities = doubles_array(q);
    const std::vector<double> ps(probabilities.data(), probabilities.data() + probabilities.size());
    if (std::any_of(ps.begin(), ps.end(), [](double p) { return !(p >= 0.0 && p <= 1.0); })) {
        throw py::value_error("Quantiles must be in the range [0, 1]");
    }
    return shaped_as(probabilities,
                     library_call("quantile", a.comm().handle, a.comm().rank, [&] { return ::quantile(x, ps); }));
}

double median_of(dist_array& a)
{
    require_mpi_running();
    Attribute& x = a.attribute("median");
    return library_call("median", a.comm().handle, a.comm().rank, [&] { return ::median(x); });
}

} // namespace

std::unique_ptr<dist_array> polyval_array(const std::vector<double>& p, dist_array& x)
{
    require_mpi_running();
    x.attribute("polyval"); // refuses a freed array
    // A collective point (the queued arrays are released) like every
    // creation; one pass over this rank's block fills the new one.
    auto result = create_array("polyval", element_type::float64, x.shape(), x.comm());
    va<double>& out = result->array<double>("polyval");
    with_element_type(x.type(), [&](auto v) {
        const va<decltype(v)>& in = x.array<decltype(v)>("polyval");
        if (in.va_local_count() != out.va_local_count()) {
            throw std::logic_error("polyval: the new array's block differs from x's");
        }
        horner(p, in.va_local_data(), out.va_local_data(), static_cast<std::size_t>(in.va_local_count()));
    });
    return result;
}

void bind_statistics(py::module_& m)
{
    m.def("mean", &mean_of, py::arg("a"), py::arg("weights") = nullptr, R"doc(
The mean of every element of a over all ranks, as numpy.mean (with weights:
numpy.average(a, weights=weights)). The totals are exact and rounded once,
so the result is the same bits at any number of ranks and any distribution.
weights must have a's shape and communicator. Collective over a's
communicator; every rank gets the same value.
)doc");
    m.def("std", &std_of, py::arg("a"), py::arg("weights") = nullptr, R"doc(
The population standard deviation (numpy.std's default ddof=0; with
weights, divided by their total) of every element of a over all ranks, from
exact totals. Collective over a's communicator; every rank gets the same
value.
)doc");
    m.def("histogram", &histogram_of, py::arg("a"), py::arg("lower"), py::arg("width"), py::arg("nbins"), R"doc(
Counts of a's elements in nbins bins of this width above lower, as an int64
NumPy array on every rank. Bin 0 is (lower, lower + width): unlike
numpy.histogram, the lower edge is never counted, nor is the top edge; bin k
>= 1 is [lower + k width, lower + (k + 1) width). NaN is not counted.
Collective over a's communicator.
)doc");
    m.def("bin_data", &bin_data_of, py::arg("x"), py::arg("y"), py::arg("centres"), R"doc(
The mean of the y elements in each bin of x (float64), as
scipy.stats.binned_statistic(x, y, 'mean'), as a float64 NumPy array on
every rank. Bin k is centred on centres[0] + k w (w = centres[1] -
centres[0]; only the count of centres and its first two entries matter),
[c - w/2, c + w/2); an empty bin gives 0.0 (SciPy: NaN). Element j of x
pairs with element j of y: x and y need the same number of elements over the
same processes, not the same layout. Collective over y's communicator.
)doc");
    m.def("polyfit", &polyfit_of, py::arg("x"), py::arg("y"), py::arg("order"), py::arg("weights") = nullptr,
          R"doc(
The least-squares polynomial of this order through (x, y), from exact totals
over all ranks: its coefficients as a float64 NumPy array in numpy.polyfit's
order, the highest power first (the C++ poly_fit's function holds them in
ascending powers). weights multiply the squared residuals, where
numpy.polyfit's w multiplies the residuals: polyfit(x, y, k, weights=w) fits
as numpy.polyfit(x, y, k, w=numpy.sqrt(w)). x, y and weights have one shape
and communicator. NaN coefficients (singular normal equations) come with a
LibraryWarning. Collective over x's communicator.
)doc");
    m.def("polyval", &polyval_of, py::arg("p"), py::arg("x"), R"doc(
The polynomial with coefficients p (highest power first, as polyfit gives
them) at x, by Horner's rule in float64 as numpy.polyval evaluates it: the
same bits as numpy.polyval(p, x.astype("float64")) on the gathered data (a
NaN wherever x is NaN or infinite). For an Array: a new float64 Array of x's
shape and communicator (collective over it). For numbers or a NumPy array: a
float or a NumPy array, evaluated locally with no communication.
)doc");
    m.def("quantile", &quantile_of, py::arg("a"), py::arg("q"), R"doc(
The exact quantiles of every element of a over all ranks for the
probabilities q (numpy.quantile's default 'linear' method, one fixed
interpolation, so the same bits at any number of ranks): a float for a
scalar q, else a float64 NumPy array of q's shape. Any NaN element gives
NaN. Collective over a's communicator; every rank gets the same values.
)doc");
    m.def("median", &median_of, py::arg("a"), R"doc(
The exact median of every element of a over all ranks (quantile(a, 0.5)).
Collective over a's communicator; every rank gets the same value.
)doc");
}

} // namespace virda_python
