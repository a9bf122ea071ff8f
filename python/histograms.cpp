#include "histograms.h"

#include "call_communicator.h"
#include "communicator.h"
#include "dist_array.h"
#include "local_values.h"
#include "mpi_environment.h"

#include "engine/bin_location.h"
#include "engine/extremes.h"
#include "engine/histogram_dd.h"
#include "engine/moments.h"
#include "engine/order_statistics.h"
#include "engine/power_sums.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace virda_python {

namespace {

py::module_ numpy() { return py::module_::import("numpy"); }

/// This rank's points: one 1-D NumPy array per dimension (views where the
/// layout allows), the weights (None or 1-D), and the communicator.
struct local_points {
    std::vector<py::array> columns;
    py::object weights = py::none();
    communicator comm;
    py::dtype dtype; // the sample's dtype as NumPy would make it
};

/// This rank's own array of a: a NumPy array of its values, or an Array's
/// block (comm must then be None).
py::object own_values(const char* operation, py::handle a, py::handle comm, communicator* out)
{
    if (py::isinstance<dist_array>(a)) {
        check_array_call(operation, comm);
        const dist_array& d = a.cast<const dist_array&>();
        *out = d.comm();
        return d.block(operation);
    }
    *out = communicator_of(comm);
    return py::reinterpret_borrow<py::object>(a);
}

/// A 1-D array the engine reads in place: bool becomes uint8 (a copy);
/// TypeError for a dtype the engine has no number type for.
py::array engine_column(const char* operation, const char* name, py::object column)
{
    py::array c = numpy().attr("asarray")(column);
    if (c.dtype().kind() == 'b') {
        c = c.attr("astype")(numpy().attr("uint8"));
    }
    virda::engine::number_type t;
    if (!number_type_of_dtype(c.dtype(), &t)) {
        throw py::type_error(std::string(operation) + ": " + name + " of dtype " +
                             py::str(c.dtype()).cast<std::string>() + " cannot be binned");
    }
    return c;
}

virda::engine::values_view view_of(const py::array& c)
{
    virda::engine::number_type t = virda::engine::number_type::float64;
    number_type_of_dtype(c.dtype(), &t);
    return {c.data(), t, static_cast<std::int64_t>(c.size()), c.ndim() == 0 ? 0 : static_cast<std::int64_t>(c.strides(0))};
}

/// The global least and greatest value of each column, as a (2, D) NumPy
/// array of the sample's dtype for NumPy's own edge rules to read (NaN where
/// a column has one), or (0, D) when there are no points. One reduction per
/// column (collective).
py::object stand_in(const char* operation, const local_points& p)
{
    auto np = numpy();
    const auto d = static_cast<py::ssize_t>(p.columns.size());
    std::vector<py::object> least;
    std::vector<py::object> greatest;
    bool empty = false;
    for (const py::array& c : p.columns) {
        const virda::engine::values_view v = view_of(c);
        const auto s = engine_call(operation, [&] {
            virda::engine::extremes e(v.type);
            e.add(v);
            return e.finish(p.comm.handle);
        });
        empty = s.rows() == 0;
        const auto scalar = [&](const virda::engine::number& x) -> py::object {
            const auto& f = virda::engine::facts_of(x.type);
            if (s.is_nan()) {
                return py::float_(std::numeric_limits<double>::quiet_NaN());
            }
            if (f.floating) {
                return py::float_(x.floating);
            }
            return f.is_signed ? py::object(py::int_(x.signed_)) : py::object(py::int_(x.unsigned_));
        };
        least.push_back(scalar(s.min()));
        greatest.push_back(scalar(s.max()));
    }
    if (empty) {
        return np.attr("empty")(py::make_tuple(0, d), p.dtype);
    }
    py::list rows;
    rows.append(py::cast(least));
    rows.append(py::cast(greatest));
    return np.attr("array")(rows, p.dtype);
}

/// The engine's axis for NumPy's edges of one dimension: equal widths where
/// NumPy made them so (`equal`) and they are the engine's equal-width edges
/// bit for bit, else the edges themselves.
virda::engine::bin_axis axis_of(const py::object& edges, bool equal)
{
    const std::vector<double> e =
        numpy().attr("asarray")(edges, numpy().attr("float64")).attr("tolist")().cast<std::vector<double>>();
    if (equal && e.size() >= 2 && std::isfinite(e.front()) && std::isfinite(e.back()) && e.front() < e.back()) {
        virda::engine::bin_axis a =
            virda::engine::bin_axis::equal_width(e.front(), e.back(), static_cast<std::int64_t>(e.size()) - 1);
        if (a.edges() == e) {
            return a;
        }
    }
    return virda::engine::bin_axis::with_edges(e);
}

/// Counts (int64, or float64 with `as_double`) or weight totals (float64) of
/// the points per bin, shaped by the axes, on every rank. The array holds
/// the engine's own buffer (no copy): float64 counts are counted as doubles
/// in zeroed pages, and weighted calls count nothing else, so a call over
/// many bins touches them in its counting and its reduction only.
py::array bin_points(const char* operation, const local_points& p, const std::vector<virda::engine::bin_axis>& axes,
                     bool as_double = false)
{
    std::vector<virda::engine::values_view> views;
    for (const py::array& c : p.columns) {
        views.push_back(view_of(c));
    }
    virda::engine::values_view w;
    const bool weighted = !p.weights.is_none();
    if (weighted) {
        w = view_of(p.weights.cast<py::array>());
    }
    using virda::engine::bin_count_form;
    const bin_count_form form = weighted ? bin_count_form::none
                                         : (as_double ? bin_count_form::float64 : bin_count_form::int64);
    using result = virda::engine::histogram_dd_result;
    auto r = std::make_unique<result>(engine_call(operation, [&] {
        return virda::engine::histogram_dd(axes, views, weighted ? &w : nullptr, p.comm.handle, form);
    }));
    std::vector<py::ssize_t> shape;
    for (const auto& a : axes) {
        shape.push_back(static_cast<py::ssize_t>(a.bins()));
    }
    result* held = r.get();
    py::capsule owner(held, [](void* v) { delete static_cast<result*>(v); });
    r.release();
    if (weighted) {
        return py::array_t<double>(shape, held->weight_totals.data(), owner);
    }
    if (as_double) {
        return py::array_t<double>(shape, held->double_counts.get(), owner);
    }
    return py::array_t<std::int64_t>(shape, held->counts.data(), owner);
}

/// histogram's points: a raveled, its weights checked and raveled (NumPy's
/// messages), agreed over the ranks before any collective.
local_points points_1d(const char* operation, py::handle a, py::handle weights, py::handle comm)
{
    local_points p;
    py::object mine = own_values(operation, a, comm, &p.comm);
    py::object w = py::none();
    if (!weights.is_none()) {
        communicator wc;
        w = py::isinstance<dist_array>(weights) ? own_values(operation, weights, py::none(), &wc)
                                                 : py::reinterpret_borrow<py::object>(weights);
    }
    read_together(operation, "a", p.comm, [&] {
        py::array arr = numpy().attr("asarray")(mine);
        if (arr.dtype().kind() == 'b') {
            warn(PyExc_RuntimeWarning, "Converting input from bool to <class 'numpy.uint8'> for compatibility.");
            arr = arr.attr("astype")(numpy().attr("uint8"));
        }
        if (!w.is_none()) {
            py::array wa = numpy().attr("asarray")(w);
            if (!wa.attr("shape").equal(arr.attr("shape"))) {
                throw py::value_error("weights should have the same shape as a.");
            }
            p.weights = engine_column(operation, "weights", wa.attr("ravel")());
        }
        p.columns.push_back(engine_column(operation, "a", arr.attr("ravel")()));
        p.dtype = p.columns[0].dtype();
    });
    return p;
}

/// histogramdd's points: an (N, D) array's columns, or the rows of
/// numpy.atleast_2d(sample) (a sequence of D coordinate arrays), each read
/// in place where it can be.
local_points points_dd(const char* operation, py::handle sample, py::handle weights, py::handle comm)
{
    local_points p;
    std::vector<py::object> items;
    bool sequence = false;
    if (py::isinstance<py::list>(sample) || py::isinstance<py::tuple>(sample)) {
        for (py::handle item : sample) {
            communicator c;
            items.push_back(own_values(operation, item, comm, &c));
            p.comm = c;
        }
        sequence = true;
        if (items.empty()) {
            p.comm = communicator_of(comm);
        }
    } else {
        items.push_back(own_values(operation, sample, comm, &p.comm));
    }
    read_together(operation, "sample", p.comm, [&] {
        auto np = numpy();
        py::object s = sequence ? py::object(py::cast(items)) : items[0];
        py::array arr;
        bool by_rows = true;
        if (!sequence) {
            arr = np.attr("asarray")(s);
            if (arr.ndim() == 2) {
                for (py::ssize_t j = 0; j < arr.shape(1); ++j) {
                    p.columns.push_back(engine_column(operation, "sample",
                                                      arr[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)]));
                }
                by_rows = false;
            }
        }
        if (by_rows) {
            bool separate = sequence;
            for (const py::object& item : items) {
                separate = separate && np.attr("ndim")(item).cast<int>() == 1 &&
                           py::len(item) == py::len(items[0]);
            }
            if (separate) {
                for (const py::object& item : items) {
                    p.columns.push_back(engine_column(operation, "sample", item));
                }
            } else {
                arr = np.attr("atleast_2d")(s);
                for (py::ssize_t i = 0; i < arr.shape(0); ++i) {
                    p.columns.push_back(engine_column(operation, "sample", arr[py::int_(i)]));
                }
            }
        }
        for (const py::array& c : p.columns) {
            if (c.ndim() != 1) {
                throw py::value_error(std::string(operation) + ": the sample must be (N, D) points or D coordinate "
                                      "arrays of one length");
            }
        }
        py::list dtypes;
        for (const py::array& c : p.columns) {
            dtypes.append(c.dtype());
        }
        p.dtype = p.columns.empty() ? py::dtype("float64") : py::dtype(np.attr("result_type")(*dtypes));
        if (!weights.is_none()) {
            communicator wc;
            py::object w = py::isinstance<dist_array>(weights) ? own_values(operation, weights, py::none(), &wc)
                                                                : py::reinterpret_borrow<py::object>(weights);
            py::array wa = np.attr("asarray")(w);
            const py::ssize_t n = p.columns.empty() ? 0 : p.columns[0].size();
            if (wa.ndim() != 1 || wa.size() != n) {
                throw py::value_error("The weights and list don't have the same length.");
            }
            p.weights = engine_column(operation, "weights", wa);
        }
    });
    // The same number of dimensions everywhere, before the collectives that
    // go through them one by one.
    if (p.comm.size > 1) {
        const int d = static_cast<int>(p.columns.size());
        int bounds[2] = {-d, d};
        MPI_Allreduce(MPI_IN_PLACE, bounds, 2, MPI_INT, MPI_MAX, p.comm.handle);
        if (-bounds[0] != bounds[1]) {
            throw py::value_error(std::string(operation) + ": the ranks' samples have different numbers of "
                                  "dimensions (" + std::to_string(-bounds[0]) + " to " + std::to_string(bounds[1]) +
                                  ")");
        }
    }
    return p;
}

/// Whether NumPy makes equal-width edges of a histogram's bins argument (a
/// count or an estimator's name).
bool is_count(py::handle bins) { return numpy().attr("ndim")(bins).cast<int>() == 0; }

/// Python's operator module, for NumPy's scalar arithmetic.
py::module_ op() { return py::module_::import("operator"); }

/// The global number of values of one column (collective).
std::int64_t global_size(const local_points& p)
{
    std::int64_t n = p.columns[0].size();
    if (p.comm.size > 1) {
        MPI_Allreduce(MPI_IN_PLACE, &n, 1, MPI_INT64_T, MPI_SUM, p.comm.handle);
    }
    return n;
}

/// A double as the scalar NumPy's reductions give for the column's dtype:
/// its own floating type, float64 for integers.
py::object result_scalar(const local_points& p, double v)
{
    const py::dtype t = p.dtype.kind() == 'f' ? p.dtype : py::dtype("float64");
    return t.attr("type")(v);
}

/// The values' standard deviation (ddof 0), from exact totals (collective).
py::object global_std(const char* operation, const local_points& p, double* mean)
{
    const virda::engine::values_view v = view_of(p.columns[0]);
    const virda::engine::moment_summary s = engine_call(operation, [&] {
        virda::engine::moments m(v.type);
        m.add(v);
        return m.finish(p.comm.handle);
    });
    *mean = s.mean();
    return result_scalar(p, s.stdev(0));
}

/// mean(((x - mean) / sigma)^3), each term formed in double and their total
/// exact (collective).
double global_skewness(const char* operation, const local_points& p, std::int64_t n, double mean, double sigma)
{
    const virda::engine::values_view v = view_of(p.columns[0]);
    const virda::engine::power_totals t = engine_call(operation, [&] {
        virda::engine::power_sums s(2, mean, sigma);
        s.add(v, v);
        return s.finish(p.comm.handle);
    });
    return t.powers.at(3) / static_cast<double>(n);
}

/// numpy.subtract(*numpy.percentile(x, [75, 25])), the order statistics
/// exact (collective).
py::object global_iqr(const char* operation, const local_points& p)
{
    const virda::engine::values_view v = view_of(p.columns[0]);
    const std::vector<std::vector<double>> q = engine_call(operation, [&] {
        virda::engine::order_statistics s(v.type);
        s.add(v);
        return s.quantiles({0.75, 0.25}, p.comm.handle);
    });
    return op().attr("sub")(result_scalar(p, q[0][0]), result_scalar(p, q[0][1]));
}

/// Counts of the values in `bins` equal bins over `range` (collective).
py::object counts_in_range(const char* operation, const local_points& p, std::int64_t bins, const py::tuple& range)
{
    const py::object edges = numpy().attr("histogram_bin_edges")(numpy().attr("empty")(0, p.dtype), bins, range);
    return bin_points(operation, p, {engine_call(operation, [&] { return axis_of(edges, true); })});
}

/// Values beyond which bins='stone' is refused: it bins the values once for
/// every bin count up to sqrt(n).
constexpr std::int64_t stone_limit = std::int64_t{1} << 24;

/// NumPy's width of the bins by estimator `name` for the values of p (all
/// finite, n > 0 of them over the ranks, least and greatest in `extremes`,
/// a 2-value array of their dtype), over `range` (the outer edges). NumPy's
/// formulas and scalar arithmetic; the size, extremes, deviation, skewness
/// and quartiles global. Collective; every rank takes the same branches.
py::object bin_width(const char* operation, const std::string& name, const local_points& p, std::int64_t n,
                     const py::object& extremes, const py::tuple& range)
{
    auto np = numpy();
    const py::object hist = py::module_::import("numpy.lib.histograms");
    const py::object ptp = hist.attr("_ptp")(extremes);
    const py::object size = py::int_(n);
    const auto div = [](const py::object& a, const py::object& b) { return op().attr("truediv")(a, b); };
    const auto mul = [](const py::object& a, const py::object& b) { return op().attr("mul")(a, b); };
    const auto sturges = [&] { return div(ptp, op().attr("add")(np.attr("log2")(size), py::float_(1.0))); };
    const auto fd = [&] {
        return mul(mul(py::float_(2.0), global_iqr(operation, p)), op().attr("pow")(size, -1.0 / 3.0));
    };
    if (name == "sqrt") {
        return div(ptp, np.attr("sqrt")(size));
    }
    if (name == "sturges") {
        return sturges();
    }
    if (name == "rice") {
        return div(ptp, py::float_(2.0 * op().attr("pow")(size, 1.0 / 3).cast<double>()));
    }
    if (name == "scott") {
        double mean = 0;
        const double pi = 3.141592653589793;
        const double factor = std::pow(24.0 * std::pow(pi, 0.5) / static_cast<double>(n), 1.0 / 3.0);
        return mul(py::float_(factor), global_std(operation, p, &mean));
    }
    if (name == "fd") {
        return fd();
    }
    if (name == "auto") {
        const py::object fd_bw = fd();
        const py::object sturges_bw = sturges();
        return fd_bw.cast<bool>() ? py::module_::import("builtins").attr("min")(fd_bw, sturges_bw) : sturges_bw;
    }
    if (name == "doane") {
        if (n > 2) {
            const double x = static_cast<double>(n);
            const double sg1 = std::sqrt(6.0 * (x - 2) / ((x + 1.0) * (x + 3)));
            double mean = 0;
            const py::object sigma = global_std(operation, p, &mean);
            if (sigma.cast<double>() > 0.0) {
                const double g1 = global_skewness(operation, p, n, mean, sigma.cast<double>());
                const double d = 1.0 + np.attr("log2")(size).cast<double>() +
                                 np.attr("log2")(1.0 + std::fabs(g1) / sg1).cast<double>();
                return div(ptp, np.attr("float64")(d));
            }
        }
        return py::float_(0.0);
    }
    // stone: the bin count that minimises the cross-validated integrated
    // squared error, trying every count up to max(100, sqrt(n)).
    if (n <= 1 || !ptp.cast<bool>()) {
        return py::int_(0);
    }
    if (n > stone_limit) {
        throw py::value_error(std::string(operation) + ": bins='stone' bins the values once per candidate bin "
                              "count (up to sqrt(n) of them); refused beyond " + std::to_string(stone_limit) +
                              " values (here " + std::to_string(n) + "): give the number of bins or another "
                              "estimator");
    }
    const std::int64_t upper = std::max<std::int64_t>(100, static_cast<std::int64_t>(std::sqrt(static_cast<double>(n))));
    std::int64_t best = 1;
    py::object best_j;
    for (std::int64_t k = 1; k <= upper; ++k) {
        const py::object hh = div(ptp, py::int_(k));
        const py::object pk = div(counts_in_range(operation, p, k, range), size);
        const py::object j = div(op().attr("sub")(py::int_(2), mul(py::int_(n + 1), pk.attr("dot")(pk))), hh);
        if (k == 1 || op().attr("lt")(j, best_j).cast<bool>()) {
            best = k;
            best_j = j;
        }
    }
    if (best == upper) {
        warn(PyExc_RuntimeWarning, "The number of bins estimated may be suboptimal.");
    }
    return div(ptp, py::int_(best));
}

/// The edges NumPy's estimator `name` gives the values of p over `range`
/// (None: their extremes). As NumPy, with a range only the values inside
/// it are looked at. Collective.
py::object estimated_edges(const char* operation, const local_points& p, const std::string& name, py::handle range)
{
    auto np = numpy();
    const py::object hist = py::module_::import("numpy.lib.histograms");
    const py::object all = stand_in(operation, p).attr("ravel")();
    const py::tuple outer = hist.attr("_get_outer_edges")(all, range);
    local_points kept = p;
    if (!range.is_none()) {
        const py::object a = p.columns[0];
        const py::object keep = op().attr("and_")(op().attr("ge")(a, outer[0]), op().attr("le")(a, outer[1]));
        const py::object inside = a[keep];
        kept.columns[0] = inside.cast<py::array>();
    }
    const std::int64_t n = global_size(kept);
    std::int64_t bins = 1;
    if (n > 0) {
        const py::object extremes = range.is_none() ? all : stand_in(operation, kept).attr("ravel")();
        const py::object width = bin_width(operation, name, kept, n, extremes, outer);
        if (width.cast<bool>()) {
            const py::object span = hist.attr("_unsigned_subtract")(outer[1], outer[0]);
            bins = py::int_(np.attr("ceil")(op().attr("truediv")(span, width))).cast<std::int64_t>();
        }
    }
    return np.attr("histogram_bin_edges")(range.is_none() ? all : np.attr("empty")(0, p.dtype), bins, range);
}

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
