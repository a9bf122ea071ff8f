#include "statistics.h"

#include "agreed_allocation.h"
#include "argument_checks.h"
#include "array_creation.h"
#include "call_communicator.h"
#include "horner.h"
#include "local_values.h"
#include "mpi_environment.h"
#include "scaled_polyfit.h"

#include "engine/bin_means.h"
#include "engine/histogram.h"
#include "engine/order_statistics.h"
#include "engine/quantile_method.h"
#include "frontend/row_exchange.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <string>
#include <utility>
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

/// The values a statistic reads: a NumPy array of this rank's values over
/// `comm`, or this rank's block of an Array over its own communicator.
struct statistic_input {
    local_values values;
    communicator comm;
    dist_array* array = nullptr;
};

statistic_input input_of(const char* operation, py::handle a, py::handle comm)
{
    statistic_input in;
    if (py::isinstance<dist_array>(a)) {
        check_array_call(operation, comm);
        in.array = &a.cast<dist_array&>();
        in.values = values_of_block(operation, *in.array);
        in.comm = in.array->comm();
        return in;
    }
    in.comm = communicator_of(comm);
    read_together(operation, "a", in.comm, [&] { in.values = values_of_numpy(operation, "a", a); });
    return in;
}

py::array_t<std::int64_t> histogram_of(const py::object& a, double lower, double width, int nbins,
                                       const py::object& comm)
{
    const statistic_input in = input_of("histogram", a, comm);
    check_histogram_bins(lower, width, nbins);
    const std::vector<std::int64_t> counts = engine_call("histogram", [&] {
        virda::engine::equal_width_histogram h(lower, width, nbins);
        in.values.add_to(h);
        return h.finish(in.comm.handle);
    });
    py::array_t<std::int64_t> result(static_cast<py::ssize_t>(counts.size()));
    std::copy(counts.begin(), counts.end(), result.mutable_data());
    return result;
}

/// This rank's block of an Array as one run of its elements.
virda::engine::values_view run_of_block(const char* operation, const dist_array& a)
{
    const local_values v = values_of_block(operation, a);
    virda::engine::values_view run{nullptr, v.type, 0, static_cast<std::int64_t>(virda::engine::facts_of(v.type).size)};
    if (!v.tables.empty()) {
        run = virda::engine::row_of(v.tables[0], 0);
    }
    return run;
}

/// x's elements laid out as y's (the same number of elements over the same
/// processes, another shape or another ranking of them): the elements of x
/// that pair with this rank's block of y, moved point to point. The buffer
/// is agreed over the ranks (MemoryError on every rank naming the one that
/// could not allocate), and so is the exchange. Collective over y's
/// communicator.
std::vector<double> x_laid_out_as_y(const dist_array& x, const dist_array& y)
{
    const communicator& comm = y.comm();
    // x's ranks in the order of y's: the process of y's rank r is x's rank
    // xs_rank[r].
    MPI_Group xg = MPI_GROUP_NULL;
    MPI_Group yg = MPI_GROUP_NULL;
    MPI_Comm_group(x.comm().handle, &xg);
    MPI_Comm_group(comm.handle, &yg);
    std::vector<int> y_ranks(static_cast<std::size_t>(comm.size));
    std::vector<int> x_ranks(y_ranks.size());
    for (int r = 0; r < comm.size; ++r) {
        y_ranks[static_cast<std::size_t>(r)] = r;
    }
    const int translated = MPI_Group_translate_ranks(yg, comm.size, y_ranks.data(), xg, x_ranks.data());
    MPI_Group_free(&xg);
    MPI_Group_free(&yg);
    check_mpi(translated, "bin_data: the ranks of x's communicator");
    // Both in elements: rows times the row's length.
    const auto elements = [](const dist_array& a, int rank) {
        const auto rows = virda::frontend::balanced_rows(a.shape()[0], a.comm().size, rank);
        const auto row = static_cast<std::int64_t>(a.row_length());
        return virda::frontend::row_range{rows.first * row, rows.count * row};
    };
    std::vector<virda::frontend::row_range> from(static_cast<std::size_t>(comm.size));
    std::vector<virda::frontend::row_range> to(from.size());
    for (int r = 0; r < comm.size; ++r) {
        from[static_cast<std::size_t>(r)] = elements(x, x_ranks[static_cast<std::size_t>(r)]);
        to[static_cast<std::size_t>(r)] = elements(y, r);
    }
    std::vector<double> moved;
    allocation_outcome outcome;
    outcome.attempt([&] { moved.resize(static_cast<std::size_t>(to[static_cast<std::size_t>(comm.rank)].count)); });
    int first_failed = outcome.failed() ? comm.rank : comm.size;
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, &first_failed, 1, MPI_INT, MPI_MIN, comm.handle),
              "bin_data: agreeing on the buffers for x");
    if (first_failed < comm.size) {
        PyErr_SetString(PyExc_MemoryError,
                        allocation_failure("bin_data", "x's elements laid out as y's",
                                           static_cast<std::size_t>(to[static_cast<std::size_t>(first_failed)].count) *
                                               sizeof(double),
                                           first_failed)
                            .c_str());
        throw py::error_already_set();
    }
    int ok = virda::frontend::exchange_rows(x.block("bin_data").data(), moved.data(), sizeof(double), from, to,
                                            comm.handle)
                 ? 1
                 : 0;
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, &ok, 1, MPI_INT, MPI_MIN, comm.handle), "bin_data: moving x");
    if (ok == 0) {
        throw std::runtime_error("bin_data: an MPI call failed while x was moved to y's layout");
    }
    return moved;
}

py::array_t<double> bin_data_of(const py::object& x_argument, const py::object& y_argument,
                                const py::object& centres_argument, const py::object& comm_argument)
{
    const bool arrays = py::isinstance<dist_array>(x_argument);
    if (arrays != py::isinstance<dist_array>(y_argument)) {
        throw py::type_error("bin_data: x and y must both be Arrays or both NumPy arrays of this rank's values");
    }
    if (arrays) {
        check_array_call("bin_data", comm_argument);
    }
    const doubles given = bin_centres(centres_argument);
    const auto bins = static_cast<std::int64_t>(given.size());
    const double c0 = given.data()[0];
    const double w = given.data()[1] - given.data()[0];
    std::unique_ptr<virda::engine::bin_means> means;
    communicator comm;
    std::vector<double> moved_x; // x laid out as y, where it is not
    if (arrays) {
        auto& x = x_argument.cast<dist_array&>();
        auto& y = y_argument.cast<dist_array&>();
        require_mpi_running();
        x.block("bin_data");
        y.block("bin_data");
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
        comm = y.comm();
        const virda::engine::values_view ys = run_of_block("bin_data", y);
        virda::engine::values_view xs = run_of_block("bin_data", x);
        // Decided from global facts: every rank moves x alike, or none does.
        if (relation != comm_relation::same_order || x.shape() != y.shape()) {
            moved_x = x_laid_out_as_y(x, y);
            xs = virda::engine::values_of(moved_x.data(), static_cast<std::int64_t>(moved_x.size()));
        }
        means = engine_call("bin_data", [&] { return std::make_unique<virda::engine::bin_means>(c0, w, bins); });
        engine_call("bin_data", [&] { means->add(xs, ys); });
    } else {
        comm = communicator_of(comm_argument);
        std::vector<std::pair<virda::engine::values_view, virda::engine::values_view>> runs;
        py::array xa;
        py::array ya;
        read_together("bin_data", "x and y", comm, [&] {
            xa = numpy_values("bin_data", "x", x_argument);
            ya = numpy_values("bin_data", "y", y_argument);
            if (!xa.dtype().equal(py::dtype::of<double>())) {
                throw py::type_error("bin_data: x must be float64 (x.astype('float64') makes a float64 copy)");
            }
            if (ya.ndim() != xa.ndim() || !std::equal(xa.shape(), xa.shape() + xa.ndim(), ya.shape())) {
                throw py::value_error("bin_data: y must have the shape of x");
            }
            runs = paired_runs("bin_data", xa, ya);
        });
        means = engine_call("bin_data", [&] { return std::make_unique<virda::engine::bin_means>(c0, w, bins); });
        engine_call("bin_data", [&] {
            for (const auto& r : runs) {
                means->add(r.first, r.second);
            }
        });
    }
    const virda::engine::bin_means::result r = engine_call("bin_data", [&] { return means->finish(comm.handle); });
    py::array_t<double> result(static_cast<py::ssize_t>(r.means.size()));
    std::copy(r.means.begin(), r.means.end(), result.mutable_data());
    return result;
}

/// numpy's RankWarning (numpy.exceptions.RankWarning from NumPy 1.25 on).
py::object rank_warning()
{
    auto np = py::module_::import("numpy");
    if (py::hasattr(np, "exceptions") && py::hasattr(np.attr("exceptions"), "RankWarning")) {
        return np.attr("exceptions").attr("RankWarning");
    }
    return np.attr("RankWarning");
}

/// Above this growth of rounding (times epsilon: the relative error of the
/// fitted values computed from the coefficients in powers of x), the
/// coefficients keep fewer than 8 significant digits of the fit.
constexpr double largest_power_basis_error = 1e-8;

/// polyfit's x, y and weights as runs of this rank's elements, with the
/// communicator and the number of elements over all ranks: Arrays of one
/// shape and communicator, or NumPy arrays of one shape on each rank with
/// comm (one MPI_Allreduce for the count; collective).
struct fit_input {
    std::vector<fit_run> runs;
    std::vector<py::array> owners;
    communicator comm;
    std::int64_t points = 0;
};

fit_input fit_input_of(const py::object& x_argument, const py::object& y_argument, const py::object& weights,
                       const py::object& comm_argument)
{
    fit_input in;
    const bool weighted = !weights.is_none();
    const bool arrays = py::isinstance<dist_array>(x_argument);
    if (arrays != py::isinstance<dist_array>(y_argument) ||
        (weighted && arrays != py::isinstance<dist_array>(weights))) {
        throw py::type_error("polyfit: x, y and weights must all be Arrays or all NumPy arrays of this rank's values");
    }
    if (arrays) {
        check_array_call("polyfit", comm_argument);
        auto& x = x_argument.cast<dist_array&>();
        auto& y = y_argument.cast<dist_array&>();
        x.block("polyfit");
        y.block("polyfit");
        require_same_layout("polyfit", x, y, "y");
        fit_run run{run_of_block("polyfit", x), run_of_block("polyfit", y), {}};
        if (weighted) {
            auto& w = weights.cast<dist_array&>();
            w.block("polyfit");
            require_same_layout("polyfit", x, w, "weights");
            run.w = run_of_block("polyfit", w);
        }
        in.runs.push_back(run);
        in.comm = x.comm();
        in.points = x.size();
        return in;
    }
    in.comm = communicator_of(comm_argument);
    read_together("polyfit", "x, y and weights", in.comm, [&] {
        in.owners.push_back(numpy_values("polyfit", "x", x_argument));
        in.owners.push_back(numpy_values("polyfit", "y", y_argument));
        if (weighted) {
            in.owners.push_back(numpy_values("polyfit", "weights", weights));
        }
        const py::array& x = in.owners[0];
        for (std::size_t k = 1; k < in.owners.size(); ++k) {
            const py::array& other = in.owners[k];
            if (other.ndim() != x.ndim() || !std::equal(x.shape(), x.shape() + x.ndim(), other.shape())) {
                throw py::value_error(std::string("polyfit: ") + (k == 1 ? "y" : "weights") +
                                      " must have the shape of x");
            }
        }
        for (const auto& run : aligned_runs(in.owners)) {
            in.runs.push_back(fit_run{run[0], run[1], weighted ? run[2] : run[1]});
        }
    });
    in.points = static_cast<std::int64_t>(in.owners[0].size());
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, &in.points, 1, MPI_INT64_T, MPI_SUM, in.comm.handle),
              "polyfit: counting the points");
    return in;
}

py::array_t<double> polyfit_of(const py::object& x_argument, const py::object& y_argument, int order,
                               const py::object& weights, const py::object& comm_argument)
{
    if (order < 0) {
        throw py::value_error("polyfit: order must be >= 0");
    }
    const fit_input in = fit_input_of(x_argument, y_argument, weights, comm_argument);
    if (in.points == 0) {
        throw py::type_error("polyfit: expected non-empty vector for x");
    }
    const std::int64_t points = in.points;
    const polyfit_outcome fit = scaled_polyfit(in.runs, !weights.is_none(), points, order, in.comm);
    py::array_t<double> result(static_cast<py::ssize_t>(fit.coefficients.size()));
    std::copy(fit.coefficients.begin(), fit.coefficients.end(), result.mutable_data());
    // Decided from the exact totals: every rank warns alike.
    const int n = order + 1;
    const double eps = std::numeric_limits<double>::epsilon();
    if (!fit.finite) {
        warn(PyExc_RuntimeWarning,
             "polyfit: the coefficients are NaN: x, y or the weights hold NaN or infinite values");
    } else if (fit.rank < n || n > points) {
        warn(rank_warning().ptr(), "polyfit: Polyfit may be poorly conditioned: the data determine " +
                                       std::to_string(std::min<long long>(fit.rank, points)) + " of the " +
                                       std::to_string(n) +
                                       " coefficients (too few points or distinct x); the others are those of "
                                       "the least-squares solution with the smallest coefficients");
    } else if (!(fit.growth * eps <= largest_power_basis_error)) {
        const double digits =
            std::isfinite(fit.growth) ? std::max(0.0, std::floor(-std::log10(fit.growth * eps))) : 0.0;
        warn(rank_warning().ptr(),
             "polyfit: Polyfit may be poorly conditioned: in powers of x the coefficients keep only about " +
                 std::to_string(static_cast<int>(digits)) +
                 " significant digits of the fitted values (a high order for data far from 0; fit x - x0 for "
                 "an x0 amid the data)");
    }
    return result;
}

py::object polyval_of(const py::object& p, const py::object& x_argument)
{
    if (py::isinstance<dist_array>(x_argument)) {
        auto& x = x_argument.cast<dist_array&>();
        require_mpi_running();
        x.block("polyval"); // refuses a freed array before any communication
        // Converted before the new array is created; a rank that could not
        // hold a long p agrees with the others first.
        const doubles given = polynomial_coefficients(p);
        std::vector<double> coefficients;
        allocate_together("polyval", std::to_string(given.size()) + " coefficients",
                          static_cast<std::size_t>(given.size()) * sizeof(double), x.comm(),
                          [&] { coefficients.assign(given.data(), given.data() + given.size()); });
        return py::cast(polyval_array(coefficients, x));
    }
    // Local numbers: evaluated here, no communication; a masked array's
    // mask is kept, as numpy.polyval keeps it.
    const doubles given = polynomial_coefficients(p);
    const std::vector<double> coefficients(given.data(), given.data() + given.size());
    const doubles xs = real_numbers("polyval", "x", x_argument, true);
    std::vector<double> values(static_cast<std::size_t>(xs.size()));
    horner(coefficients, xs.data(), values.data(), values.size());
    py::object result = shaped_as(xs, values);
    auto ma = py::module_::import("numpy").attr("ma");
    if (py::isinstance(x_argument, ma.attr("MaskedArray"))) {
        return ma.attr("masked_array")(result, py::arg("mask") = ma.attr("getmaskarray")(x_argument));
    }
    return result;
}

} // namespace

std::unique_ptr<dist_array> polyval_array(const std::vector<double>& p, dist_array& x)
{
    require_mpi_running();
    const virda::engine::values_view in = run_of_block("polyval", x); // refuses a freed array
    // The new array's block has the rows of x's: one pass fills it.
    auto result = create_array("polyval", element_type::float64, x.shape(), x.comm());
    py::array out = result->block("polyval");
    horner(p, in, static_cast<double*>(out.mutable_data()));
    return result;
}

void bind_statistics(py::module_& m)
{
    m.def("histogram_above_lower", &histogram_of, py::arg("a"), py::arg("lower"), py::arg("width"), py::arg("nbins"), py::kw_only(),
          py::arg("comm") = py::none(), R"doc(
Counts of a's elements in nbins bins of this width above lower, as an int64
NumPy array on every rank. Bin 0 is (lower, lower + width): unlike
numpy.histogram, the lower edge is never counted, nor is the top edge; bin k
>= 1 is [lower + k width, lower + (k + 1) width). NaN is not counted.
a as for mean (comm for NumPy arrays). Collective over a's communicator.
)doc");
    m.def("bin_data", &bin_data_of, py::arg("x"), py::arg("y"), py::arg("centres"), py::kw_only(),
          py::arg("comm") = py::none(), R"doc(
The mean of the y elements in each bin of x (float64), as
scipy.stats.binned_statistic(x, y, 'mean'), as a float64 NumPy array on
every rank. Bin k is centred on centres[0] + k w (w = centres[1] -
centres[0]; only the count of centres and its first two entries matter),
[c - w/2, c + w/2); an empty bin gives 0.0 (SciPy: NaN). Element j of x
pairs with element j of y: Arrays x and y need the same number of elements
over the same processes, not the same layout. Or NumPy arrays of this
rank's values, of one shape, with comm (default MPI.COMM_WORLD). Collective
over y's communicator.
)doc");
    m.def("polyfit", &polyfit_of, py::arg("x"), py::arg("y"), py::arg("order"), py::arg("weights") = py::none(),
          py::kw_only(), py::arg("comm") = py::none(),
          R"doc(
The least-squares polynomial of this order through (x, y), from exact totals
over all ranks: its coefficients as a float64 NumPy array in numpy.polyfit's
order, the highest power first. weights multiply the squared residuals, where
numpy.polyfit's w multiplies the residuals: polyfit(x, y, k, weights=w) fits
as numpy.polyfit(x, y, k, w=numpy.sqrt(w)). x, y and weights have one shape
and communicator (Arrays), or are NumPy arrays of one shape on each rank
with comm (default MPI.COMM_WORLD) naming the ranks whose points count.
The fit is made in (x - c) / s, which maps the finite range
of x onto [-1, 1], and converted back to powers of x. Where the data do not
determine every coefficient (fewer points or distinct x than coefficients)
the result is the least-squares solution with the smallest coefficients,
with numpy's RankWarning, as is a fit whose coefficients in powers of x keep
fewer than 8 significant digits of it; NaN coefficients (NaN or infinite
data) come with a RuntimeWarning. Every rank warns alike. Collective over
x's communicator.
)doc");
    m.def("polyval", &polyval_of, py::arg("p"), py::arg("x"), R"doc(
The polynomial with coefficients p (highest power first, as polyfit gives
them) at x, by Horner's rule in float64 as numpy.polyval evaluates it: the
same bits as numpy.polyval(p, x.astype("float64")) on the gathered data (a
NaN wherever x is NaN or infinite). For an Array: a new float64 Array of x's
shape and communicator (collective over it). For numbers or a NumPy array: a
float or a NumPy array, evaluated locally with no communication.
)doc");
}

} // namespace virda_python
