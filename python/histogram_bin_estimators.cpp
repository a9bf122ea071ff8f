#include "histogram_bin_estimators.h"

#include "local_values.h"
#include "mpi_environment.h"

#include "engine/moments.h"
#include "engine/order_statistics.h"
#include "engine/power_sums.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace virda_python::histogram_detail {

namespace {

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

} // namespace

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

} // namespace virda_python::histogram_detail
