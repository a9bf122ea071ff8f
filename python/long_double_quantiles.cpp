#include "long_double_quantiles.h"

#include "axes.h"
#include "call_communicator.h"
#include "local_values.h"
#include "long_double_reductions.h"
#include "mpi_environment.h"
#include "numpy_module.h"
#include "quantile_arguments.h"
#include "quantile_result_types.h"
#include "quantile_selection.h"
#include "quantile_slices.h"
#include "quantile_tables.h"

#include "engine/order_statistics.h"
#include "engine/quantile_method.h"
#include "engine/views.h"

#include <pybind11/numpy.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace virda::engine;

namespace virda_python {

namespace {

constexpr long double nan_value = std::numeric_limits<long double>::quiet_NaN();
constexpr double nan_double = std::numeric_limits<double>::quiet_NaN();

/// Raised while reading a value outside float64's range (alike on every rank).
struct outside_range {};

/// This rank's values as a (reduced x kept) table of the double pairs hi,
/// lo with hi + lo == x exactly (row-major).
struct split_table {
    std::vector<py::ssize_t> shape;
    axis_split split;
    std::int64_t rows = 0;
    std::int64_t columns = 0;
    std::vector<double> hi;
    std::vector<double> lo;
    bool any_lo = false; ///< some value needs its lo part
};

/// Splits x into hi + lo; false when x lies outside float64's range (beyond
/// DBL_MAX, or with bits below 2^-1074). NaN and infinities as hi, lo 0.
bool split_value(long double x, double* hi, double* lo)
{
    if (!std::isfinite(x)) {
        *hi = static_cast<double>(x);
        *lo = 0;
        return true;
    }
    if (std::fabs(x) > static_cast<long double>(DBL_MAX)) {
        return false;
    }
    *hi = static_cast<double>(x);
    // x - hi is exact in long double (the bits rounding dropped).
    const long double rest = x - static_cast<long double>(*hi);
    *lo = static_cast<double>(rest);
    return static_cast<long double>(*lo) == rest;
}

void read_split(split_table& t, const py::object& a, const py::object& axis)
{
    const py::array block = numpy().attr("asarray")(a);
    t.shape = block_shape(block);
    t.split = split_axes(axis, static_cast<int>(t.shape.size()));
    const py::array shaped = block.ndim() == 0 ? block.attr("reshape")(1).cast<py::array>() : block;
    const py::array table =
        numpy().attr("ascontiguousarray")(split_of(shaped, t.split.reduced, t.split.kept)).cast<py::array>();
    t.rows = static_cast<std::int64_t>(table.shape(0));
    t.columns = static_cast<std::int64_t>(table.shape(1));
    const auto n = static_cast<std::size_t>(t.rows * t.columns);
    t.hi.resize(n);
    t.lo.resize(n);
    const auto* bytes = static_cast<const unsigned char*>(table.data());
    for (std::size_t k = 0; k < n; ++k) {
        long double x = 0;
        std::memcpy(&x, bytes + k * sizeof(long double), sizeof(long double));
        if (!split_value(x, &t.hi[k], &t.lo[k])) {
            throw outside_range{};
        }
        t.any_lo = t.any_lo || t.lo[k] != 0;
    }
}

std::string outside_message(const char* operation)
{
    return std::string(operation) +
           ": a long double value lies outside float64's range, which order statistics of long double take";
}

[[noreturn]] void raise_overflow(const char* operation)
{
    PyErr_SetString(PyExc_OverflowError, outside_message(operation).c_str());
    throw py::error_already_set();
}

/// NumPy's interpolation of a <= b at weight gamma, in long double:
/// a + (b - a) gamma, or b - (b - a)(1 - gamma) for gamma >= 0.5.
long double interpolate_long(long double a, long double b, double gamma)
{
    const long double diff = b - a;
    if (gamma >= 0.5) {
        return b - diff * static_cast<long double>(1 - gamma);
    }
    return a + diff * static_cast<long double>(gamma);
}

table_view view_of(const std::vector<double>& v, std::int64_t rows, std::int64_t columns)
{
    return {v.data(), number_type::float64, rows, columns, static_cast<std::int64_t>(columns * sizeof(double)),
            static_cast<std::int64_t>(sizeof(double))};
}

/// The order statistics of ranks `ranks[c]` of column c, as long double:
/// the hi parts selected first, then for each finite non-zero hi h the lo
/// part among the values whose hi is h, at rank k less the values whose hi
/// lies below h. Collective over `comm` (the engine's count and selection,
/// twice when some value needs its lo part, with one MPI_Allreduce between).
std::vector<std::vector<long double>> select_long(const char* operation, const split_table& t,
                                                  const order_statistics& first, const value_counts& counts,
                                                  const std::vector<std::vector<std::uint64_t>>& ranks, bool any_lo,
                                                  MPI_Comm comm)
{
    const auto found = engine_call(operation, [&] { return first.select(counts, ranks, comm); });
    std::vector<std::vector<long double>> values(ranks.size());
    // The (column, rank) pairs needing their lo part, each once.
    struct pair {
        std::size_t column;
        std::uint64_t rank;
        double h;
    };
    std::vector<pair> pairs;
    std::vector<std::vector<std::size_t>> pair_of(ranks.size());
    for (std::size_t c = 0; c < ranks.size(); ++c) {
        std::map<std::uint64_t, std::size_t> seen;
        values[c].resize(ranks[c].size());
        pair_of[c].assign(ranks[c].size(), SIZE_MAX);
        for (std::size_t j = 0; j < ranks[c].size(); ++j) {
            const double h = found[c][j].as_double();
            values[c][j] = h; // zero and infinities hold only themselves (lo 0)
            if (!any_lo || !std::isfinite(h) || h == 0) {
                continue;
            }
            const auto at = seen.find(ranks[c][j]);
            if (at != seen.end()) {
                pair_of[c][j] = at->second;
                continue;
            }
            seen.emplace(ranks[c][j], pairs.size());
            pair_of[c][j] = pairs.size();
            pairs.push_back({c, ranks[c][j], h});
        }
    }
    if (pairs.empty()) {
        return values;
    }
    // Per pair, the values below h counted (summed over the ranks in one
    // MPI_Allreduce) and the lo parts of the values at h, in a table of
    // as many rows as the most values at one h here, padded with NaN.
    const auto k = static_cast<std::int64_t>(pairs.size());
    std::vector<std::int64_t> below(pairs.size(), 0);
    std::vector<std::vector<double>> at_h(pairs.size());
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        const pair& w = pairs[p];
        for (std::int64_t r = 0; r < t.rows; ++r) {
            const double hi = t.hi[static_cast<std::size_t>(r * t.columns + static_cast<std::int64_t>(w.column))];
            if (hi < w.h) {
                ++below[p];
            } else if (hi == w.h) {
                at_h[p].push_back(t.lo[static_cast<std::size_t>(r * t.columns + static_cast<std::int64_t>(w.column))]);
            }
        }
    }
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, below.data(), static_cast<int>(below.size()), MPI_INT64_T, MPI_SUM, comm),
              (std::string(operation) + ": counting the values below the selected doubles").c_str());
    std::size_t most = 0;
    for (const std::vector<double>& v : at_h) {
        most = std::max(most, v.size());
    }
    std::vector<double> second(most * pairs.size(), nan_double);
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        for (std::size_t r = 0; r < at_h[p].size(); ++r) {
            second[r * pairs.size() + p] = at_h[p][r];
        }
    }
    order_statistics os(number_type::float64, k);
    std::vector<std::vector<std::uint64_t>> within(static_cast<std::size_t>(k));
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        within[p].push_back(pairs[p].rank - static_cast<std::uint64_t>(below[p]));
    }
    const auto lows = engine_call(operation, [&] {
        if (most > 0) {
            os.add(view_of(second, static_cast<std::int64_t>(most), k));
        }
        const value_counts c2 = os.count(comm);
        return os.select(c2, within, comm);
    });
    for (std::size_t c = 0; c < ranks.size(); ++c) {
        for (std::size_t j = 0; j < ranks[c].size(); ++j) {
            if (pair_of[c][j] == SIZE_MAX) {
                continue;
            }
            const double lo = lows[pair_of[c][j]][0].as_double();
            if (std::isfinite(lo)) {
                values[c][j] = static_cast<long double>(values[c][j]) + static_cast<long double>(lo);
            }
        }
    }
    return values;
}

} // namespace

py::object long_double_quantiles(const function_kind& f, const py::object& a, const py::object& q,
                                 const py::object& axis, const py::object& out, const py::object& method,
                                 bool keepdims, const py::object& weights, const py::object& interpolation,
                                 const py::object& comm)
{
    const communicator c = call_communicator(f.name, a, comm);
    quantile_method m = quantile_method::linear;
    py::array probabilities;
    split_table t;
    std::exception_ptr refusal;
    bool outside = false;
    try {
        if (!f.median) {
            m = method_of(f, method, interpolation);
        }
        probabilities = f.median ? one_half() : probabilities_of(f, q);
        if (!weights.is_none()) {
            if (m != quantile_method::inverted_cdf) {
                throw py::value_error(std::string("Only method 'inverted_cdf' supports weights. Got: ") +
                                      name_of(m) + ".");
            }
            throw py::type_error(std::string(f.name) + ": weights= are not taken with numpy.longdouble values");
        }
        if (f.percent) {
            probabilities = numpy().attr("asarray")(numpy().attr("true_divide")(probabilities, 100)).cast<py::array>();
        }
        read_split(t, a, axis);
    } catch (const outside_range&) {
        outside = true;
    } catch (...) {
        refusal = std::current_exception();
    }
    const bool failed = outside || refusal;
    bool any_lo = t.any_lo;
    if (c.size > 1) {
        // Every rank's failure, blocks' trailing shape, axes and
        // probabilities, agreed in one MPI_Allgather.
        std::uint64_t h = 1469598103934665603ull;
        if (!failed) {
            h = (h ^ t.shape.size()) * 1099511628211ull;
            for (std::size_t k = 1; k < t.shape.size(); ++k) {
                h = (h ^ static_cast<std::uint64_t>(t.shape[k])) * 1099511628211ull;
            }
            h = (h ^ probabilities_print(probabilities, m)) * 1099511628211ull;
            h = (h ^ static_cast<std::uint64_t>(t.split.distributed_reduced())) * 1099511628211ull;
        }
        constexpr int fields = 3;
        const std::int64_t here[fields] = {refusal ? 1 : (outside ? 2 : 0), static_cast<std::int64_t>(h >> 1),
                                           t.any_lo ? 1 : 0};
        std::vector<std::int64_t> all(static_cast<std::size_t>(c.size * fields));
        check_mpi(MPI_Allgather(here, fields, MPI_INT64_T, all.data(), fields, MPI_INT64_T, c.handle),
                  (std::string(f.name) + ": agreeing on the blocks").c_str());
        std::int64_t lowest_refusing = -1;
        bool any_outside = false;
        bool alike = true;
        std::int64_t first_read = -1;
        for (int r = 0; r < c.size; ++r) {
            const std::int64_t* x = all.data() + r * fields;
            if (x[0] == 1 && lowest_refusing < 0) {
                lowest_refusing = r;
            }
            any_outside = any_outside || x[0] == 2;
            if (x[0] == 0) {
                first_read = first_read < 0 ? r : first_read;
                alike = alike && x[1] == all[static_cast<std::size_t>(first_read * fields + 1)];
            }
            any_lo = any_lo || x[2] != 0;
        }
        if (refusal) {
            std::rethrow_exception(refusal);
        }
        if (lowest_refusing >= 0) {
            throw py::value_error(std::string(f.name) + ": rank " + std::to_string(lowest_refusing) +
                                  " could not read its values or arguments (its exception says why)");
        }
        if (any_outside) {
            raise_overflow(f.name);
        }
        if (!alike) {
            throw std::runtime_error(std::string(f.name) +
                                     ": the ranks' blocks differ in their shape after the first axis, or the "
                                     "calls in their axes, method or probabilities");
        }
    } else if (refusal) {
        std::rethrow_exception(refusal);
    } else if (outside) {
        raise_overflow(f.name);
    }

    const axis_split& split = t.split;
    const bool collective = split.distributed_reduced();
    const MPI_Comm sel = collective ? c.handle : MPI_COMM_SELF;
    if (!collective) {
        any_lo = t.any_lo; // each rank selects its own rows alone
    }
    const std::int64_t columns = t.columns;
    const std::int64_t engine_columns = std::max<std::int64_t>(columns, 1);
    const bool scalar = probabilities.ndim() == 0 && split.kept.empty() && !keepdims;
    order_statistics os(number_type::float64, engine_columns);
    const value_counts counts = engine_call(f.name, [&] {
        if (t.rows > 0 && columns > 0) {
            os.add(view_of(t.hi, t.rows, columns));
        }
        return os.count(sel);
    });
    slice_facts s = facts_of_slices(f, counts, columns);
    std::int64_t agreed[4] = {s.empty, s.all_nan, s.first_all_nan, s.with_nan};
    agreed_counts(f.name, c, split, agreed, 4);
    s = {agreed[0], agreed[1], agreed[2], agreed[3]};
    act_on_slices(f, s, split.kept.empty(), scalar);

    const py::array qs_array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(probabilities);
    if (!qs_array) {
        throw py::error_already_set();
    }
    const auto* qp = static_cast<const double*>(qs_array.data());
    const std::vector<double> qs(qp, qp + qs_array.size());
    const bool at_integers = integer_positions(f, probabilities, m);
    const nan_policy policy = f.omit ? nan_policy::omit : nan_policy::propagate;
    std::vector<std::vector<quantile_position>> where(static_cast<std::size_t>(engine_columns));
    std::vector<std::vector<std::uint64_t>> ranks(static_cast<std::size_t>(engine_columns));
    for (std::size_t j = 0; j < static_cast<std::size_t>(columns); ++j) {
        const auto n = static_cast<std::uint64_t>(counts.values[j]);
        if (n == 0 || (policy == nan_policy::propagate && counts.nans[j] > 0)) {
            continue;
        }
        column_positions(f.median, n, qs, m, where[j], ranks[j]);
    }
    const auto found = select_long(f.name, t, os, counts, ranks, any_lo, sel);

    const std::size_t nq = qs.size();
    std::vector<long double> values(nq * static_cast<std::size_t>(columns), nan_value);
    for (std::size_t j = 0; j < static_cast<std::size_t>(columns); ++j) {
        if (where[j].empty()) {
            continue;
        }
        for (std::size_t i = 0; i < nq; ++i) {
            const quantile_position& p = where[j][f.median ? 0 : i];
            const long double lower = found[j][2 * (f.median ? 0 : i)];
            const long double upper = found[j][2 * (f.median ? 0 : i) + 1];
            long double v = lower;
            if (f.median) {
                // numpy.mean of the middle value(s) in long double.
                v = p.exact ? lower : (lower + upper) / 2;
            } else if (!p.exact && !at_integers) {
                v = interpolate_long(lower, upper, p.gamma);
            }
            values[i * static_cast<std::size_t>(columns) + j] = v;
        }
    }

    // NumPy's shape: the probabilities' axes, then the kept axes (the
    // reduced ones as 1 with keepdims).
    py::array flat = long_double_array(values);
    std::vector<py::ssize_t> result_shape(probabilities.shape(), probabilities.shape() + probabilities.ndim());
    const std::vector<py::ssize_t> rest = split.result_shape(t.shape, keepdims);
    result_shape.insert(result_shape.end(), rest.begin(), rest.end());
    py::object result;
    if (result_shape.empty()) {
        result = py::reinterpret_steal<py::object>(PySequence_GetItem(flat.ptr(), 0));
        if (!result) {
            throw py::error_already_set();
        }
    } else {
        result = flat.reshape(result_shape);
    }
    if (!out.is_none()) {
        return into_out(f.name, result, out, true);
    }
    return result;
}

} // namespace virda_python
