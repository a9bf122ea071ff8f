#include "binned_statistics.h"

#include "communicator.h"
#include "local_values.h"

#include "engine/bin_location.h"
#include "engine/binned_statistics.h"
#include "frontend/binned_statistic_names.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;
using namespace virda::engine;

namespace virda_python {

namespace {

py::module_ numpy()
{
    return py::module_::import("numpy");
}

/// An error found from one rank's own data, raised on every rank alike.
struct local_error {
    PyObject* type = nullptr;
    std::string message;
};

/// Agrees over comm whether some rank found an error in its own data: one
/// MPI_Allreduce (the lowest such rank), then that rank's exception type
/// and message travel to every rank (MPI_Bcast), which all raise it. This is
/// a collective operation and must be called by all processes in the
/// communicator.
void raise_agreed(const communicator& comm, const std::optional<local_error>& mine)
{
    int lowest = mine ? comm.rank : comm.size;
    MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_INT, MPI_MIN, comm.handle);
    if (lowest == comm.size) {
        return;
    }
    static PyObject* const types[] = {PyExc_ValueError, PyExc_TypeError, PyExc_AttributeError};
    int header[2] = {0, 0};
    std::string text;
    if (comm.rank == lowest) {
        for (int t = 0; t < 3; ++t) {
            header[0] = mine->type == types[t] ? t : header[0];
        }
        text = mine->message;
        header[1] = static_cast<int>(text.size());
    }
    MPI_Bcast(header, 2, MPI_INT, lowest, comm.handle);
    text.resize(static_cast<std::size_t>(header[1]));
    MPI_Bcast(text.data(), header[1], MPI_CHAR, lowest, comm.handle);
    PyErr_SetString(types[header[0]], text.c_str());
    throw py::error_already_set();
}

/// The engine's number type of an array, if it has one (bool as uint8).
std::optional<number_type> type_of(const py::array& a)
{
    number_type t;
    if (number_type_of_dtype(a.dtype(), &t)) {
        return t;
    }
    return std::nullopt;
}

/// The least and greatest of a column of n > 0 native doubles (`stride`
/// bytes apart), in one pass, when they are what NumPy's min and max give
/// whatever way those look: numbers other than zero. False when some value
/// is NaN or an extreme is a zero (whose sign NumPy's own pass picks among
/// -0.0 and +0.0): NumPy is asked then.
bool nonzero_extremes(const double* v, std::int64_t n, std::int64_t stride, double& least, double& greatest)
{
    if (stride != static_cast<std::int64_t>(sizeof(double)) || n <= 0 ||
        reinterpret_cast<std::uintptr_t>(v) % alignof(double) != 0) {
        return false;
    }
    least = v[0];
    greatest = v[0];
    bool nan = false;
    std::int64_t i = 0;
#if defined(__SSE2__)
    __m128d lo0 = _mm_set1_pd(v[0]);
    __m128d lo1 = lo0;
    __m128d hi0 = lo0;
    __m128d hi1 = lo0;
    __m128d unordered = _mm_setzero_pd();
    for (; i + 4 <= n; i += 4) {
        const __m128d a = _mm_loadu_pd(v + i);
        const __m128d b = _mm_loadu_pd(v + i + 2);
        lo0 = _mm_min_pd(lo0, a);
        lo1 = _mm_min_pd(lo1, b);
        hi0 = _mm_max_pd(hi0, a);
        hi1 = _mm_max_pd(hi1, b);
        unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(a, b));
    }
    double lo[2];
    double hi[2];
    _mm_storeu_pd(lo, _mm_min_pd(lo0, lo1));
    _mm_storeu_pd(hi, _mm_max_pd(hi0, hi1));
    nan = _mm_movemask_pd(unordered) != 0;
    least = std::min(lo[0], lo[1]);
    greatest = std::max(hi[0], hi[1]);
#endif
    for (; i < n; ++i) {
        nan = nan || v[i] != v[i];
        least = std::min(least, v[i]);
        greatest = std::max(greatest, v[i]);
    }
    return !nan && least != 0 && greatest != 0;
}

py::object results_type(const char* name, std::vector<const char*> fields)
{
    py::list f;
    for (const char* x : fields) {
        f.append(x);
    }
    return py::module_::import("collections").attr("namedtuple")(name, py::tuple(f));
}

py::object binned_dd(const py::object& sample_in, const py::object& values_in, const py::object& statistic_in,
                     py::object bins, const py::object& range, bool expand_binnumbers,
                     const py::object& previous, const py::object& comm_in)
{
    const char* operation = "binned_statistic_dd";
    const communicator comm = communicator_of(comm_in);
    // A function's repr holds its address, which differs between processes.
    const py::object named = PyCallable_Check(statistic_in.ptr()) ? py::str("a callable") : statistic_in;
    agree_arguments(operation, comm, py::make_tuple(named, bins, range, expand_binnumbers, previous.is_none()));
    const py::module_ np = numpy();
    const py::object builtins = py::module_::import("builtins");

    // The statistic: one of the known names. A function of each bin's values
    // would need every bin's values gathered on one process.
    if (PyCallable_Check(statistic_in.ptr())) {
        throw py::type_error(std::string(operation) +
                             ": a callable statistic is not supported: the values of a bin are spread over the "
                             "ranks, and calling a Python function on them would gather every bin on one process; "
                             "use one of 'count', 'sum', 'mean', 'std', 'median', 'min', 'max'");
    }
    std::string statistic;
    if (py::isinstance<py::str>(statistic_in)) {
        statistic = statistic_in.cast<std::string>();
    }
    if (!virda::frontend::is_binned_statistic(statistic)) {
        throw py::value_error("invalid statistic " + py::repr(statistic_in).cast<std::string>());
    }
    try {
        bins = py::module_::import("operator").attr("index")(bins);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
    }
    const bool scalar_bins = py::isinstance<py::int_>(bins);

    // The sample as SciPy takes it, (N, D), held as its D columns: D
    // sequences of one dtype and length are read in place, anything else as
    // numpy.atleast_2d(sample).T.
    std::vector<py::array> coordinates;
    const auto sample_matrix = [&]() -> py::array {
        if (py::hasattr(sample_in, "shape") && py::len(sample_in.attr("shape")) == 2) {
            return np.attr("asarray")(sample_in);
        }
        return np.attr("atleast_2d")(sample_in).attr("T");
    };
    if (py::isinstance<py::list>(sample_in) || py::isinstance<py::tuple>(sample_in)) {
        for (const py::handle item : sample_in) {
            const py::array c = np.attr("asarray")(item);
            if (c.ndim() != 1 || (!coordinates.empty() && (c.shape(0) != coordinates[0].shape(0) ||
                                                           !c.dtype().is(coordinates[0].dtype())))) {
                coordinates.clear();
                break;
            }
            coordinates.push_back(c);
        }
    }
    if (coordinates.empty()) {
        const py::array sample = sample_matrix();
        if (sample.ndim() != 2) {
            throw py::value_error(std::string(operation) + ": the sample must be (N, D) or D sequences of N values");
        }
        for (py::ssize_t d = 0; d < sample.shape(1); ++d) {
            coordinates.push_back(sample[py::make_tuple(py::slice(py::none(), py::none(), py::none()), d)]);
        }
    }
    const auto points = static_cast<std::int64_t>(coordinates[0].shape(0));
    const auto dims = coordinates.size();
    const py::dtype sample_dtype = coordinates[0].dtype();
    std::optional<number_type> sample_type = type_of(coordinates[0]);
    if (!sample_type && sample_dtype.kind() == 'b') {
        for (py::array& c : coordinates) {
            c = c.attr("astype")(np.attr("uint8"));
        }
        sample_type = number_type::uint8;
    }
    std::optional<local_error> problem;
    bool finite = true;
    // This rank's least and greatest coordinates, for a range found over
    // the ranks: when both are finite so is every coordinate, and no other
    // pass over them is needed.
    // (Only integer bins refuse non-finite coordinates.)
    std::vector<double> least(dims), greatest(dims);
    const bool own_range = sample_type && range.is_none() && previous.is_none() && points > 0;
    bool ends_finite = true;
    if (own_range) {
        for (std::size_t d = 0; d < dims; ++d) {
            const py::array& column = coordinates[d];
            if (*sample_type != number_type::float64 ||
                !nonzero_extremes(static_cast<const double*>(column.data()), points,
                                  static_cast<std::int64_t>(column.strides(0)), least[d], greatest[d])) {
                least[d] = column.attr("min")().cast<double>();
                greatest[d] = column.attr("max")().cast<double>();
            }
            ends_finite = ends_finite && std::isfinite(least[d]) && std::isfinite(greatest[d]);
        }
    }
    if (sample_type && scalar_bins && (!own_range || !ends_finite)) {
        for (const py::array& c : coordinates) {
            finite = finite && np.attr("isfinite")(c).attr("all")().cast<bool>();
        }
    }
    if (!sample_type) {
        problem = local_error{PyExc_TypeError, std::string(operation) + ": cannot bin a sample of dtype " +
                                                   py::str(py::object(sample_dtype)).cast<std::string>()};
    } else if (!finite) {
        problem = local_error{PyExc_ValueError,
                              py::repr(sample_matrix()).cast<std::string>() + " contains non-finite values."};
    }

    // The values as (V, N).
    py::array values = np.attr("asarray")(values_in);
    py::list input_shape = py::list(values.attr("shape"));
    values = np.attr("atleast_2d")(values);
    if (values.ndim() != 2) {
        values = values.attr("reshape")(py::make_tuple(-1, values.shape(values.ndim() - 1)));
    }
    const auto value_columns = static_cast<std::int64_t>(values.shape(0));
    const bool counting = statistic == "count";
    std::optional<number_type> value_type = type_of(values);
    if (!counting && !problem) {
        if (!value_type && values.dtype().kind() == 'b') {
            values = values.attr("astype")(np.attr("uint8"));
            value_type = number_type::uint8;
        }
        if (static_cast<std::int64_t>(values.shape(1)) != points) {
            problem = local_error{PyExc_AttributeError, "The number of `values` elements must match the length of "
                                                        "each `sample` dimension."};
        } else if (!value_type) {
            problem = local_error{PyExc_TypeError, std::string(operation) + ": cannot take statistics of values of "
                                                                            "dtype " +
                                                       py::str(values.dtype()).cast<std::string>() +
                                                       " (complex and object values are not supported)"};
        }
    }

    // Bins per dimension: a sequence of one per dimension, or one for all.
    py::list per_dim;
    bool sized = true;
    py::ssize_t given = 0;
    try {
        given = static_cast<py::ssize_t>(py::len(bins));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
        sized = false;
    }
    if (sized && given != static_cast<py::ssize_t>(dims)) {
        PyErr_SetString(PyExc_AttributeError, "The dimension of bins must be equal to the dimension of the sample x.");
        throw py::error_already_set();
    }
    for (std::size_t d = 0; d < dims; ++d) {
        per_dim.append(sized ? py::object(bins[py::int_(d)]) : bins);
    }

    py::list edges;
    py::array binnumbers;
    std::vector<std::int64_t> nbin(dims);
    if (!previous.is_none()) {
        edges = py::list(previous.attr("bin_edges"));
        for (std::size_t d = 0; d < dims; ++d) {
            nbin[d] = static_cast<std::int64_t>(py::len(edges[d])) + 1;
        }
        binnumbers = np.attr("asarray")(previous.attr("binnumber"), "int64");
        if (!problem && (binnumbers.ndim() != 1 || static_cast<std::int64_t>(binnumbers.shape(0)) != points)) {
            problem = local_error{PyExc_ValueError, std::string(operation) + ": the bin numbers of the result "
                                                                             "given do not match this rank's points"};
        }
        raise_agreed(comm, problem);
    } else {
        raise_agreed(comm, problem);
        // The range: given, or the least and greatest coordinates of every
        // rank (as doubles; NaN where some rank has one).
        std::vector<double> smin(dims), smax(dims);
        if (range.is_none()) {
            std::vector<double> ends(3 * dims, std::numeric_limits<double>::infinity());
            for (std::size_t d = 0; d < dims; ++d) {
                ends[2 * dims + d] = 0;
            }
            if (points > 0) {
                for (std::size_t d = 0; d < dims; ++d) {
                    const double a = least[d];
                    const double b = greatest[d];
                    if (a != a || b != b) {
                        ends[2 * dims + d] = -1; // MPI_MIN: some rank has NaN
                    } else {
                        ends[d] = a;
                        ends[dims + d] = -b;
                    }
                }
            }
            MPI_Allreduce(MPI_IN_PLACE, ends.data(), static_cast<int>(ends.size()), MPI_DOUBLE, MPI_MIN, comm.handle);
            for (std::size_t d = 0; d < dims; ++d) {
                if (ends[2 * dims + d] == 0 && ends[d] == std::numeric_limits<double>::infinity()) {
                    throw py::value_error("zero-size array to reduction operation minimum which has no identity");
                }
                const bool nan = ends[2 * dims + d] < 0;
                smin[d] = nan ? std::nan("") : ends[d];
                smax[d] = nan ? std::nan("") : -ends[dims + d];
            }
        } else {
            if (py::len(range) != dims) {
                throw py::value_error("range given for " + std::to_string(py::len(range)) + " dimensions; " +
                                      std::to_string(dims) + " required");
            }
            for (std::size_t d = 0; d < dims; ++d) {
                const py::object r = range[py::int_(d)];
                if (r[py::int_(1)] < r[py::int_(0)]) {
                    throw py::value_error(dims > 1 ? "In dimension " + std::to_string(d + 1) +
                                                         " of range, start must be <= stop"
                                                   : std::string("In range, start must be <= stop"));
                }
                smin[d] = r[py::int_(0)].cast<double>();
                smax[d] = r[py::int_(1)].cast<double>();
            }
        }
        const py::object edges_dtype =
            sample_dtype.kind() == 'f' ? py::object(sample_dtype) : py::object(np.attr("float64"));
        std::vector<bool> spaced(dims, false);
        for (std::size_t d = 0; d < dims; ++d) {
            if (smin[d] == smax[d]) {
                smin[d] -= 0.5;
                smax[d] += 0.5;
            }
            const py::object b = per_dim[d];
            if (np.attr("isscalar")(b).cast<bool>()) {
                nbin[d] = b.cast<std::int64_t>() + 2;
                spaced[d] = sample_dtype.kind() != 'f' || sample_dtype.itemsize() == 8;
                edges.append(np.attr("linspace")(smin[d], smax[d], nbin[d] - 1, "dtype"_a = edges_dtype));
            } else {
                const py::array e = np.attr("asarray")(b, edges_dtype);
                edges.append(e);
                nbin[d] = static_cast<std::int64_t>(py::len(e)) + 1;
            }
        }
        // Each point's bin, with an outlier bin on each side of every dimension.
        std::vector<bin_axis> axes;
        for (std::size_t d = 0; d < dims; ++d) {
            const py::array e = edges[d];
            const py::array dedges = np.attr("diff")(e);
            if (py::len(dedges) == 0) {
                throw py::value_error(std::string(operation) + ": dimension " + std::to_string(d + 1) +
                                      " needs at least two edges");
            }
            const py::object smallest = dedges.attr("min")();
            if (smallest.cast<double>() == 0) {
                throw py::value_error("The smallest edge difference is numerically 0.");
            }
            const py::array as_doubles = np.attr("asarray")(e, "float64");
            const auto* p = static_cast<const double*>(as_doubles.data());
            std::vector<double> v(p, p + as_doubles.size());
            bin_axis axis = engine_call(operation, [&] { return bin_axis::with_edges(v); });
            // Edges of a number of bins: equal widths, located by an estimate
            // of the bin instead of a search, when the engine's equal-width
            // edges are these very edges (the same bins either way).
            if (spaced[d] && std::isfinite(smin[d]) && std::isfinite(smax[d]) && smin[d] < smax[d]) {
                bin_axis equal = engine_call(operation, [&] {
                    return bin_axis::equal_width(smin[d], smax[d], static_cast<std::int64_t>(v.size()) - 1);
                });
                if (std::equal(v.begin(), v.end(), equal.edges().begin(), equal.edges().end(),
                               [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; })) {
                    axis = std::move(equal);
                }
            }
            // NumPy's decimals, from the width in the edges' own precision;
            // an infinite width (an infinite edge) keeps the engine's.
            const double digits = -np.attr("log10")(smallest).cast<double>();
            if (std::isfinite(digits)) {
                axis.set_last_edge_decimals(static_cast<int>(digits) + 6);
            }
            axes.push_back(std::move(axis));
        }
        py::array_t<std::int64_t> numbers(static_cast<py::ssize_t>(points));
        if (points > 0) {
            std::vector<values_view> columns;
            for (std::size_t d = 0; d < dims; ++d) {
                const py::array& c = coordinates[d];
                columns.push_back(values_view{c.data(), *sample_type, points, static_cast<std::int64_t>(c.strides(0))});
            }
            engine_call(operation, [&] {
                locate_bins(axes, columns, bin_numbering::with_outliers, numbers.mutable_data());
            });
        }
        binnumbers = numbers;
    }

    // The statistics of every rank's points.
    std::int64_t total_bins = 1;
    for (const std::int64_t n : nbin) {
        total_bins *= n;
    }
    const binned_statistics_wanted wanted = virda::frontend::wanted_for(statistic);
    const std::int64_t columns = counting ? 0 : value_columns;
    binned_statistics_result r = engine_call(operation, [&] {
        binned_statistics s(total_bins, columns);
        const values_view at{binnumbers.data(), number_type::int64, points,
                             static_cast<std::int64_t>(binnumbers.ndim() == 1 ? binnumbers.strides(0) : 8)};
        if (counting) {
            s.add(at);
        } else {
            s.add(at, table_view{values.data(), *value_type, points, columns,
                                 static_cast<std::int64_t>(values.strides(1)),
                                 static_cast<std::int64_t>(values.strides(0))});
        }
        return s.finish(comm.handle, wanted);
    });

    py::array_t<double> result({static_cast<py::ssize_t>(value_columns), static_cast<py::ssize_t>(total_bins)});
    double* out = result.mutable_data();
    const auto nb = static_cast<std::size_t>(total_bins);
    const std::vector<double>* asked = counting || wanted.max ? nullptr : &virda::frontend::values_named(r, statistic);
    for (std::size_t c = 0; c < static_cast<std::size_t>(value_columns); ++c) {
        for (std::size_t b = 0; b < nb; ++b) {
            const std::size_t at = c * nb + b;
            if (counting) {
                out[at] = static_cast<double>(r.counts[b]);
            } else if (wanted.max) {
                // As SciPy finds it: the last of the values sorted with NaN last.
                out[at] = r.nan_counts[at] > 0 ? std::nan("") : r.max[at];
            } else {
                out[at] = (*asked)[at];
            }
        }
    }
    py::list shape;
    shape.append(value_columns);
    py::list core;
    core.append(py::slice(py::none(), py::none(), py::none()));
    for (std::size_t d = 0; d < dims; ++d) {
        shape.append(nbin[d]);
        core.append(py::slice(1, -1, 1));
    }
    py::object statistic_out = result.attr("reshape")(py::tuple(shape))[py::tuple(core)];
    py::list final_shape;
    for (py::ssize_t i = 0; i + 1 < static_cast<py::ssize_t>(py::len(input_shape)); ++i) {
        final_shape.append(input_shape[i]);
    }
    for (std::size_t d = 0; d < dims; ++d) {
        final_shape.append(nbin[d] - 2);
    }
    statistic_out = statistic_out.attr("reshape")(py::tuple(final_shape));
    py::object numbers_out = binnumbers;
    if (expand_binnumbers && dims > 1) {
        numbers_out = np.attr("asarray")(np.attr("unravel_index")(binnumbers, py::cast(nbin)));
    }
    return py::module_::import("virdastatistics").attr("BinnedStatisticddResult")(statistic_out, edges, numbers_out);
}

/// len(bins), or 1 for a scalar.
py::ssize_t length_of(const py::object& bins)
{
    try {
        return static_cast<py::ssize_t>(py::len(bins));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) {
            throw;
        }
        return 1;
    }
}

} // namespace

void bind_binned_statistics(py::module_& m)
{
    static const py::object one_result = results_type("BinnedStatisticResult", {"statistic", "bin_edges", "binnumber"});
    static const py::object two_result =
        results_type("BinnedStatistic2dResult", {"statistic", "x_edge", "y_edge", "binnumber"});
    static const py::object dd_result =
        results_type("BinnedStatisticddResult", {"statistic", "bin_edges", "binnumber"});
    m.attr("BinnedStatisticResult") = one_result;
    m.attr("BinnedStatistic2dResult") = two_result;
    m.attr("BinnedStatisticddResult") = dd_result;

    m.def("binned_statistic_dd", &binned_dd, "sample"_a, "values"_a, "statistic"_a = "mean", "bins"_a = 10,
          "range"_a = py::none(), "expand_binnumbers"_a = false, "binned_statistic_result"_a = py::none(),
          py::kw_only(), "comm"_a = py::none(), R"doc(
scipy.stats.binned_statistic_dd of every rank's points: this rank's sample
(N, D) and values (N,) or (V, N); statistic one of 'count', 'sum', 'mean',
'std', 'median', 'min', 'max' (a callable raises TypeError: each bin's
values are spread over the ranks). range=None takes the least and greatest
coordinates over every rank. Returns BinnedStatisticddResult(statistic,
bin_edges, binnumber): the statistic and edges the same on every rank,
binnumber for this rank's points. Sums are exact per bin, medians exact
order statistics: the same bits at any number of ranks. Collective over comm
(None: COMM_WORLD).
)doc");

    m.def(
        "binned_statistic",
        [](const py::object& x, const py::object& values, const py::object& statistic, py::object bins,
           py::object range, const py::object& comm) {
            const py::module_ np = numpy();
            if (length_of(bins) != 1) {
                py::list one;
                one.append(np.attr("asarray")(bins, "float64"));
                bins = one;
            }
            if (!range.is_none() && py::len(range) == 2) {
                py::list one;
                one.append(range);
                range = one;
            }
            py::list sample;
            sample.append(x);
            const py::tuple r = binned_dd(sample, values, statistic, bins, range, false, py::none(), comm);
            return one_result(r[0], py::list(r[1])[0], r[2]);
        },
        "x"_a, "values"_a, "statistic"_a = "mean", "bins"_a = 10, "range"_a = py::none(), py::kw_only(),
        "comm"_a = py::none(), R"doc(
scipy.stats.binned_statistic of every rank's points (see binned_statistic_dd).
Returns BinnedStatisticResult(statistic, bin_edges, binnumber). Collective.
)doc");

    m.def(
        "binned_statistic_2d",
        [](const py::object& x, const py::object& y, const py::object& values, const py::object& statistic,
           py::object bins, const py::object& range, bool expand_binnumbers, const py::object& comm) {
            const py::module_ np = numpy();
            const py::ssize_t n = length_of(bins);
            if (n != 1 && n != 2) {
                const py::object e = np.attr("asarray")(bins, "float64");
                py::list both;
                both.append(e);
                both.append(e);
                bins = both;
            }
            py::list sample;
            sample.append(x);
            sample.append(y);
            const py::tuple r = binned_dd(sample, values, statistic, bins, range, expand_binnumbers, py::none(), comm);
            const py::list edges(r[1]);
            return two_result(r[0], edges[0], edges[1], r[2]);
        },
        "x"_a, "y"_a, "values"_a, "statistic"_a = "mean", "bins"_a = 10, "range"_a = py::none(),
        "expand_binnumbers"_a = false, py::kw_only(), "comm"_a = py::none(), R"doc(
scipy.stats.binned_statistic_2d of every rank's points (see
binned_statistic_dd). Returns BinnedStatistic2dResult(statistic, x_edge,
y_edge, binnumber). Collective.
)doc");
}

} // namespace virda_python
