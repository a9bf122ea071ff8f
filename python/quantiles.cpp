#include "quantiles.h"

#include "agreed_allocation.h"
#include "argument_checks.h"
#include "axes.h"
#include "communicator.h"
#include "dist_array.h"
#include "local_values.h"
#include "mpi_environment.h"

#include "engine/order_statistics.h"
#include "engine/quantile_method.h"
#include "engine/weighted_quantiles.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace virda::engine;

namespace virda_python {

namespace {

/// Which of the six functions is called.
struct function_kind {
    const char* name;
    bool omit;    // the nan* forms: NaN values are left out
    bool percent; // q in percent
    bool median;
};

constexpr function_kind median_kind{"median", false, false, true};
constexpr function_kind nanmedian_kind{"nanmedian", true, false, true};
constexpr function_kind quantile_kind{"quantile", false, false, false};
constexpr function_kind nanquantile_kind{"nanquantile", true, false, false};
constexpr function_kind percentile_kind{"percentile", false, true, false};
constexpr function_kind nanpercentile_kind{"nanpercentile", true, true, false};

/// The numpy module, imported once (an import per use costs a look-up in
/// the import machinery). Never released, as the interpreter keeps numpy
/// until it ends.
const py::module_& numpy()
{
    static const py::module_* module = new py::module_(py::module_::import("numpy"));
    return *module;
}

/// The probabilities of a median: 0.5 as a 0-d float64 array, made once and
/// read-only.
const py::array& one_half()
{
    static const py::array* half = [] {
        auto* a = new py::array_t<double>(std::vector<py::ssize_t>{});
        *a->mutable_data() = 0.5;
        a->attr("setflags")(py::arg("write") = false);
        return a;
    }();
    return *half;
}

/// `a` as dtype `to`: `a` itself when it has it already.
py::array with_dtype(const py::array& a, const py::dtype& to)
{
    return a.dtype().equal(to) ? a : a.attr("astype")(to).cast<py::array>();
}

/// Whether a method picks one of the values (no interpolation).
bool picks_a_value(quantile_method m)
{
    return m == quantile_method::inverted_cdf || m == quantile_method::closest_observation ||
           m == quantile_method::lower || m == quantile_method::higher || m == quantile_method::nearest;
}

/// This rank's values of a (and of the weights), read as the engine reads
/// them, with the communicator of the call.
struct input {
    py::array block; // this rank's values, at least one axis (a 0-d block as one value)
    py::dtype dtype; // the values' own dtype, which NumPy's result types follow
    number_type type = number_type::float64;
    py::array weights;
    bool weighted = false;
    number_type weight_type = number_type::float64;
    communicator comm;
    bool is_array = false; // an Array, whose communicator is its own
    // Where the reading's agreement travels in the engine's count (see
    // input_of): this rank's refusal, kept until the ranks have agreed, and
    // the agreement to carry.
    std::exception_ptr refusal;
    call_agreement agreement;
    bool agreement_pending = false;
};

/// Raises alike on every rank once the ranks agreed on their reading:
/// MemoryError naming the lowest rank short of memory; else a refusing
/// rank's own exception and, on the others, ValueError naming the lowest
/// of them; else RuntimeError where the ranks' blocks differ in dtype or
/// in shape after the first axis. Nothing when every rank read alike.
void settle_reading(const function_kind& f, const call_agreement& a, const std::exception_ptr& refusal)
{
    if (a.out_of_memory_rank >= 0) {
        PyErr_SetString(PyExc_MemoryError, (std::string(f.name) +
                                            ": memory for the probabilities or values could "
                                            "not be allocated on rank " +
                                            std::to_string(a.out_of_memory_rank))
                                               .c_str());
        throw py::error_already_set();
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    if (a.failed_rank >= 0) {
        throw py::value_error(std::string(f.name) + ": rank " + std::to_string(a.failed_rank) +
                              " could not read its values (its exception says why)");
    }
    if (!a.same_fingerprints) {
        throw std::runtime_error(std::string(f.name) +
                                 ": the ranks hold blocks of different dtypes or shapes after the first axis, or "
                                 "were given different probabilities or methods");
    }
}

/// Reads the values and weights and runs after_read (the axes, the weights'
/// layout, the tables and any copy they need), agreeing over comm whether
/// every rank could: a rank that refuses its block raises its own
/// exception, the others ValueError naming it (settle_reading). With
/// `in_count` on two or more ranks the agreement is left pending in the
/// input, to travel in the engine's count (no collective here; the caller
/// must then reach that count on every rank, a refusing rank too), else one
/// MPI_Allreduce on two or more ranks. `arguments` fingerprints what prepare
/// made of the call's arguments that must be alike on every rank (called
/// only where the agreement travels in the count).
input input_of(const function_kind& f, py::handle a, py::handle weights, py::handle comm,
               const std::function<void()>& prepare, bool shapes_matter, bool in_count,
               const std::function<std::uint64_t()>& arguments,
               const std::function<void(const input&)>& after_read)
{
    input in;
    if (py::isinstance<dist_array>(a)) {
        if (!comm.is_none()) {
            throw py::type_error(std::string(f.name) +
                                 ": comm is for NumPy arrays of this rank's values; an Array is over its own "
                                 "communicator");
        }
        require_mpi_running();
        in.is_array = true;
        in.comm = a.cast<dist_array&>().comm();
    } else {
        in.comm = communicator_of(comm);
    }
    std::exception_ptr refusal;
    bool short_of_memory = false;
    try {
        prepare();
        py::object values =
            in.is_array ? py::object(a.cast<dist_array&>().block(f.name)) : py::reinterpret_borrow<py::object>(a);
        in.block = engine_values(f.name, "a", values, &in.dtype);
        number_type_of_dtype(in.block.dtype(), &in.type);
        if (in.block.ndim() == 0) {
            in.block = in.block.attr("reshape")(1).cast<py::array>();
        }
        if (!weights.is_none()) {
            py::object w = py::isinstance<dist_array>(weights) ? py::object(weights.cast<dist_array&>().block(f.name))
                                                               : py::reinterpret_borrow<py::object>(weights);
            // bool and float16 weights as uint8 and float32 (exact).
            py::dtype given;
            in.weights = engine_values(f.name, "weights", w, &given);
            number_type_of_dtype(in.weights.dtype(), &in.weight_type);
            in.weighted = true;
            if (in.weights.ndim() == 0) {
                in.weights = in.weights.attr("reshape")(1).cast<py::array>();
            }
        }
        after_read(in);
    } catch (const std::bad_alloc&) {
        refusal = std::current_exception();
        short_of_memory = true;
    } catch (py::error_already_set& e) {
        refusal = std::current_exception();
        short_of_memory = e.matches(PyExc_MemoryError);
    } catch (...) {
        refusal = std::current_exception();
    }
    if (in.comm.size > 1) {
        // With the failures, a fingerprint of what must be alike on every
        // rank: the dtypes and, where axes are named, the shapes after the
        // first axis (with axis=None any shape is values).
        std::uint64_t print = 0;
        if (!refusal) {
            std::uint64_t h = (static_cast<std::uint64_t>(in.dtype.num()) * 1000003u + static_cast<std::uint64_t>(in.type)) *
                                  1000003u +
                              static_cast<std::uint64_t>(in.block.ndim());
            for (py::ssize_t i = 1; shapes_matter && i < in.block.ndim(); ++i) {
                h = h * 1000003u + static_cast<std::uint64_t>(in.block.shape(i));
            }
            if (in.weighted) {
                h = h * 1000003u + 17 + static_cast<std::uint64_t>(in.weight_type);
            }
            print = in_count ? (h >> 2) * 1000003u + arguments() : h;
        }
        call_agreement& agreed = in.agreement;
        agreed.failed = static_cast<bool>(refusal);
        agreed.out_of_memory = short_of_memory;
        agreed.fingerprint = print;
        if (in_count) {
            in.refusal = refusal;
            in.agreement_pending = true;
            return in;
        }
        constexpr long long none = std::numeric_limits<long long>::max();
        const auto signed_print = static_cast<long long>(print >> 2);
        const long long mine[4] = {refusal ? in.comm.rank : none, short_of_memory ? in.comm.rank : none,
                                   refusal ? none : signed_print, refusal ? none : -signed_print};
        long long lowest[4] = {none, none, none, none};
        MPI_Allreduce(mine, lowest, 4, MPI_LONG_LONG, MPI_MIN, in.comm.handle);
        agreed.failed_rank = lowest[0] == none ? -1 : static_cast<int>(lowest[0]);
        agreed.out_of_memory_rank = lowest[1] == none ? -1 : static_cast<int>(lowest[1]);
        agreed.same_fingerprints = lowest[2] == -lowest[3];
        settle_reading(f, agreed, refusal);
    }
    if (refusal) {
        std::rethrow_exception(refusal);
    }
    return in;
}

/// Where the reading's agreement is pending (input_of) and this rank
/// refused its block: takes its part in the engine's count, with no
/// values, so that the other ranks learn of the refusal there, and raises
/// as they do.
[[noreturn]] void count_refused(const function_kind& f, input& in)
{
    const order_statistics none(number_type::float64, 1);
    engine_call(f.name, [&] { return none.count(in.comm.handle, -1, &in.agreement); });
    settle_reading(f, in.agreement, in.refusal);
    std::rethrow_exception(in.refusal);
}

/// Whether NumPy's positions of the probabilities are integers, so that it
/// takes the values there without interpolating (an infinity stays itself):
/// integer probabilities (0 or 1) of quantile (not percentile) by a method
/// without fractional plotting positions and other than midpoint.
bool integer_positions(const function_kind& f, const py::array& q, quantile_method m)
{
    const char qkind = q.dtype().kind();
    const bool fractional_positions = m == quantile_method::midpoint || m == quantile_method::hazen ||
                                      m == quantile_method::median_unbiased || m == quantile_method::normal_unbiased;
    return !f.median && !f.percent && !fractional_positions && (qkind == 'i' || qkind == 'u' || qkind == 'b');
}

/// NumPy's result dtype for the method, values and probabilities.
py::dtype result_dtype(const function_kind& f, const py::dtype& values, const py::array& q, quantile_method m)
{
    const char kind = values.kind();
    const bool floating = kind == 'f';
    if (f.median) {
        return floating ? values : py::dtype::of<double>();
    }
    if (picks_a_value(m)) {
        return values;
    }
    // An integer probability (0 or 1) interpolates nothing, in the data's type.
    if (integer_positions(f, q, m)) {
        return values;
    }
    return py::dtype::of<double>();
}

/// The method a call names, with NumPy's handling of the deprecated
/// `interpolation` and of unknown names.
quantile_method method_of(const function_kind& f, const py::object& method, const py::object& interpolation)
{
    py::object chosen = method;
    if (!interpolation.is_none()) {
        if (!(py::isinstance<py::str>(method) && method.cast<std::string>() == "linear")) {
            throw py::type_error("You shall not pass both `method` and `interpolation`!\n"
                                 "(`interpolation` is Deprecated in favor of `method`)");
        }
        warn(PyExc_DeprecationWarning,
             std::string("the `interpolation=` argument to ") + f.name +
                 " was renamed to `method=`, which has additional options.\n"
                 "Users of the modes 'nearest', 'lower', 'higher', or 'midpoint' are encouraged to review the "
                 "method they used. (Deprecated NumPy 1.22)");
        chosen = interpolation;
    }
    quantile_method m = quantile_method::linear;
    if (!py::isinstance<py::str>(chosen) || !quantile_method_named(chosen.cast<std::string>(), &m)) {
        std::string names;
        for (int i = 0; i <= static_cast<int>(quantile_method::nearest); ++i) {
            names += std::string(i > 0 ? ", '" : "'") + name_of(static_cast<quantile_method>(i)) + "'";
        }
        throw py::value_error(py::repr(chosen).cast<std::string>() + " is not a valid method. Use one of: dict_keys([" +
                              names + "])");
    }
    return m;
}

/// The probabilities as NumPy takes them (percent divided by 100), checked.
py::array probabilities_of(const function_kind& f, const py::object& q)
{
    // Real numbers only ("<name>: q ..." otherwise), a mask refused; then
    // the array NumPy makes of them, whose dtype its result types follow.
    // Percentages are checked here and divided by 100 with the values read
    // (a new array, whose allocation the ranks agree on).
    py::array array;
    try {
        array = plain_ndarray(q) ? py::reinterpret_borrow<py::array>(q)
                                             : numpy().attr("asarray")(q).cast<py::array>();
    } catch (const py::error_already_set&) {
        (void)real_numbers(f.name, "q", q); // says what is wrong with q (ragged, ...)
        throw;
    }
    const bool python_reals =
        array.dtype().kind() == 'O' && array.size() > 0 &&
        numpy().attr("all")(numpy().attr("vectorize")(py::module_::import("numbers").attr("Real").attr("__instancecheck__"),
                                                     py::arg("otypes") = "?")(array))
            .cast<bool>();
    if (python_reals) {
        // Real numbers of Python's own types (Fraction, Decimal): their
        // nearest doubles, as NumPy's arithmetic on them compares.
        array = numpy().attr("asarray")(array, "float64").cast<py::array>();
    }
    const doubles as_double = python_reals ? doubles::ensure(array) : real_numbers(f.name, "q", q);
    const auto* v = static_cast<const double*>(as_double.data());
    const double top = f.percent ? 100.0 : 1.0;
    for (py::ssize_t i = 0; i < as_double.size(); ++i) {
        if (!(v[i] >= 0.0 && v[i] <= top)) {
            throw py::value_error(f.percent ? "Percentiles must be in the range [0, 100]"
                                            : "Quantiles must be in the range [0, 1]");
        }
    }
    return array;
}

/// A fingerprint of the probabilities (their shape and bits) and the
/// method, which every rank of a collective call must be given alike.
std::uint64_t probabilities_print(const py::array& probabilities, quantile_method m)
{
    std::uint64_t h = static_cast<std::uint64_t>(m) * 1000003u + static_cast<std::uint64_t>(probabilities.ndim());
    for (py::ssize_t i = 0; i < probabilities.ndim(); ++i) {
        h = h * 1000003u + static_cast<std::uint64_t>(probabilities.shape(i));
    }
    const doubles values = doubles::ensure(probabilities);
    if (!values) {
        PyErr_Clear();
        return h;
    }
    const auto* v = static_cast<const double*>(values.data());
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v[i], sizeof bits);
        h = (h ^ bits) * 0x100000001b3ull;
    }
    return h;
}

py::tuple tuple_of(const std::vector<py::ssize_t>& shape)
{
    py::tuple t(shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) {
        t[i] = py::int_(shape[i]);
    }
    return t;
}

/// A two-axis array (reduced elements x kept elements) as an engine table.
table_view table_of_array(const py::array& t, number_type type)
{
    return {t.data(),
            type,
            static_cast<std::int64_t>(t.shape(0)),
            static_cast<std::int64_t>(t.shape(1)),
            static_cast<std::int64_t>(t.strides(0)),
            static_cast<std::int64_t>(t.strides(1))};
}

/// The block with the reduced axes first, as (reduced elements, kept
/// elements): a view where NumPy can make one, else a copy.
py::array split_of(const py::array& block, const std::vector<int>& reduced, const std::vector<int>& kept)
{
    py::list order;
    py::ssize_t rows = 1;
    py::ssize_t columns = 1;
    for (const int i : reduced) {
        order.append(i);
        rows *= block.shape(i);
    }
    for (const int i : kept) {
        order.append(i);
        columns *= block.shape(i);
    }
    return block.attr("transpose")(order).attr("reshape")(rows, columns).cast<py::array>();
}

/// NumPy's median of the middle values a <= b (b = a for an odd count): the
/// mean of them as numpy.mean computes it in the data's type.
double median_of_middle(const number& a, const number& b, bool two, char dtype_char)
{
    if (!two) {
        return a.as_double();
    }
    if (dtype_char == 'f' || dtype_char == 'e') {
        // float32 (and float16 through a float32 total): the sum rounded to
        // float32, halved.
        const float sum = static_cast<float>(a.floating) + static_cast<float>(b.floating);
        return static_cast<double>(sum / 2.0f);
    }
    return (a.as_double() + b.as_double()) / 2.0;
}

/// x rounded to the nearest float16 value (ties to even; beyond the largest,
/// infinity), as NumPy stores a float16 result.
double to_half(float x)
{
    if (!std::isfinite(x) || x == 0.0f) {
        return x;
    }
    int exponent = 0;
    (void)std::frexp(x, &exponent);
    // float16 has 10 fraction bits; below 2^-14 its values are subnormal.
    const double ulp = std::ldexp(1.0, std::max(exponent - 1, -14) - 10);
    const double rounded = std::nearbyint(static_cast<double>(x) / ulp) * ulp;
    if (std::fabs(rounded) > 65504.0) {
        return std::copysign(std::numeric_limits<double>::infinity(), rounded);
    }
    return rounded;
}

/// interpolate for float16 values: NumPy takes b - a in float16 (computed
/// in float32, rounded to float16), then the interpolation in float64.
double interpolate_half(const number& a, const number& b, double gamma)
{
    const double diff = to_half(static_cast<float>(b.floating) - static_cast<float>(a.floating));
    if (gamma >= 0.5) {
        return b.as_double() - diff * (1 - gamma);
    }
    return a.as_double() + diff * gamma;
}

/// What the counts of a table tell about its slices, for NumPy's warnings,
/// errors and result dtypes: whether some slice is empty, how many slices
/// hold no value but NaN (the nan* forms), whether the first slice has none
/// but NaN, and whether some slice holds a NaN (propagating forms).
struct slice_facts {
    std::int64_t empty = 0;
    std::int64_t all_nan = 0;
    std::int64_t first_all_nan = 0;
    std::int64_t with_nan = 0;
};

slice_facts facts_of_slices(const function_kind& f, const value_counts& counts, std::int64_t columns)
{
    slice_facts s;
    if (columns == 0) {
        return s;
    }
    if (counts.values[0] + counts.nans[0] == 0) {
        s.empty = 1;
        return s;
    }
    for (std::size_t c = 0; c < counts.values.size() && c < static_cast<std::size_t>(columns); ++c) {
        s.all_nan += f.omit && counts.values[c] == 0 ? 1 : 0;
        s.with_nan += counts.nans[c] > 0 ? 1 : 0;
    }
    s.first_all_nan = f.omit && counts.values[0] == 0 ? 1 : 0;
    return s;
}

/// Warns or raises as NumPy does for those slices: an empty median warns
/// twice (the mean of no values, then its division), the nan* forms once
/// per all-NaN slice unless every axis is reduced.
void act_on_slices(const function_kind& f, const slice_facts& s, bool every_axis, bool scalar)
{
    if (s.empty != 0) {
        if (!f.omit && !f.median) {
            throw py::index_error("cannot do a non-empty take from an empty axes.");
        }
        warn(PyExc_RuntimeWarning, f.omit ? "Mean of empty slice" : "Mean of empty slice.");
        if (!f.omit) {
            warn(PyExc_RuntimeWarning,
                 scalar ? "invalid value encountered in scalar divide" : "invalid value encountered in divide");
        }
        return;
    }
    const std::int64_t times = every_axis ? std::min<std::int64_t>(s.all_nan, 1) : s.all_nan;
    for (std::int64_t i = 0; i < times; ++i) {
        warn(PyExc_RuntimeWarning, "All-NaN slice encountered");
    }
}

/// The results of a (reduced x kept) table: result[i][c] for probability i
/// and column c, as NumPy's values of dtype `out` (float64 or the data's
/// own type), in a (nq, columns) array, with what the counts tell of the
/// slices in `facts`. Collective over `agreeing` where axis 0 is reduced,
/// else one agreement over it on the slices.
py::array reduce_table(const function_kind& f, const reduction_tables& tables, const py::array* table,
                       const py::array* weight_table, number_type weight_type, const py::array& probabilities,
                       quantile_method m, bool at_integers, const py::dtype& out, char data_char,
                       const communicator& agreeing,
                       const axis_split& split, bool scalar, slice_facts* facts, call_agreement* reading)
{
    const MPI_Comm comm = split.distributed_reduced() ? agreeing.handle : MPI_COMM_SELF;
    const number_type type = tables.type;
    const std::int64_t columns = table != nullptr ? static_cast<std::int64_t>(table->shape(1)) : tables.columns;
    const std::int64_t engine_columns = std::max<std::int64_t>(columns, 1);
    const auto nq = static_cast<py::ssize_t>(probabilities.size());
    const nan_policy policy = f.omit ? nan_policy::omit : nan_policy::propagate;
    const bool has_rows = table != nullptr && table->shape(0) > 0 && columns > 0;
    order_statistics os(type, engine_columns);
    value_counts counts;
    // Each rank's own rows: a rank that cannot count them (memory, its
    // counts) fails in the agreement below with the others, not alone.
    std::exception_ptr failure;
    const auto add = [&] {
        engine_call(f.name, [&] {
            if (table == nullptr) {
                tables.add_to(os);
            } else if (has_rows) {
                os.add(table_of_array(*table, type));
            }
        });
    };
    if (reading != nullptr) {
        // The reading's agreement, pending, travels in the count with this
        // rank's own failure to add its values.
        std::exception_ptr refused;
        try {
            add();
        } catch (const std::bad_alloc&) {
            refused = std::current_exception();
            reading->out_of_memory = true;
        } catch (py::error_already_set& e) {
            refused = std::current_exception();
            reading->out_of_memory = e.matches(PyExc_MemoryError);
        } catch (...) {
            refused = std::current_exception();
        }
        reading->failed = static_cast<bool>(refused);
        counts = engine_call(f.name, [&] { return os.count(comm, -1, reading); });
        settle_reading(f, *reading, refused);
    } else {
        try {
            add();
            counts = engine_call(f.name, [&] { return os.count(comm); });
        } catch (...) {
            if (split.distributed_reduced()) {
                throw;
            }
            failure = std::current_exception();
        }
    }
    // Decided from the global counts, or for a reduction of each rank's own
    // rows from every rank's (one MPI_Allreduce), so that every rank warns
    // or raises alike and none is left in the agreement below alone.
    slice_facts& s = *facts;
    if (!failure) {
        s = facts_of_slices(f, counts, columns);
    }
    // Each rank's own rows: NumPy's first slice is the first of the lowest
    // rank holding any, found from one bit per rank in the sums for the
    // first 62 ranks; where every rank holding rows lies beyond them, from
    // one more reduction (a minimum over 2 rank + flag).
    const bool local = !split.distributed_reduced();
    const bool holds = local && columns > 0;
    const std::int64_t bit = agreeing.rank < 62 ? std::int64_t{1} << agreeing.rank : 0;
    std::int64_t agreed[7] = {s.empty, s.all_nan, local ? (s.first_all_nan != 0 ? bit : 0) : s.first_all_nan,
                              s.with_nan, failure ? 1 : 0, holds ? bit : 0, holds ? 1 : 0};
    agreed_counts(f.name, agreeing, split, agreed, 7);
    if (local && agreed[5] == 0 && agreed[6] != 0) {
        std::int64_t lowest = holds ? 2 * std::int64_t{agreeing.rank} + (s.first_all_nan != 0 ? 1 : 0)
                                    : std::numeric_limits<std::int64_t>::max();
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &lowest, 1, MPI_INT64_T, MPI_MIN, agreeing.handle),
                  (std::string(f.name) + ": agreeing on the first slice").c_str());
        agreed[2] = lowest & 1;
    } else if (local) {
        agreed[2] = (agreed[2] & agreed[5] & -agreed[5]) != 0 ? 1 : 0;
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
    if (agreed[4] != 0) {
        throw py::value_error(std::string(f.name) + ": " + std::to_string(agreed[4]) +
                              " other rank(s) could not count their values (their exceptions say why)");
    }
    s = {agreed[0], agreed[1], agreed[2], agreed[3]};
    act_on_slices(f, s, split.kept.empty(), scalar);

    // The buffers the probabilities size, agreed over the ranks (before the
    // selection's collectives) when they are large: their size is the same
    // on every rank for a collective reduction.
    const bool integral = out.kind() == 'i' || out.kind() == 'u';
    std::vector<double> qs;
    // Only the one the result's kind takes is made (a default array_t would
    // be an empty NumPy array made for nothing).
    auto reals = py::reinterpret_borrow<py::array_t<double>>(py::handle());
    auto integers = py::reinterpret_borrow<py::array_t<std::int64_t>>(py::handle());
    std::vector<std::vector<quantile_position>> where(static_cast<std::size_t>(engine_columns));
    std::vector<std::vector<std::uint64_t>> ranks(static_cast<std::size_t>(engine_columns));
    const std::size_t agreed_columns = comm == MPI_COMM_SELF ? 1 : static_cast<std::size_t>(engine_columns);
    allocate_together(
        f.name, std::to_string(nq) + " probabilities",
        static_cast<std::size_t>(nq) * (sizeof(double) + agreed_columns * 64), agreeing, [&] {
            const auto* p = static_cast<const double*>(probabilities.data());
            qs.assign(p, p + nq);
            if (integral) {
                integers = py::array_t<std::int64_t>({nq, static_cast<py::ssize_t>(columns)});
            } else {
                reals = py::array_t<double>({nq, static_cast<py::ssize_t>(columns)});
            }
            for (std::size_t c = 0; c < static_cast<std::size_t>(columns) && !weight_table; ++c) {
                where[c].reserve(static_cast<std::size_t>(nq));
                ranks[c].reserve(2 * static_cast<std::size_t>(nq));
            }
        });
    double* r = integral ? nullptr : reals.mutable_data();
    std::int64_t* z = integral ? integers.mutable_data() : nullptr;
    const auto put = [&](std::size_t i, std::size_t c, const number* exact, double value) {
        const std::size_t at = i * static_cast<std::size_t>(columns) + c;
        if (integral) {
            z[at] = exact == nullptr                  ? static_cast<std::int64_t>(value)
                    : facts_of(exact->type).is_signed ? exact->signed_
                                                      : static_cast<std::int64_t>(exact->unsigned_);
        } else {
            r[at] = exact == nullptr ? value : exact->as_double();
        }
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();

    if (weight_table != nullptr) {
        weighted_quantiles wq(type, weight_type, engine_columns);
        if (has_rows) {
            engine_call(f.name,
                        [&] { wq.add(table_of_array(*table, type), table_of_array(*weight_table, weight_type)); });
        }
        const auto found = engine_call(f.name, [&] { return wq.select(qs, comm, policy); });
        for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) {
            for (std::size_t i = 0; i < qs.size(); ++i) {
                const weighted_quantile& w = found[c][i];
                put(i, c, w.nan ? nullptr : &w.value, nan);
            }
        }
        return integral ? with_dtype(integers, out) : with_dtype(reals, out);
    }

    for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) {
        const auto n = static_cast<std::uint64_t>(counts.values[c]);
        if (n == 0 || (policy == nan_policy::propagate && counts.nans[c] > 0)) {
            continue;
        }
        if (f.median) {
            quantile_position p;
            p.below = (n - 1) / 2;
            p.above = n / 2;
            p.exact = n % 2 == 1;
            where[c].push_back(p);
        } else {
            for (const double q : qs) {
                where[c].push_back(position_of(q, n, m));
            }
        }
        for (const quantile_position& p : where[c]) {
            ranks[c].push_back(p.below);
            ranks[c].push_back(p.above);
        }
    }
    const auto found = engine_call(f.name, [&] { return os.select(counts, ranks, comm); });
    for (std::size_t c = 0; c < static_cast<std::size_t>(columns); ++c) {
        for (std::size_t i = 0; i < qs.size(); ++i) {
            if (where[c].empty()) {
                put(i, c, nullptr, nan);
                continue;
            }
            const quantile_position& p = where[c][i];
            const number& a = found[c][2 * i];
            const number& b = found[c][2 * i + 1];
            if (f.median) {
                put(i, c, nullptr, median_of_middle(a, b, !p.exact, data_char));
            } else if (p.exact || at_integers) {
                put(i, c, &a, 0);
            } else {
                put(i, c, nullptr, data_char == 'e' ? interpolate_half(a, b, p.gamma) : interpolate(a, b, p.gamma));
            }
        }
    }
    return integral ? with_dtype(integers, out) : with_dtype(reals, out);
}

/// The weights laid out as the block: the same shape, or (NumPy's rule for
/// one axis) a 1-D array along that axis.
py::array weights_as_block(const function_kind& f, const py::array& weights, const py::array& block,
                           const py::object& axis, const axis_split& split)
{
    const std::vector<py::ssize_t> ws(weights.shape(), weights.shape() + weights.ndim());
    const std::vector<py::ssize_t> bs(block.shape(), block.shape() + block.ndim());
    if (ws == bs) {
        return weights;
    }
    if (axis.is_none()) {
        throw py::type_error(std::string(f.name) + ": Axis must be specified when shapes of a and weights differ.");
    }
    if (weights.ndim() != 1 || py::isinstance<py::tuple>(axis)) {
        throw py::type_error(std::string(f.name) + ": 1D weights expected when shapes of a and weights differ.");
    }
    if (split.reduced.size() != 1) {
        throw py::type_error(std::string(f.name) + ": 1D weights expected when shapes of a and weights differ.");
    }
    const int along = split.reduced[0];
    if (weights.shape(0) != block.shape(along)) {
        throw py::value_error(std::string(f.name) + ": Length of weights not compatible with specified axis.");
    }
    std::vector<py::ssize_t> shape(static_cast<std::size_t>(block.ndim()), 1);
    shape[static_cast<std::size_t>(along)] = weights.shape(0);
    py::object reshaped = weights.attr("reshape")(tuple_of(shape));
    return numpy().attr("broadcast_to")(reshaped, tuple_of(bs)).cast<py::array>();
}

py::object quantiles_call(const function_kind& f, py::object a, py::object q, py::object axis, py::object out,
                          py::object method, bool keepdims, py::object weights, py::object interpolation,
                          py::object comm)
{
    quantile_method m = quantile_method::linear;
    py::array probabilities;
    // With every axis reduced over two or more ranks the ranks agree on
    // their reading in the engine's count (every engine column is then
    // one, so a refusing rank knows its record's length).
    const bool in_count = axis.is_none();
    std::vector<py::ssize_t> shape;
    axis_split split;
    py::array weight_block;
    reduction_tables tables;
    py::array table;
    py::array weight_table;
    bool one_table = false;
    input in = input_of(
        f, a, weights, comm,
        [&] {
            // The arguments are checked with the values, so that one rank's
            // refusal of them reaches the others' agreement too.
            if (!f.median) {
                m = method_of(f, method, interpolation);
            }
            probabilities = f.median ? one_half() : probabilities_of(f, q);
            if (!weights.is_none() && m != quantile_method::inverted_cdf) {
                throw py::value_error(std::string("Only method 'inverted_cdf' supports weights. Got: ") +
                                      name_of(m) + ".");
            }
            if (f.percent) {
                probabilities =
                    numpy().attr("asarray")(numpy().attr("true_divide")(probabilities, 100)).cast<py::array>();
            }
        },
        !axis.is_none(), in_count, [&] { return probabilities_print(probabilities, m); },
        [&](const input& read) {
            if (read.dtype.kind() == 'b' && !f.median && result_dtype(f, read.dtype, probabilities, m).kind() != 'b') {
                // NumPy interpolates by subtracting the two values: refused for bool.
                throw py::type_error("numpy boolean subtract, the `-` operator, is not supported, use the bitwise_xor, "
                                     "the `^` operator, or the logical_xor function instead.");
            }
            shape = block_shape(read.block);
            split = split_axes(axis, static_cast<int>(shape.size()));
            if (read.weighted) {
                weight_block = weights_as_block(f, read.weights, read.block, axis, split);
            }
            // Every axis reduced: the block's tables in place. Otherwise (and
            // with weights, which must pair with the values element by
            // element) the block with its reduced axes first as one table: a
            // view where NumPy can make one, else a copy.
            one_table = read.weighted || !split.kept.empty();
            if (one_table) {
                table = split_of(read.block, split.reduced, split.kept);
                tables.type = read.type;
                if (read.weighted) {
                    weight_table = split_of(weight_block, split.reduced, split.kept);
                }
            } else {
                tables = tables_for(read.block, split);
            }
        });
    if (in.agreement_pending && in.refusal) {
        count_refused(f, in);
    }
    const bool collective = split.distributed_reduced();
    if (!collective && in.is_array && probabilities.ndim() > 0) {
        throw py::value_error(std::string(f.name) +
                              ": an Array reduced along axes other than 0 takes one probability at a time (the "
                              "result's first axis must be its rows)");
    }
    const py::dtype dtype = result_dtype(f, in.dtype, probabilities, m);
    // In C order, so that their data is the ravelled probabilities.
    py::array qs_array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(probabilities);
    if (!qs_array) {
        qs_array = numpy().attr("asarray")(probabilities, "float64").attr("ravel")().cast<py::array>();
    }

    const char data_char =
        in.dtype.kind() == 'f' ? (in.dtype.itemsize() == 8 ? 'd' : in.dtype.itemsize() == 2 ? 'e' : 'f') : 'i';
    const bool scalar = probabilities.ndim() == 0 && split.kept.empty() && !keepdims;
    slice_facts facts;
    py::array flat = reduce_table(f, tables, one_table ? &table : nullptr, in.weighted ? &weight_table : nullptr,
                                  in.weight_type, qs_array, m, integer_positions(f, probabilities, m), dtype, data_char, in.comm,
                                  split, scalar, &facts, in.agreement_pending ? &in.agreement : nullptr);
    // NumPy gives NaN in the data's float type where its first slice has
    // no value (nan* forms) or, for one number, where a NaN propagates.
    const bool nan_in_data_type = in.dtype.kind() == 'f' && !dtype.equal(in.dtype) &&
                                  (f.omit ? facts.first_all_nan != 0
                                          : facts.with_nan != 0 && probabilities.ndim() == 0 &&
                                                split.kept.empty() && out.is_none());
    if (nan_in_data_type) {
        flat = flat.attr("astype")(in.dtype).cast<py::array>();
    }

    // NumPy's shape: the probabilities' axes, then the kept axes (the
    // reduced ones as 1 with keepdims).
    std::vector<py::ssize_t> result_shape(probabilities.shape(), probabilities.shape() + probabilities.ndim());
    const std::vector<py::ssize_t> rest = split.result_shape(shape, keepdims);
    result_shape.insert(result_shape.end(), rest.begin(), rest.end());
    if (!collective && in.is_array) {
        const py::array rows = flat.attr("reshape")(tuple_of(rest)).cast<py::array>();
        return local_array_result(f.name, a.cast<dist_array&>(), split, keepdims, rows);
    }
    py::object result;
    if (result_shape.empty()) {
        // NumPy's scalar: the one element of the (1, 1) table.
        result = py::reinterpret_steal<py::object>(PySequence_GetItem(flat.ptr(), 0));
        if (result) {
            result = py::reinterpret_steal<py::object>(PySequence_GetItem(result.ptr(), 0));
        }
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

const char* const common_doc = R"doc(
a is an Array (its communicator is used) or a NumPy array of this rank's rows
with comm (an mpi4py intracommunicator, default MPI.COMM_WORLD); every rank's
block has the same trailing shape and dtype. axis None or an axis set holding
0 is collective: the result, the same on every rank, is NumPy's for the
gathered array, exact (order statistics of the data, interpolated as NumPy
does). Other axes are each rank's own rows (for an Array, a new Array of
its layout). overwrite_input is accepted and ignored.)doc";

} // namespace

void bind_quantiles(py::module_& m)
{
    const auto quantile_like = [&m](const char* name, const function_kind& f, const char* q_name, const char* doc) {
        m.def(
            name,
            [f](py::object a, py::object q, py::object axis, py::object out, bool, py::object method, bool keepdims,
                py::object weights, py::object interpolation, py::object comm) {
                return quantiles_call(f, a, q, axis, out, method, keepdims, weights, interpolation, comm);
            },
            py::arg("a"), py::arg(q_name), py::arg("axis") = py::none(), py::arg("out") = py::none(),
            py::arg("overwrite_input") = false, py::arg("method") = "linear", py::arg("keepdims") = false,
            py::kw_only(), py::arg("weights") = py::none(), py::arg("interpolation") = py::none(),
            py::arg("comm") = py::none(), (std::string(doc) + common_doc).c_str());
    };
    quantile_like("quantile", quantile_kind, "q", R"doc(
numpy.quantile over every rank's rows: the q-th quantiles (q in [0, 1],
a scalar or an array) by any of NumPy's 13 methods (interpolation= is the
deprecated alias). weights= (as NumPy 2, method 'inverted_cdf' only): the
smallest value whose cumulative weight reaches q times the total, totals
exact; non-negative finite weights of a's shape, or 1-D along a single axis.)doc");
    quantile_like("percentile", percentile_kind, "q", R"doc(
numpy.percentile over every rank's rows: quantile(a, q / 100).)doc");
    quantile_like("nanquantile", nanquantile_kind, "q", R"doc(
numpy.nanquantile over every rank's rows: quantile leaving NaN values out
(with their weights).)doc");
    quantile_like("nanpercentile", nanpercentile_kind, "q", R"doc(
numpy.nanpercentile over every rank's rows: nanquantile(a, q / 100).)doc");

    const auto median_like = [&m](const char* name, const function_kind& f, const char* doc) {
        m.def(
            name,
            [f](py::object a, py::object axis, py::object out, bool, bool keepdims, py::object comm) {
                return quantiles_call(f, a, py::none(), axis, out, py::str("linear"), keepdims, py::none(), py::none(),
                                      comm);
            },
            py::arg("a"), py::arg("axis") = py::none(), py::arg("out") = py::none(), py::arg("overwrite_input") = false,
            py::arg("keepdims") = false, py::kw_only(), py::arg("comm") = py::none(),
            (std::string(doc) + common_doc).c_str());
    };
    median_like("median", median_kind, R"doc(
numpy.median over every rank's rows: the middle value, or the mean of the two
middle values as numpy.mean takes it in the data's type. A weighted median is
quantile(a, 0.5, method='inverted_cdf', weights=w).)doc");
    median_like("nanmedian", nanmedian_kind, R"doc(
numpy.nanmedian over every rank's rows: median leaving NaN values out.)doc");
}

} // namespace virda_python
