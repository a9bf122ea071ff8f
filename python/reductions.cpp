#include "reductions.h"

#include "axes.h"
#include "communicator.h"
#include "dist_array.h"
#include "element_types.h"
#include "float_to_integer.h"
#include "local_values.h"
#include "masked_values.h"
#include "mpi_environment.h"

#include "engine/extremes.h"
#include "engine/moments.h"
#include "engine/weighted_moments.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using virda::engine::nan_policy;
using virda::engine::number;
using virda::engine::number_type;

namespace virda_python {

namespace {

/// The block a reduction reads and the communicator over which it reduces.
struct reduction_input {
    py::array block;
    communicator comm;
    dist_array* array = nullptr;
    /// Whether the global array is 0-d: one rank holds a 0-d block and every
    /// other rank an empty one. Its reductions are 0-d even with keepdims.
    bool zero_d = false;
};

/// A reduction's input, its axes and (where asked) its tables, agreed over
/// the communicator.
struct prepared {
    reduction_input in;
    axis_split split;
    reduction_tables tables;
    std::unique_ptr<virda::engine::moments> moments;
    std::unique_ptr<virda::engine::extremes> extremes;
    py::dtype given; ///< the data's own dtype (bool and float16 are read as uint8 and float32)
    py::object kept_nans = py::none(); ///< masking::count_nans: int64 per kept element
};

/// A where= mask (none when `where` is None or null) and what the elements
/// it leaves out become; with `count_nans`, the NaN values it keeps are
/// counted per kept element first (prepared::kept_nans), for reductions
/// whose NaN propagates though the mask's elements are left out as NaN.
struct masking {
    py::handle where;
    left_out fill = left_out::zero;
    py::handle initial;
    bool count_nans = false;

    bool given() const { return where && !where.is_none(); }
};

/// Which accumulator prepare makes for the tables.
enum class accumulator { none, moments, moments_with_squares, extremes };

/// Runs `read()` and agrees over comm whether every rank could, as
/// prepare does. One MPI_Allreduce on two or more ranks.
template <typename F>
void read_alike(const char* operation, const communicator& comm, F&& read)
{
    std::exception_ptr refusal;
    try {
        std::forward<F>(read)();
    } catch (...) {
        refusal = std::current_exception();
    }
    if (comm.size > 1) {
        int lowest = refusal ? comm.rank : std::numeric_limits<int>::max();
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_INT, MPI_MIN, comm.handle),
                  (std::string(operation) + ": agreeing on the values").c_str());
        if (!refusal && lowest != std::numeric_limits<int>::max()) {
            throw py::value_error(std::string(operation) + ": rank " + std::to_string(lowest) +
                                  " could not read its values (its exception says why)");
        }
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
}

/// What must be alike on every rank: the blocks' dtype and, unless every
/// axis is reduced (then only the values count, in C order of the blocks in
/// rank order) or `shapes_always`, their number of axes and shape after the
/// first, a 0-d block being one value along the distributed axis.
std::int64_t fingerprint_of(const py::array& block, const py::dtype& given, const axis_split& split,
                            bool shapes_always)
{
    std::uint64_t h = 1469598103934665603ull;
    const auto mix = [&h](std::uint64_t v) { h = (h ^ v) * 1099511628211ull; };
    mix(static_cast<std::uint64_t>(given.num()));
    if (!split.all || shapes_always) {
        const std::vector<py::ssize_t> shape = block_shape(block);
        mix(static_cast<std::uint64_t>(shape.size()));
        for (std::size_t k = 1; k < shape.size(); ++k) {
            mix(static_cast<std::uint64_t>(shape[k]));
        }
    }
    return static_cast<std::int64_t>(h >> 1);
}

/// The input of a reduction: a's block, its axes for `axis` and, with
/// `tables`, its engine tables. Every rank agrees, in one MPI_Allgather on
/// two or more ranks, that each could read its block (its dtype, a masked
/// element, a copy it could not allocate, the axes) and that the blocks'
/// trailing shapes and dtypes are alike: a rank that could not raises its
/// own exception and the others ValueError naming the lowest such rank;
/// blocks unlike raise RuntimeError on every rank. The same exchange gives
/// each rank its first row, for a where= mask along the global rows (as
/// NumPy broadcasts it against the global shape); only when some rank holds
/// such a mask is its reading agreed in one more collective. Nobody is left
/// in a collective alone.
prepared prepare(const char* operation, py::handle a, py::handle axis, py::handle comm, bool tuples, bool tables,
                 accumulator made = accumulator::none, const masking& mask = {})
{
    prepared p;
    reduction_input& in = p.in;
    const bool array = py::isinstance<dist_array>(a);
    if (array) {
        if (!comm.is_none()) {
            throw py::type_error(std::string(operation) +
                                 ": comm is for NumPy arrays of this rank's values; an Array is over its own "
                                 "communicator");
        }
        require_mpi_running();
        in.array = &a.cast<dist_array&>();
        in.comm = in.array->comm();
    } else {
        in.comm = communicator_of(comm);
    }
    // The mask applied to the block, then its tables and their accumulator.
    const auto finish_reading = [&](const py::object& where) {
        if (where) {
            const py::array m = py::reinterpret_borrow<py::array>(where);
            if (mask.count_nans && in.block.dtype().kind() == 'f') {
                p.kept_nans = kept_nans(in.block, m, p.split);
            }
            in.block = masked_block(operation, in.block, m, mask.fill, mask.initial);
        }
        if (tables) {
            p.tables = tables_for(in.block, p.split);
            // The accumulator's state (per kept element) is allocated here,
            // so that a rank short of memory is agreed on with the rest.
            const reduction_tables& t = p.tables;
            if (t.columns > 0 && made == accumulator::extremes) {
                p.extremes = std::make_unique<virda::engine::extremes>(t.type, t.columns);
            } else if (t.columns > 0 && made != accumulator::none) {
                p.moments =
                    std::make_unique<virda::engine::moments>(t.type, t.columns, made == accumulator::moments_with_squares);
            }
        }
    };
    mask_reading reading;
    std::exception_ptr refusal;
    try {
        if (array) {
            in.block = in.array->block(operation);
            p.given = in.block.dtype();
        } else {
            in.block = engine_values(operation, "a", a, &p.given);
        }
        p.split = split_axes(axis, static_cast<int>(in.block.ndim()), tuples);
        if (mask.given()) {
            reading = mask_for(operation, mask.where, in.block);
        }
        if (!reading.global_rows) {
            finish_reading(reading.mask);
        }
    } catch (...) {
        refusal = std::current_exception();
    }
    // This rank's block as a number of rows (a 0-d block is one), its first
    // row and the global count: for a mask along the global rows.
    const std::int64_t rows = refusal ? 0 : (in.block.ndim() == 0 ? 1 : in.block.shape(0));
    std::int64_t first_row = 0;
    std::int64_t global_rows = rows;
    bool any_global_mask = !refusal && reading.global_rows;
    if (in.comm.size > 1) {
        // argmin and argmax (the functions without tuples of axes) give flat
        // indices into the global array: its shape must be one over every axis too.
        const std::int64_t mine = refusal ? 0 : fingerprint_of(in.block, p.given, p.split, !tuples);
        const std::int64_t size = in.comm.size;
        const std::int64_t fields = 6;
        const std::int64_t here[fields] = {refusal ? 1 : 0, mine, !refusal && in.block.ndim() == 0 ? 1 : 0,
                                           !refusal && in.block.ndim() > 0 && in.block.size() > 0 ? 1 : 0, rows,
                                           any_global_mask ? 1 : 0};
        std::vector<std::int64_t> all(static_cast<std::size_t>(size * fields));
        check_mpi(MPI_Allgather(here, static_cast<int>(fields), MPI_INT64_T, all.data(), static_cast<int>(fields),
                                MPI_INT64_T, in.comm.handle),
                  (std::string(operation) + ": agreeing on the blocks").c_str());
        std::int64_t lowest_refusing = -1;
        bool alike = true;
        std::int64_t lowest_zero_d = -1;
        std::int64_t highest_zero_d = -1;
        bool any_rows = false;
        global_rows = 0;
        any_global_mask = false;
        for (std::int64_t r = 0; r < size; ++r) {
            const std::int64_t* f = all.data() + r * fields;
            if (f[0] != 0 && lowest_refusing < 0) {
                lowest_refusing = r;
            }
            alike = alike && f[1] == all[1];
            if (f[2] != 0) {
                lowest_zero_d = lowest_zero_d < 0 ? r : lowest_zero_d;
                highest_zero_d = r;
            }
            any_rows = any_rows || f[3] != 0;
            if (r < in.comm.rank) {
                first_row += f[4];
            }
            global_rows += f[4];
            any_global_mask = any_global_mask || f[5] != 0;
        }
        // The array is 0-d when the lowest and the highest rank holding a
        // 0-d block are one rank and no rank holds rows of a 1-d or wider block.
        in.zero_d = lowest_zero_d >= 0 && lowest_zero_d == highest_zero_d && !any_rows;
        if (!refusal && lowest_refusing >= 0) {
            throw py::value_error(std::string(operation) + ": rank " + std::to_string(lowest_refusing) +
                                  " could not read its values of a (its exception says why)");
        }
        if (!refusal && !alike) {
            throw std::runtime_error(std::string(operation) +
                                     ": the ranks' blocks differ in dtype or in their shape after the first axis");
        }
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    if (any_global_mask) {
        // Some rank's mask is along the global rows: each such rank takes its
        // own rows of it, agreed once more (only then) over the ranks.
        read_alike(operation, in.comm, [&] {
            if (reading.global_rows) {
                finish_reading(rows_of_mask(operation, py::reinterpret_borrow<py::array>(reading.mask), in.block,
                                            global_rows, first_row));
            }
        });
    }
    if (in.comm.size <= 1) {
        in.zero_d = in.block.ndim() == 0;
    }
    return p;
}

/// NumPy's keepdims argument: its default (None here) is False.
bool keepdims_of(py::handle keepdims)
{
    return !keepdims.is_none() && py::bool_(py::reinterpret_borrow<py::object>(keepdims));
}

py::module_ numpy() { return py::module_::import("numpy"); }

/// Whether a's dtype is a floating one (an Array's, or what numpy.asarray
/// makes of a without copying; anything unreadable counts as floating: it
/// is refused later, alike).
bool is_floating_data(py::handle a)
{
    if (py::isinstance<dist_array>(a)) {
        return virda::engine::facts_of(a.cast<dist_array&>().type()).floating;
    }
    if (py::isinstance<py::array>(a)) {
        return py::reinterpret_borrow<py::array>(a).dtype().kind() == 'f';
    }
    try {
        return numpy().attr("asarray")(a).attr("dtype").attr("kind").cast<std::string>() == "f";
    } catch (const py::error_already_set&) {
        return true;
    }
}

/// The result shape (global where axis 0 is reduced, this rank's rows
/// otherwise) and the result as NumPy gives it, or into out, or for an
/// Array's local result a new Array.
py::object finish(const char* operation, const reduction_input& in, const axis_split& split, bool keepdims,
                  const py::array& flat, const py::object& out)
{
    const std::vector<py::ssize_t> shape = split.result_shape(block_shape(in.block), keepdims && !in.zero_d);
    if (in.array != nullptr && !split.distributed_reduced()) {
        return local_array_result(operation, *in.array, split, keepdims, flat.attr("reshape")(py::tuple(py::cast(shape))));
    }
    py::object result = shaped_result(flat, shape);
    if (!out.is_none()) {
        return into_out(operation, result, out);
    }
    return result;
}

/// What a reduction's engine accumulator gives: the summary per kept
/// element (none without kept elements) or, for a reduction of this rank's
/// own rows, why this rank could not finish it. That failure goes into the
/// ranks' agreement on the slices (failed_flag), so no rank raises alone.
template <typename Summary>
struct engine_result {
    std::optional<Summary> summary;
    std::exception_ptr failure;
};

constexpr unsigned failed_flag = 1u << 8;

/// The summary of p's tables in `accumulator` (p.moments or p.extremes):
/// over the communicator when axis 0 is reduced (one MPI_Allreduce), else
/// this rank's alone.
template <typename Accumulator>
auto summary_of(const char* operation, const prepared& p, Accumulator* accumulator, nan_policy policy)
{
    using summary = decltype(accumulator->finish_local(policy));
    engine_result<summary> r;
    const reduction_tables& t = p.tables;
    if (t.columns == 0) {
        return r;
    }
    const bool collective = p.split.distributed_reduced();
    try {
        r.summary = engine_call(operation, [&] {
            t.add_to(*accumulator);
            return collective ? accumulator->finish(p.in.comm.handle, policy) : accumulator->finish_local(policy);
        });
    } catch (...) {
        if (collective) {
            throw; // the engine's finish agrees on failures over the ranks
        }
        r.failure = std::current_exception();
    }
    return r;
}

/// The slices' flags agreed over the ranks (agreed_flags) with this rank's
/// failure: raised on every rank once all have agreed.
template <typename Summary>
unsigned agreed_with_failure(const char* operation, const prepared& p, const engine_result<Summary>& r,
                             unsigned flags)
{
    const unsigned agreed = agreed_flags(operation, p.in.comm, p.split, flags | (r.failure ? failed_flag : 0u));
    if (r.failure) {
        std::rethrow_exception(r.failure);
    }
    if ((agreed & failed_flag) != 0) {
        throw py::value_error(std::string(operation) +
                              ": another rank could not reduce its rows (its exception says why)");
    }
    return agreed;
}

/// The result dtype of a mean, variance or float sum: `dtype` when given,
/// else float32 for float32 data and float64 otherwise.
py::dtype inexact_dtype(const py::array& block, py::handle dtype)
{
    if (!dtype.is_none()) {
        return py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype));
    }
    return block.dtype().kind() == 'f' && block.itemsize() == 4 ? py::dtype("float32") : py::dtype("float64");
}

/// Long doubles as an array of dtype, each rounded once to a double first
/// (then to float32 where asked: the long double is exact enough for it).
py::array as_dtype(const std::vector<long double>& values, const py::dtype& dt)
{
    py::array_t<double> d(static_cast<py::ssize_t>(values.size()));
    if (dt.kind() == 'f' && dt.itemsize() == 4) {
        py::array_t<float> f(static_cast<py::ssize_t>(values.size()));
        for (std::size_t i = 0; i < values.size(); ++i) {
            f.mutable_data()[i] = static_cast<float>(values[i]);
        }
        return std::move(f);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        d.mutable_data()[i] = static_cast<double>(values[i]);
    }
    if (dt.kind() == 'f' && dt.itemsize() == 8) {
        return std::move(d);
    }
    return d.attr("astype")(dt);
}

enum class moment_kind { sum, mean, variance, stdev };

/// NumPy's where= and initial= of a reduction (None when not given).
struct mask_and_initial {
    py::handle where = py::none();
    py::handle initial = py::none();
};

py::object moment_reduction(const char* operation, moment_kind kind, nan_policy policy, py::handle a,
                            py::handle axis, py::handle dtype, const py::object& out, double ddof,
                            py::handle keepdims_arg, py::handle comm, const mask_and_initial& extra = {})
{
    const bool keepdims = keepdims_of(keepdims_arg);
    if (policy == nan_policy::omit && kind != moment_kind::sum && is_floating_data(a)) {
        // numpy.nanmean, nanvar and nanstd of floats keep to inexact types.
        const auto inexact = [](char kind) { return kind == 'f' || kind == 'c'; };
        if (!dtype.is_none() && !inexact(py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)).kind())) {
            throw py::type_error("If a is inexact, then dtype must be inexact");
        }
        if (py::isinstance<py::array>(out) && !inexact(py::reinterpret_borrow<py::array>(out).dtype().kind())) {
            throw py::type_error("If a is inexact, then out must be inexact");
        }
    }
    if (kind == moment_kind::sum && !dtype.is_none() && !py::isinstance<dist_array>(a)) {
        const py::dtype dt = py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype));
        if (dt.kind() == 'c') {
            // Real data summed into a complex dtype: the total in its real
            // counterpart (complex64: float32), the imaginary part 0.
            const py::object real = numpy().attr("dtype")(py::str(dt.attr("char")).attr("lower")());
            py::object total = moment_reduction(operation, kind, policy, a, axis, real, py::none(), ddof, keepdims_arg,
                                                comm, extra)
                                   .attr("astype")(dt);
            if (py::isinstance<py::array>(out)) {
                out.attr("__setitem__")(py::ellipsis(), total);
                return out;
            }
            return total;
        }
    }
    // The mask's left-out elements: 0 in a sum; NaN, left out, in the
    // others (whose own NaN values, where they propagate, are counted apart).
    const bool masked_nan = !extra.where.is_none() && kind != moment_kind::sum;
    masking mask{extra.where, masked_nan ? left_out::nan : left_out::zero, py::none(),
                 masked_nan && policy == nan_policy::propagate};
    const bool exact_in_float =
        !dtype.is_none() && py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)).kind() == 'f';
    // Integer sums need no tables; whether the data are integers is known
    // only once read: the tables are made for every sum (views, no copy but
    // for awkward layouts).
    const bool squares = kind == moment_kind::variance || kind == moment_kind::stdev;
    // An integer dtype for a sum: each value cast to it, added as integers.
    const char dtype_kind =
        dtype.is_none() ? '\0' : py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)).kind();
    const bool integer_dtype = dtype_kind == 'i' || dtype_kind == 'u';
    const bool integer_sum = kind == moment_kind::sum && !exact_in_float && (integer_dtype || !is_floating_data(a));
    const prepared p = prepare(operation, a, axis, comm, true, true,
                               integer_sum ? accumulator::none
                               : squares   ? accumulator::moments_with_squares
                                           : accumulator::moments,
                               mask);
    const reduction_input& in = p.in;
    const axis_split& split = p.split;
    if (kind == moment_kind::sum && !dtype.is_none() && !integer_sum && in.block.dtype().kind() == 'f' &&
        py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)).kind() != 'f') {
        throw py::type_error(std::string(operation) + ": a dtype of kind '" +
                             std::string(1, py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)).kind()) +
                             "' for floating-point data is not supported");
    }
    if (integer_sum) {
        // Integers add modulo 2^64 as NumPy's do: exact locally, then one
        // MPI_Allreduce of the 64-bit totals where axis 0 is reduced.
        // Floating-point values are each cast to the integer dtype first
        // (NumPy's unsafe cast; NaN is 0 in nansum), and how many casts were
        // invalid rides along with the totals, for NumPy's warning.
        const bool cast_floats = in.block.dtype().kind() == 'f';
        py::array values = in.block;
        std::int64_t invalid = 0;
        if (cast_floats) {
            read_alike(operation, in.comm, [&] {
                values = cast_to_integers(in.block, py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)),
                                          policy == nan_policy::omit, &invalid);
            });
        }
        const bool is_unsigned = !cast_floats && p.given.kind() == 'u'; // bools add up as int64, as NumPy's
        py::tuple axes = py::cast(split.reduced);
        py::array local = numpy().attr("sum")(values.ndim() == 0 ? values.attr("reshape")(1) : py::object(values), axes,
                                              is_unsigned ? "uint64" : "int64");
        local = numpy().attr("ascontiguousarray")(local).attr("reshape")(-1);
        if (cast_floats) {
            local = numpy().attr("append")(local, invalid);
        }
        if (split.distributed_reduced() && in.comm.size > 1 && local.size() > 0) {
            check_mpi(MPI_Allreduce(MPI_IN_PLACE, local.mutable_data(), static_cast<int>(local.size()), MPI_UINT64_T,
                                    MPI_SUM, in.comm.handle),
                      (std::string(operation) + ": adding the totals").c_str());
        }
        if (cast_floats) {
            invalid = local.attr("__getitem__")(-1).cast<std::int64_t>();
            local = local.attr("__getitem__")(py::slice(0, local.size() - 1, 1));
            if (agreed_flags(operation, in.comm, split, invalid != 0 ? 1u : 0u) != 0) {
                warn(PyExc_RuntimeWarning, "invalid value encountered in reduce");
            }
        }
        if (!extra.initial.is_none()) {
            local = numpy().attr("add")(local, numpy().attr("asarray")(extra.initial).attr("astype")(local.dtype()));
        }
        if (!dtype.is_none()) {
            local = local.attr("astype")(dtype);
        }
        return finish(operation, in, split, keepdims, local, out);
    }
    // float16 data give float16, as NumPy's (which computes them in float32).
    const py::dtype result_type =
        dtype.is_none() && p.given.kind() == 'f' && p.given.itemsize() == 2 ? p.given : inexact_dtype(in.block, dtype);
    const bool single = result_type.kind() == 'f' && result_type.itemsize() == 4;
    const auto r = summary_of(operation, p, p.moments.get(), masked_nan ? nan_policy::omit : policy);
    const auto& s = r.summary;
    const std::size_t columns = s ? s->columns() : 0;
    // NaN values a mask keeps: counted over the ranks where axis 0 is
    // reduced (every rank reaches this alike: the blocks' dtypes agree).
    std::vector<std::int64_t> nans(columns, 0);
    if (!p.kept_nans.is_none()) {
        const py::array_t<std::int64_t> counts = p.kept_nans;
        nans.assign(counts.data(), counts.data() + counts.size());
        nans.resize(static_cast<std::size_t>(p.tables.columns));
        if (split.distributed_reduced() && in.comm.size > 1 && !nans.empty()) {
            check_mpi(MPI_Allreduce(MPI_IN_PLACE, nans.data(), static_cast<int>(nans.size()), MPI_INT64_T, MPI_SUM,
                                    in.comm.handle),
                      (std::string(operation) + ": counting the NaN values kept").c_str());
        }
    }
    const double plus = extra.initial.is_none() ? 0.0 : py::float_(py::reinterpret_borrow<py::object>(extra.initial)).cast<double>();
    std::vector<long double> values(columns);
    bool empty_slice = false;
    for (std::size_t j = 0; j < columns; ++j) {
        const std::int64_t n = s->count(j);
        const std::int64_t nan_values = masked_nan ? nans[j] : s->nan_count(j);
        switch (kind) {
        case moment_kind::sum:
            values[j] = static_cast<long double>(s->sum(j)) + plus;
            break;
        case moment_kind::mean:
            // A slice of NaN alone is not empty where NaN propagates.
            empty_slice = empty_slice || (policy == nan_policy::omit ? n : n + nan_values) == 0;
            // float64: the exact total rounded once, divided by the count
            // (NumPy's formula, its sum exact); float32: the exact mean
            // rounded once to float32 (through a long double).
            values[j] = single ? s->precise_mean(j) : static_cast<long double>(s->mean(j));
            break;
        case moment_kind::variance:
        case moment_kind::stdev: {
            const auto total = policy == nan_policy::omit ? n : n + nan_values;
            const bool no_freedom = static_cast<double>(total) - ddof <= 0;
            empty_slice = empty_slice || no_freedom;
            values[j] = kind == moment_kind::variance ? s->variance(ddof, j) : s->stdev(ddof, j);
            if (no_freedom && policy == nan_policy::omit) {
                values[j] = std::numeric_limits<long double>::quiet_NaN(); // nanvar's rule; var divides by 0
            }
            break;
        }
        }
        if (mask.count_nans && nans[j] > 0) {
            values[j] = std::numeric_limits<long double>::quiet_NaN();
        }
    }
    if (agreed_with_failure(operation, p, r, empty_slice ? 1u : 0u) != 0) {
        const bool nan_function = policy == nan_policy::omit;
        warn(PyExc_RuntimeWarning, kind == moment_kind::mean ? (nan_function ? "Mean of empty slice" : "Mean of empty slice.")
                                                             : (nan_function ? "Degrees of freedom <= 0 for slice."
                                                                             : "Degrees of freedom <= 0 for slice"));
    }
    return finish(operation, in, split, keepdims, as_dtype(values, result_type), out);
}

enum class extreme_kind { min, max, ptp, argmin, argmax };

/// Numbers as an array of the block's dtype.
py::array numbers_as(const std::vector<number>& values, const py::dtype& dt)
{
    py::array result(dt, std::vector<py::ssize_t>{static_cast<py::ssize_t>(values.size())});
    number_type type;
    number_type_of_dtype(dt, &type);
    virda::engine::visit_number_type(type, [&](auto* p) {
        using T = std::remove_pointer_t<decltype(p)>;
        T* out = static_cast<T*>(result.mutable_data());
        for (std::size_t i = 0; i < values.size(); ++i) {
            const number& n = values[i];
            out[i] = std::is_floating_point_v<T> ? static_cast<T>(n.floating)
                     : std::is_signed_v<T>       ? static_cast<T>(n.signed_)
                                                 : static_cast<T>(n.unsigned_);
        }
    });
    return result;
}

/// min, max or ptp of the summary's columns in the data's dtype; with
/// `initial`, NumPy's: the initial value takes part in every slice (fmin,
/// fmax leaving NaN out for the nan* forms) and is the result of an empty one.
py::array extreme_values(extreme_kind kind, nan_policy policy, const virda::engine::extremes_summary& s,
                         const py::dtype& dt, py::handle initial)
{
    const std::size_t columns = s.columns();
    std::vector<number> least(columns);
    std::vector<number> greatest(columns);
    for (std::size_t j = 0; j < columns; ++j) {
        least[j] = s.min(j);
        greatest[j] = s.max(j);
    }
    if (kind == extreme_kind::ptp) {
        // In the data's type, integers wrapping around as NumPy's do.
        return numpy().attr("subtract")(numbers_as(greatest, dt), numbers_as(least, dt));
    }
    const bool min = kind == extreme_kind::min;
    py::array result = numbers_as(min ? least : greatest, dt);
    if (initial.is_none()) {
        return result;
    }
    py::array_t<bool> empty(static_cast<py::ssize_t>(columns));
    for (std::size_t j = 0; j < columns; ++j) {
        empty.mutable_data()[j] = s.count(j) + s.nan_count(j) == 0;
    }
    const py::object first = numpy().attr("asarray")(initial).attr("astype")(dt);
    const char* combine = policy == nan_policy::omit ? (min ? "fmin" : "fmax") : (min ? "minimum" : "maximum");
    return numpy().attr("where")(empty, first, numpy().attr(combine)(result, first)).attr("astype")(dt);
}

/// Indices written into out as NumPy's argmin and argmax write them: out
/// must be an ndarray of the result's shape exactly (ValueError) whose dtype
/// the index type casts from safely (TypeError; a 0-d out by its value, as
/// NumPy 1.24 decides), then the indices are stored in its dtype. Local.
py::object positions_into_out(const char* name, const py::object& positions, const py::object& out)
{
    if (!py::isinstance<py::array>(out)) {
        throw py::type_error("output must be an array");
    }
    const py::array target = out;
    const py::array value = numpy().attr("asarray")(positions);
    if (target.ndim() != value.ndim() || !std::equal(value.shape(), value.shape() + value.ndim(), target.shape())) {
        throw py::value_error(std::string("output array does not match result of np.") + name + ".");
    }
    const py::object intp = numpy().attr("intp");
    const py::object from = target.ndim() == 0 ? py::object(target) : py::object(target.dtype());
    if (!numpy().attr("can_cast")(from, intp, "safe").cast<bool>()) {
        throw py::type_error(std::string("Cannot cast ") + (target.ndim() == 0 ? "scalar" : "array data") +
                             " from " + py::repr(target.dtype()).cast<std::string>() + " to " +
                             py::repr(numpy().attr("dtype")(intp)).cast<std::string>() +
                             " according to the rule 'safe'");
    }
    numpy().attr("copyto")(target, value, py::arg("casting") = "unsafe");
    return out;
}

py::object extreme_reduction(const char* operation, extreme_kind kind, nan_policy policy, py::handle a,
                             py::handle axis, const py::object& out, py::handle keepdims_arg, py::handle comm,
                             const mask_and_initial& extra = {})
{
    const bool arg = kind == extreme_kind::argmin || kind == extreme_kind::argmax;
    const bool with_initial = !extra.initial.is_none();
    if (!extra.where.is_none() && !with_initial) {
        throw py::value_error(std::string("reduction operation '") + (kind == extreme_kind::min ? "minimum" : "maximum") +
                              "' does not have an identity, so to use a where mask one has to define 'initial'");
    }
    const prepared p = prepare(operation, a, axis, comm, !arg, true, accumulator::extremes,
                               masking{extra.where, left_out::initial, extra.initial, false});
    if (kind == extreme_kind::ptp && p.given.kind() == 'b') {
        // Alike on every rank: the ranks agreed on the dtype.
        throw py::type_error("numpy boolean subtract, the `-` operator, is not supported, use the bitwise_xor, the "
                             "`^` operator, or the logical_xor function instead.");
    }
    const reduction_input& in = p.in;
    const axis_split& split = p.split;
    const bool keepdims = keepdims_of(keepdims_arg);
    const auto r = summary_of(operation, p, p.extremes.get(), policy);
    const auto& s = r.summary;
    const std::size_t columns = s ? s->columns() : 0;
    py::array result;
    if (s && !arg) {
        result = extreme_values(kind, policy, *s, in.block.dtype(), extra.initial).attr("astype")(p.given);
    }
    // Whether some slice has no elements: decided from the rows of every
    // rank (in the summary) or of this rank for a local reduction.
    bool all_nan = false;
    if (with_initial && s) {
        all_nan = in.block.dtype().kind() == 'f' && numpy().attr("isnan")(result).attr("any")().cast<bool>();
    } else {
        for (std::size_t j = 0; j < columns; ++j) {
            all_nan = all_nan ||
                      (arg ? (kind == extreme_kind::argmin ? s->argmin(j) : s->argmax(j)) < 0 : s->count(j) == 0);
        }
    }
    constexpr unsigned empty_flag = 1;
    constexpr unsigned all_nan_flag = 2;
    const bool empty = columns > 0 && s->rows() == 0 && !with_initial;
    const unsigned flags =
        agreed_with_failure(operation, p, r, (empty ? empty_flag : 0u) | (all_nan ? all_nan_flag : 0u));
    all_nan = (flags & all_nan_flag) != 0;
    if ((flags & empty_flag) != 0) {
        const std::string what = kind == extreme_kind::argmin   ? "argmin"
                                 : kind == extreme_kind::argmax ? "argmax"
                                 : kind == extreme_kind::min    ? "minimum"
                                                                : "maximum";
        if (arg) {
            throw py::value_error("attempt to get " + what + " of an empty sequence");
        }
        throw py::value_error("zero-size array to reduction operation " + what + " which has no identity");
    }
    if (arg) {
        py::array_t<std::int64_t> at(static_cast<py::ssize_t>(columns));
        for (std::size_t j = 0; j < columns; ++j) {
            at.mutable_data()[j] = kind == extreme_kind::argmin ? s->argmin(j) : s->argmax(j);
        }
        if (all_nan) {
            throw py::value_error("All-NaN slice encountered");
        }
        const py::object positions = finish(operation, in, split, keepdims, at, py::none());
        if (out.is_none() || (in.array != nullptr && !split.distributed_reduced())) {
            return positions;
        }
        return positions_into_out(kind == extreme_kind::argmin ? "argmin" : "argmax", positions, out);
    }
    if (all_nan && policy == nan_policy::omit) {
        warn(PyExc_RuntimeWarning, "All-NaN slice encountered");
    }
    if (!s) {
        result = py::array(p.given, std::vector<py::ssize_t>{0});
    }
    return finish(operation, in, split, keepdims, result, out);
}

/// The weighted summary of a and weights of one shape (both NumPy arrays of
/// this rank's values, or both Arrays of one layout), over every element.
/// ZeroDivisionError when the weights sum to zero, as numpy.average.
virda::engine::weighted_summary weighted_of(const char* operation, py::handle a, py::handle weights,
                                            py::handle comm)
{
    if (py::isinstance<dist_array>(a) != py::isinstance<dist_array>(weights)) {
        throw py::type_error(std::string(operation) +
                             ": a and weights must both be Arrays or both NumPy arrays of this rank's values");
    }
    const prepared p = prepare(operation, a, py::none(), comm, true, false);
    const reduction_input& in = p.in;
    py::array w;
    std::vector<std::pair<virda::engine::values_view, virda::engine::values_view>> runs;
    if (in.array != nullptr) {
        auto& wa = weights.cast<dist_array&>();
        if (wa.shape() != in.array->shape() ||
            relation_of(in.array->comm().handle, wa.comm().handle) != comm_relation::same_order) {
            throw py::value_error(std::string(operation) + ": weights must have the shape of the data, over the "
                                                           "data's communicator");
        }
        w = wa.block(operation);
        runs = paired_runs(operation, in.block, w);
    } else {
        read_alike(operation, in.comm, [&] {
            // bool and float16 weights as uint8 and float32 (exact).
            py::dtype given;
            w = engine_values(operation, "weights", weights, &given);
            runs = paired_runs(operation, in.block, w);
        });
    }
    const virda::engine::weighted_summary s = engine_call(operation, [&] {
        virda::engine::weighted_moments wm;
        for (const auto& r : runs) {
            wm.add(r.first, r.second);
        }
        return wm.finish(in.comm.handle);
    });
    if (s.count + s.nan_count == 0 || (s.count > 0 && s.weight_sum == 0.0)) {
        PyErr_SetString(PyExc_ZeroDivisionError,
                        (std::string(operation) + ": Weights sum to zero, can't be normalized").c_str());
        throw py::error_already_set();
    }
    return s;
}

py::object count_nonzero_of(py::handle a, py::handle axis, bool keepdims, py::handle comm)
{
    const char* operation = "count_nonzero";
    const prepared p = prepare(operation, a, axis, comm, true, false);
    const reduction_input& in = p.in;
    const axis_split& split = p.split;
    py::tuple axes = py::cast(split.reduced);
    const py::object block = in.block.ndim() == 0 ? in.block.attr("reshape")(1) : py::object(in.block);
    py::array local = numpy().attr("count_nonzero")(block, axes);
    local = numpy().attr("ascontiguousarray")(local, "int64").attr("reshape")(-1);
    if (split.distributed_reduced() && in.comm.size > 1 && local.size() > 0) {
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, local.mutable_data(), static_cast<int>(local.size()), MPI_INT64_T,
                                MPI_SUM, in.comm.handle),
                  "count_nonzero: adding the counts");
    }
    if (split.all && !keepdims) {
        return py::int_(local.attr("__getitem__")(0));
    }
    return finish(operation, in, split, keepdims, local, py::none());
}

/// numpy.average with weights along `axis` (NumPy arrays of this rank's
/// rows): the sum of the products a * w rounded to `rt`, as NumPy's, over
/// the sum of the weights, both exact totals. The weights have a's shape
/// or, 1-D, lie along one axis (along axis 0: this rank's rows).
py::object array_weighted_average_along(const dist_array& a, py::handle axis, py::handle weights, bool returned,
                                        py::handle keepdims, py::handle comm, const py::object& rt);

py::object weighted_average_along(py::handle a, py::handle axis, py::handle weights, bool returned,
                                  py::handle keepdims, py::handle comm, const py::object& rt)
{
    const char* operation = "average";
    if (py::isinstance<dist_array>(a)) {
        return array_weighted_average_along(a.cast<dist_array&>(), axis, weights, returned, keepdims, comm, rt);
    }
    if (py::isinstance<dist_array>(weights)) {
        throw py::type_error("average: weights that are an Array need a that is an Array of their shape");
    }
    const communicator c = communicator_of(comm);
    py::object products;
    py::object spread;
    read_alike(operation, c, [&] {
        // bool and float16 data as uint8 and float32 (exact); the products
        // are formed in the result dtype, as NumPy's.
        py::dtype given;
        const py::array x = engine_values(operation, "a", a, &given);
        py::array w = numpy().attr("asarray")(weights);
        const py::tuple xs = x.attr("shape");
        if (!py::tuple(w.attr("shape")).equal(xs)) {
            if (w.ndim() != 1) {
                throw py::type_error("1D weights expected when shapes of a and weights differ.");
            }
            const axis_split split = split_axes(axis, static_cast<int>(x.ndim()), false);
            const int along = split.reduced.front();
            if (x.ndim() == 0 || w.shape(0) != x.shape(along)) {
                throw py::value_error("Length of weights not compatible with specified axis.");
            }
            std::vector<py::ssize_t> shape(static_cast<std::size_t>(x.ndim()), 1);
            shape[static_cast<std::size_t>(along)] = w.shape(0);
            w = numpy().attr("broadcast_to")(w.attr("reshape")(py::cast(shape)), xs);
        }
        products = numpy().attr("multiply")(x, w, py::arg("dtype") = rt);
        spread = w.attr("astype")(rt);
    });
    py::object total = moment_reduction(operation, moment_kind::sum, nan_policy::propagate, products, axis, rt,
                                        py::none(), 0, keepdims, comm);
    py::object scl = moment_reduction(operation, moment_kind::sum, nan_policy::propagate, spread, axis, rt,
                                      py::none(), 0, keepdims, comm);
    // Each rank's own rows (axis 0 kept) may differ: agreed, so that every
    // rank raises alike.
    int zero = numpy().attr("any")(numpy().attr("equal")(scl, 0.0)).cast<bool>() ? 1 : 0;
    if (c.size > 1) {
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &zero, 1, MPI_INT, MPI_MAX, c.handle), "average: agreeing on the weights");
    }
    if (zero != 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "Weights sum to zero, can't be normalized");
        throw py::error_already_set();
    }
    py::object avg = numpy().attr("true_divide")(total, scl);
    if (!returned) {
        return avg;
    }
    if (!py::tuple(scl.attr("shape")).equal(py::tuple(avg.attr("shape")))) {
        scl = numpy().attr("broadcast_to")(scl, avg.attr("shape")).attr("copy")();
    }
    return py::make_tuple(avg, scl);
}

/// weighted_average_along for an Array: its block over its communicator,
/// with the weights' rows here (an Array of a's shape over a's
/// communicator, or a NumPy array of a's global shape, read by a's rows) or
/// NumPy's 1-D weights along one axis (along axis 0: the global rows, read by
/// a's rows). A reduction of each rank's own rows gives Arrays of a's layout.
py::object array_weighted_average_along(const dist_array& a, py::handle axis, py::handle weights, bool returned,
                                        py::handle keepdims, py::handle comm, const py::object& rt)
{
    const char* operation = "average";
    if (!comm.is_none()) {
        throw py::type_error("average: comm is for NumPy arrays of this rank's values; an Array is over its own "
                             "communicator");
    }
    require_mpi_running();
    const std::vector<py::ssize_t>& shape = a.shape();
    const int ndim = static_cast<int>(shape.size());
    const axis_split split = split_axes(axis, ndim);
    const auto [first, count] = a.local_rows();
    const py::slice mine(first, first + count, 1);
    // Weights refused on one rank (its own rows of them) are refused on
    // every rank, before the reductions.
    py::object w;
    py::object block;
    read_alike(operation, a.comm(), [&] {
        if (py::isinstance<dist_array>(weights)) {
            const auto& wa = weights.cast<dist_array&>();
            if (wa.shape() != shape || relation_of(a.comm().handle, wa.comm().handle) != comm_relation::same_order) {
                throw py::value_error("average: weights must have the shape of the data, over the data's communicator");
            }
            w = wa.block(operation);
        } else {
            const py::array given = numpy().attr("asarray")(weights);
            const std::vector<py::ssize_t> ws(given.shape(), given.shape() + given.ndim());
            const bool rows_along_0 = ndim > 1 && given.ndim() == 1 && split.reduced.size() == 1 &&
                                      split.reduced.front() == 0 && given.shape(0) == shape.front();
            if (ws == shape || rows_along_0) {
                w = given.attr("__getitem__")(mine);
            } else if (given.ndim() != 1 || split.reduced.size() != 1) {
                throw py::type_error("1D weights expected when shapes of a and weights differ.");
            } else if (split.reduced.front() == 0 || given.shape(0) != shape[static_cast<std::size_t>(split.reduced.front())]) {
                throw py::value_error("Length of weights not compatible with specified axis.");
            } else {
                w = given;
            }
        }
        block = a.block(operation);
    });
    const py::object result =
        weighted_average_along(block, axis, w, returned, keepdims, a.comm().object, rt);
    if (split.distributed_reduced()) {
        return result;
    }
    const bool keep = keepdims_of(keepdims);
    if (!returned) {
        return local_array_result(operation, a, split, keep, result);
    }
    const py::tuple pair = result;
    return py::make_tuple(local_array_result(operation, a, split, keep, pair[0]),
                          local_array_result(operation, a, split, keep, pair[1]));
}

py::object average_of(py::handle a, py::handle axis, py::handle weights, bool returned, py::handle keepdims,
                      py::handle comm)
{
    const char* operation = "average";
    if (weights.is_none()) {
        py::object avg = moment_reduction(operation, moment_kind::mean, nan_policy::propagate, a, axis, py::none(),
                                          py::none(), 0, keepdims, comm);
        if (!returned) {
            return avg;
        }
        // The count of every slice, as the average's dtype.
        const prepared p = prepare(operation, a, axis, comm, true, false);
        const reduction_input& in = p.in;
        const axis_split& split = p.split;
        std::int64_t n = split.reduced_count(block_shape(in.block));
        if (split.distributed_reduced() && in.comm.size > 1) {
            check_mpi(MPI_Allreduce(MPI_IN_PLACE, &n, 1, MPI_INT64_T, MPI_SUM, in.comm.handle),
                      "average: counting the elements");
        }
        py::object scl = numpy().attr("asarray")(avg).attr("dtype").attr("type")(n);
        if (!split.all || keepdims_of(keepdims)) {
            scl = numpy().attr("broadcast_to")(scl, numpy().attr("shape")(avg)).attr("copy")();
        }
        return py::make_tuple(avg, scl);
    }
    // NumPy's result dtype: float64 at least for integers, else the types'
    // common one (float32 data and weights give float32).
    const auto type_of_values = [](py::handle x) {
        return py::isinstance<dist_array>(x) ? dtype_of(x.cast<dist_array&>().type())
                                             : numpy().attr("asarray")(x).attr("dtype").cast<py::dtype>();
    };
    const py::dtype at = type_of_values(a);
    const py::object rt = at.kind() == 'f' ? numpy().attr("result_type")(at, type_of_values(weights))
                                           : numpy().attr("result_type")(at, type_of_values(weights), "f8");
    if (!axis.is_none()) {
        return weighted_average_along(a, axis, weights, returned, keepdims, comm, rt);
    }
    const virda::engine::weighted_summary s = weighted_of(operation, a, weights, comm);
    py::object avg = numpy().attr("asarray")(s.mean).attr("astype")(rt);
    py::object scl = numpy().attr("asarray")(s.weight_sum).attr("astype")(rt);
    if (keepdims_of(keepdims)) {
        const int nd = py::isinstance<dist_array>(a) ? static_cast<int>(a.cast<dist_array&>().shape().size())
                                                     : std::max(1, numpy().attr("ndim")(a).cast<int>());
        const py::tuple ones = py::cast(std::vector<int>(static_cast<std::size_t>(nd), 1));
        avg = avg.attr("reshape")(ones);
        scl = scl.attr("reshape")(ones);
    } else {
        avg = avg.attr("__getitem__")(py::tuple());
        scl = scl.attr("__getitem__")(py::tuple());
    }
    if (returned) {
        return py::make_tuple(avg, scl);
    }
    return avg;
}

} // namespace

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
