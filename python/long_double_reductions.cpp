#include "long_double_reductions.h"

#include "axes.h"
#include "call_communicator.h"
#include "local_values.h"
#include "long_double_totals.h"
#include "mpi_environment.h"
#include "numpy_module.h"
#include "reduction_results.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <vector>

namespace py = pybind11;
using virda::engine::nan_policy;
using virda::engine::detail::exact_record_fields;
using virda::engine::detail::exact_total;
using virda::engine::detail::normalise;
using virda::engine::detail::read_record;
using virda::engine::detail::write_record;

namespace virda_python {

namespace {

constexpr long double nan_value = std::numeric_limits<long double>::quiet_NaN();

/// Raised while reading a value outside float64's range (alike on every rank).
struct outside_range {};

std::string outside_message(const char* operation)
{
    return std::string(operation) +
           ": a long double value (or a square of a deviation) lies outside float64's range, which exact sums "
           "of long double take";
}

/// This rank's block as a table of reduced x kept values (C order of the
/// reduced axes, then of the kept ones), with its where= mask alike.
struct long_double_table {
    reduction_input in;
    axis_split split;
    std::int64_t rows = 0;
    std::int64_t columns = 0;
    std::vector<long double> values; ///< rows x columns, row-major
    std::vector<unsigned char> kept; ///< as values; empty without a mask
    std::int64_t first_row = 0;      ///< the block's first row in the global array
    std::int64_t row_size = 1;       ///< elements of one row of the block

    long double at(std::int64_t r, std::int64_t j) const
    {
        return values[static_cast<std::size_t>(r * columns + j)];
    }
    bool counts(std::int64_t r, std::int64_t j) const
    {
        return kept.empty() || kept[static_cast<std::size_t>(r * columns + j)] != 0;
    }
};

/// `x` (the block or its mask, of the block's shape) as rows x columns.
py::array as_table(const py::object& x, const axis_split& split, std::int64_t rows, std::int64_t columns,
                   const py::dtype& dt)
{
    std::vector<int> order = split.reduced;
    order.insert(order.end(), split.kept.begin(), split.kept.end());
    const py::object moved = numpy().attr("transpose")(x, py::cast(order));
    return numpy().attr("ascontiguousarray")(moved, dt).attr("reshape")(rows, columns);
}

void read_table(long_double_table& t, py::handle a, py::handle axis, bool tuples, py::handle where)
{
    const py::array block = numpy().attr("asarray")(a);
    t.in.block = block;
    const py::object shaped = block.ndim() == 0 ? py::object(block.attr("reshape")(1)) : py::object(block);
    const std::vector<py::ssize_t> shape = block_shape(block);
    t.split = split_axes(axis, static_cast<int>(block.ndim()), tuples);
    t.rows = t.split.reduced_count(shape);
    t.columns = t.split.kept_count(shape);
    for (std::size_t k = 1; k < shape.size(); ++k) {
        t.row_size *= static_cast<std::int64_t>(shape[k]);
    }
    const py::dtype dt = block.dtype();
    const py::array table = as_table(shaped, t.split, t.rows, t.columns, dt);
    t.values.resize(static_cast<std::size_t>(t.rows * t.columns));
    if (!t.values.empty()) {
        std::memcpy(t.values.data(), table.data(), t.values.size() * sizeof(long double));
    }
    if (!where.is_none()) {
        const py::object mask = numpy().attr("broadcast_to")(numpy().attr("asarray")(where, "bool"),
                                                             shaped.attr("shape"));
        const py::array m = as_table(mask, t.split, t.rows, t.columns, py::dtype("bool"));
        t.kept.resize(t.values.size());
        if (!t.kept.empty()) {
            std::memcpy(t.kept.data(), m.data(), t.kept.size());
        }
    }
}

/// Reads the table and runs `local` (this rank's own pass), then agrees
/// over the ranks, as prepare_reduction does, that every rank could and
/// that the blocks are alike; a value outside float64's range on any rank
/// raises OverflowError on every rank. One MPI_Allgather on two or more ranks.
template <typename F>
long_double_table read_agreed(const char* operation, py::handle a, py::handle axis, py::handle comm, bool tuples,
                              py::handle where, F&& local)
{
    long_double_table t;
    t.in.comm = call_communicator(operation, a, comm);
    std::exception_ptr refusal;
    bool outside = false;
    try {
        read_table(t, a, axis, tuples, where);
        local(t);
    } catch (const outside_range&) {
        outside = true;
    } catch (...) {
        refusal = std::current_exception();
    }
    const bool failed = outside || refusal;
    const std::int64_t block_rows = failed ? 0 : (t.in.block.ndim() == 0 ? 1 : t.in.block.shape(0));
    if (t.in.comm.size <= 1) {
        if (outside) {
            throw py::value_error(outside_message(operation)); // replaced below by OverflowError
        }
        if (refusal) {
            std::rethrow_exception(refusal);
        }
        t.in.zero_d = t.in.block.ndim() == 0;
        return t;
    }
    std::uint64_t h = 1469598103934665603ull;
    if (!failed && (!t.split.all || !tuples)) {
        const std::vector<py::ssize_t> shape = block_shape(t.in.block);
        h = (h ^ shape.size()) * 1099511628211ull;
        for (std::size_t k = 1; k < shape.size(); ++k) {
            h = (h ^ static_cast<std::uint64_t>(shape[k])) * 1099511628211ull;
        }
    }
    // The fields of prepare_reduction's exchange, in its order (no mask
    // along the global rows here): a rank whose block is of another dtype
    // meets this one in the same collective, and both find the blocks unlike.
    constexpr int fields = 6;
    const std::int64_t here[fields] = {refusal ? 1 : (outside ? 2 : 0), static_cast<std::int64_t>(h >> 1),
                                       !failed && t.in.block.ndim() == 0 ? 1 : 0,
                                       !failed && t.in.block.ndim() > 0 && t.in.block.size() > 0 ? 1 : 0,
                                       block_rows, 0};
    std::vector<std::int64_t> all(static_cast<std::size_t>(t.in.comm.size * fields));
    check_mpi(MPI_Allgather(here, fields, MPI_INT64_T, all.data(), fields, MPI_INT64_T, t.in.comm.handle),
              (std::string(operation) + ": agreeing on the blocks").c_str());
    std::int64_t lowest_refusing = -1;
    bool any_outside = false;
    bool alike = true;
    std::int64_t lowest_zero_d = -1;
    std::int64_t highest_zero_d = -1;
    bool any_rows = false;
    for (int r = 0; r < t.in.comm.size; ++r) {
        const std::int64_t* f = all.data() + r * fields;
        if (f[0] == 1 && lowest_refusing < 0) {
            lowest_refusing = r;
        }
        any_outside = any_outside || f[0] == 2;
        alike = alike && (f[0] != 0 || all[0] != 0 || f[1] == all[1]);
        if (f[2] != 0) {
            lowest_zero_d = lowest_zero_d < 0 ? r : lowest_zero_d;
            highest_zero_d = r;
        }
        any_rows = any_rows || f[3] != 0;
        if (r < t.in.comm.rank) {
            t.first_row += f[4];
        }
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    if (lowest_refusing >= 0) {
        throw py::value_error(std::string(operation) + ": rank " + std::to_string(lowest_refusing) +
                              " could not read its values of a (its exception says why)");
    }
    if (any_outside) {
        throw py::value_error(outside_message(operation));
    }
    if (!alike) {
        throw std::runtime_error(std::string(operation) +
                                 ": the ranks' blocks differ in dtype or in their shape after the first axis");
    }
    t.in.zero_d = lowest_zero_d >= 0 && lowest_zero_d == highest_zero_d && !any_rows;
    return t;
}

/// read_agreed with a value outside float64's range raised as OverflowError.
template <typename F>
long_double_table read_checked(const char* operation, py::handle a, py::handle axis, py::handle comm, bool tuples,
                               py::handle where, F&& local)
{
    try {
        return read_agreed(operation, a, axis, comm, tuples, where, std::forward<F>(local));
    } catch (const py::value_error& e) {
        if (std::string(e.what()) == outside_message(operation)) {
            PyErr_SetString(PyExc_OverflowError, e.what());
            throw py::error_already_set();
        }
        throw;
    }
}

[[noreturn]] void raise_overflow(const char* operation)
{
    PyErr_SetString(PyExc_OverflowError, outside_message(operation).c_str());
    throw py::error_already_set();
}

/// Per column totals and counts, summed over the ranks where axis 0 is
/// reduced (one MPI_Allreduce on two or more ranks; `failed` counted alike).
struct column_totals {
    std::vector<exact_total> totals;
    std::vector<std::int64_t> counts;     ///< values taken
    std::vector<std::int64_t> nan_counts; ///< NaN values met (left out or not)
    std::int64_t failed = 0;
};

void summed(const char* operation, const long_double_table& t, column_totals& c)
{
    if (!t.split.distributed_reduced() || t.in.comm.size <= 1) {
        return;
    }
    const std::size_t n = c.totals.size();
    const std::size_t width = exact_record_fields + 2;
    std::vector<std::int64_t> record(n * width + 1, 0);
    for (std::size_t j = 0; j < n; ++j) {
        exact_total x = c.totals[j];
        normalise(x);
        write_record(x, record.data() + j * width);
        record[j * width + exact_record_fields] = c.counts[j];
        record[j * width + exact_record_fields + 1] = c.nan_counts[j];
    }
    record[n * width] = c.failed;
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, record.data(), static_cast<int>(record.size()), MPI_INT64_T, MPI_SUM,
                            t.in.comm.handle),
              (std::string(operation) + ": summing the ranks' totals").c_str());
    for (std::size_t j = 0; j < n; ++j) {
        c.totals[j] = read_record(record.data() + j * width);
        c.counts[j] = record[j * width + exact_record_fields];
        c.nan_counts[j] = record[j * width + exact_record_fields + 1];
    }
    c.failed = record[n * width];
}

} // namespace

py::array long_double_array(const std::vector<long double>& v)
{
    py::array out(py::dtype("longdouble"), std::vector<py::ssize_t>{static_cast<py::ssize_t>(v.size())});
    auto* bytes = static_cast<unsigned char*>(out.mutable_data());
    std::memset(bytes, 0, v.size() * sizeof(long double));
    for (std::size_t k = 0; k < v.size(); ++k) {
        std::memcpy(bytes + k * sizeof(long double), &v[k], 10);
    }
    return out;
}

bool is_long_double_data(py::handle a)
{
    if (!long_double_is_extended() || !py::isinstance<py::array>(a)) {
        return false;
    }
    const py::dtype dt = py::reinterpret_borrow<py::array>(a).dtype();
    return dt.kind() == 'f' && dt.itemsize() == 16 && dt.num() == py::dtype("longdouble").num() &&
           py::str(dt.attr("byteorder")).cast<std::string>() != ">";
}

py::object long_double_moments(const char* operation, moment_kind kind, nan_policy policy, py::handle a,
                               py::handle axis, py::handle dtype, const py::object& out, double ddof,
                               py::handle keepdims_arg, py::handle comm, const mask_and_initial& extra)
{
    const bool keepdims = keepdims_of(keepdims_arg);
    const bool omit = policy == nan_policy::omit;
    column_totals c;
    const auto first_pass = [&](long_double_table& t) {
        const auto n = static_cast<std::size_t>(t.columns);
        c.totals.assign(n, exact_total{});
        c.counts.assign(n, 0);
        c.nan_counts.assign(n, 0);
        for (std::int64_t r = 0; r < t.rows; ++r) {
            for (std::int64_t j = 0; j < t.columns; ++j) {
                if (!t.counts(r, j)) {
                    continue;
                }
                const long double x = t.at(r, j);
                const auto k = static_cast<std::size_t>(j);
                if (std::isnan(x)) {
                    ++c.nan_counts[k];
                    if (omit) {
                        continue;
                    }
                }
                if (!add_long_double(c.totals[k], x)) {
                    throw outside_range{};
                }
                ++c.counts[k];
            }
        }
    };
    const long_double_table t = read_checked(operation, a, axis, comm, true, extra.where, first_pass);
    summed(operation, t, c);
    const std::size_t columns = c.totals.size();
    long double plus = 0;
    if (!extra.initial.is_none()) {
        const py::array i = numpy().attr("asarray")(extra.initial, "longdouble");
        std::memcpy(&plus, i.data(), sizeof(long double));
    }
    std::vector<long double> values(columns);
    constexpr unsigned empty_flag = 1;
    constexpr unsigned overflow_flag = 2;
    unsigned flags = 0;
    std::vector<long double> means(columns);
    for (std::size_t j = 0; j < columns; ++j) {
        if (kind == moment_kind::sum && !extra.initial.is_none() && !add_long_double(c.totals[j], plus)) {
            flags |= overflow_flag; // the initial value joins the exact total, alike on every rank
        }
        long double total = 0;
        if (!round_to_long_double(c.totals[j], &total)) {
            flags |= overflow_flag;
        }
        values[j] = total;
        means[j] = total / static_cast<long double>(c.counts[j]);
    }
    if (kind == moment_kind::sum) {
        // The totals as they are.
    } else if (kind == moment_kind::mean) {
        for (std::size_t j = 0; j < columns; ++j) {
            flags |= c.counts[j] == 0 ? empty_flag : 0u;
            values[j] = means[j];
        }
    } else {
        // The squares of the deviations from the rounded mean, exactly.
        column_totals squares;
        squares.totals.assign(columns, exact_total{});
        squares.counts.assign(columns, 0);
        squares.nan_counts.assign(columns, 0);
        for (std::int64_t r = 0; r < t.rows; ++r) {
            for (std::int64_t j = 0; j < t.columns; ++j) {
                const auto k = static_cast<std::size_t>(j);
                const long double x = t.at(r, j);
                if (!t.counts(r, j) || (omit && std::isnan(x)) || !std::isfinite(means[k])) {
                    continue;
                }
                if (!add_square(squares.totals[k], x - means[k])) {
                    squares.failed = 1;
                }
            }
        }
        squares.counts = c.counts;
        squares.nan_counts = c.nan_counts;
        summed(operation, t, squares);
        flags |= squares.failed != 0 ? overflow_flag : 0u;
        for (std::size_t j = 0; j < columns; ++j) {
            const long double n = static_cast<long double>(c.counts[j]);
            const bool no_freedom = n - ddof <= 0;
            flags |= no_freedom ? empty_flag : 0u;
            long double q = 0;
            if (!round_to_long_double(squares.totals[j], &q)) {
                flags |= overflow_flag;
            }
            long double v = std::isfinite(means[j]) ? q / std::max(n - static_cast<long double>(ddof), 0.0L)
                                                    : nan_value;
            if (no_freedom && omit) {
                v = nan_value; // nanvar's rule; var divides by 0
            }
            values[j] = kind == moment_kind::stdev ? std::sqrt(v) : v;
        }
    }
    flags = agreed_flags(operation, t.in.comm, t.split, flags);
    if ((flags & overflow_flag) != 0) {
        raise_overflow(operation);
    }
    if ((flags & empty_flag) != 0 && kind != moment_kind::sum) {
        warn(PyExc_RuntimeWarning,
             kind == moment_kind::mean ? (omit ? "Mean of empty slice" : "Mean of empty slice.")
                                       : (omit ? "Degrees of freedom <= 0 for slice." : "Degrees of freedom <= 0 for slice"));
    }
    py::array flat = long_double_array(values);
    if (!dtype.is_none()) {
        flat = flat.attr("astype")(dtype);
    }
    return finish_reduction(operation, t.in, t.split, keepdims, flat, out);
}

namespace {

/// One column's extreme over some rows: the value, the first row holding it
/// (global where axis 0 is reduced), the first NaN's row, the values taken.
struct extreme_record {
    long double value;
    std::int64_t row;
    std::int64_t nan_row;
    std::int64_t count;
    std::int64_t seen; ///< rows met, left out or not
};

/// Whether x replaces `best` (first occurrences kept; for min and max, of
/// equal zeros the negative for min, the positive for max).
bool better(long double x, long double best, bool min, bool positions)
{
    if (min ? x < best : x > best) {
        return true;
    }
    return !positions && x == best && x == 0 && std::signbit(x) == min && std::signbit(best) != min;
}

void merge(extreme_record& into, const extreme_record& next, bool min, bool positions)
{
    if (next.nan_row >= 0 && into.nan_row < 0) {
        into.nan_row = next.nan_row;
    }
    if (next.count > 0 && (into.count == 0 || better(next.value, into.value, min, positions))) {
        into.value = next.value;
        into.row = next.row;
    }
    into.count += next.count;
    into.seen += next.seen;
}

} // namespace

py::object long_double_extremes(const char* operation, extreme_kind kind, nan_policy policy, py::handle a,
                                py::handle axis, const py::object& out, py::handle keepdims_arg, py::handle comm,
                                const mask_and_initial& extra)
{
    const bool arg = kind == extreme_kind::argmin || kind == extreme_kind::argmax;
    const bool with_initial = !extra.initial.is_none();
    if (!extra.where.is_none() && !with_initial) {
        throw py::value_error(std::string("reduction operation '") +
                              (kind == extreme_kind::min ? "minimum" : "maximum") +
                              "' does not have an identity, so to use a where mask one has to define 'initial'");
    }
    const bool keepdims = keepdims_of(keepdims_arg);
    const bool omit = policy == nan_policy::omit;
    const int passes = kind == extreme_kind::ptp ? 2 : 1;
    std::vector<extreme_record> records;
    const auto local = [&](long_double_table& t) {
        const auto n = static_cast<std::size_t>(t.columns);
        records.assign(n * static_cast<std::size_t>(passes), extreme_record{0, -1, -1, 0, 0});
        for (int pass = 0; pass < passes; ++pass) {
            const bool min = kind == extreme_kind::ptp ? pass == 0 : (kind == extreme_kind::min || kind == extreme_kind::argmin);
            extreme_record* column = records.data() + static_cast<std::size_t>(pass) * n;
            for (std::int64_t r = 0; r < t.rows; ++r) {
                for (std::int64_t j = 0; j < t.columns; ++j) {
                    if (!t.counts(r, j)) {
                        continue;
                    }
                    extreme_record& e = column[static_cast<std::size_t>(j)];
                    const long double x = t.at(r, j);
                    ++e.seen;
                    if (std::isnan(x)) {
                        e.nan_row = e.nan_row < 0 ? r : e.nan_row;
                        continue;
                    }
                    if (e.count == 0 || better(x, e.value, min, arg)) {
                        e.value = x;
                        e.row = r;
                    }
                    ++e.count;
                }
            }
        }
    };
    const long_double_table t = read_checked(operation, a, axis, comm, !arg, extra.where, local);
    const std::size_t columns = static_cast<std::size_t>(t.columns);
    const bool distributed = t.split.distributed_reduced();
    // Rows as global positions along the reduced axes (flat for axis=None).
    if (distributed) {
        const std::int64_t shift = t.split.all ? t.first_row * t.row_size : t.first_row;
        for (extreme_record& e : records) {
            e.row = e.row >= 0 ? e.row + shift : e.row;
            e.nan_row = e.nan_row >= 0 ? e.nan_row + shift : e.nan_row;
        }
    }
    if (distributed && t.in.comm.size > 1) {
        // Every rank's records, merged in rank order (the global row order).
        const int bytes = static_cast<int>(records.size() * sizeof(extreme_record));
        std::vector<extreme_record> all(records.size() * static_cast<std::size_t>(t.in.comm.size));
        check_mpi(MPI_Allgather(records.data(), bytes, MPI_BYTE, all.data(), bytes, MPI_BYTE, t.in.comm.handle),
                  (std::string(operation) + ": gathering the ranks' extremes").c_str());
        std::vector<extreme_record> merged(records.size(), extreme_record{0, -1, -1, 0, 0});
        for (int r = 0; r < t.in.comm.size; ++r) {
            for (std::size_t k = 0; k < records.size(); ++k) {
                const bool min = kind == extreme_kind::ptp ? k < columns
                                                           : (kind == extreme_kind::min || kind == extreme_kind::argmin);
                merge(merged[k], all[static_cast<std::size_t>(r) * records.size() + k], min, arg);
            }
        }
        records = merged;
    }
    long double first = 0;
    if (with_initial) {
        const py::array i = numpy().attr("asarray")(extra.initial, "longdouble");
        std::memcpy(&first, i.data(), sizeof(long double));
    }
    constexpr unsigned empty_flag = 1;
    constexpr unsigned all_nan_flag = 2;
    unsigned flags = 0;
    std::vector<long double> values(columns);
    std::vector<std::int64_t> positions(columns);
    for (std::size_t j = 0; j < columns; ++j) {
        const extreme_record& e = records[j];
        if (e.seen == 0 && !with_initial) {
            flags |= empty_flag;
        }
        const bool nan = !omit && e.nan_row >= 0;
        if (e.count == 0 && (omit || e.nan_row < 0) && e.seen > 0) {
            flags |= all_nan_flag;
        }
        if (arg) {
            positions[j] = nan ? e.nan_row : (e.count > 0 ? e.row : -1);
            continue;
        }
        long double v = nan || e.count == 0 ? nan_value : e.value;
        if (kind == extreme_kind::ptp) {
            const extreme_record& m = records[columns + j];
            v = nan || e.count == 0 ? nan_value : m.value - e.value;
        } else if (with_initial) {
            const bool min = kind == extreme_kind::min;
            if (e.count == 0 && (omit || e.nan_row < 0)) {
                v = first;
            } else if (!std::isnan(v) && better(first, v, min, false)) {
                v = first;
            }
        }
        values[j] = v;
    }
    if (with_initial) {
        flags &= ~static_cast<unsigned>(all_nan_flag);
        for (std::size_t j = 0; j < columns; ++j) {
            flags |= std::isnan(values[j]) ? all_nan_flag : 0u;
        }
    }
    flags = agreed_flags(operation, t.in.comm, t.split, flags);
    if ((flags & empty_flag) != 0) {
        raise_empty_extreme(kind);
    }
    if ((flags & all_nan_flag) != 0 && omit) {
        if (arg) {
            throw py::value_error("All-NaN slice encountered");
        }
        warn(PyExc_RuntimeWarning, "All-NaN slice encountered");
    }
    if (arg) {
        py::array_t<std::int64_t> flat(static_cast<py::ssize_t>(columns));
        if (columns > 0) {
            std::memcpy(flat.mutable_data(), positions.data(), columns * sizeof(std::int64_t));
        }
        return finish_reduction(operation, t.in, t.split, keepdims, numpy().attr("asarray")(flat, "intp"), out);
    }
    return finish_reduction(operation, t.in, t.split, keepdims, long_double_array(values), out);
}

} // namespace virda_python
