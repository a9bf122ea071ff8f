#include "extreme_reductions.h"

#include "arg_reductions.h"
#include "local_values.h"
#include "long_double_reductions.h"
#include "numpy_module.h"
#include "reduction_result_types.h"
#include "reduction_results.h"
#include "reduction_summary.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

namespace py = pybind11;
using virda::engine::nan_policy;
using virda::engine::number;

namespace virda_python {

namespace {

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

} // namespace

void raise_empty_extreme(extreme_kind kind)
{
    const bool arg = kind == extreme_kind::argmin || kind == extreme_kind::argmax;
    const std::string what = kind == extreme_kind::argmin   ? "argmin"
                             : kind == extreme_kind::argmax ? "argmax"
                             : kind == extreme_kind::min    ? "minimum"
                                                            : "maximum";
    if (arg) {
        throw py::value_error("attempt to get " + what + " of an empty sequence");
    }
    throw py::value_error("zero-size array to reduction operation " + what + " which has no identity");
}

py::object extreme_reduction(const char* operation, extreme_kind kind, nan_policy policy, py::handle a, py::handle axis,
                             const py::object& out, py::handle keepdims_arg, py::handle comm,
                             const mask_and_initial& extra)
{
    if (is_long_double_data(a)) {
        return long_double_extremes(operation, kind, policy, a, axis, out, keepdims_arg, comm, extra);
    }
    const bool arg = kind == extreme_kind::argmin || kind == extreme_kind::argmax;
    const bool with_initial = !extra.initial.is_none();
    if (!extra.where.is_none() && !with_initial) {
        throw py::value_error(std::string("reduction operation '") +
                              (kind == extreme_kind::min ? "minimum" : "maximum") +
                              "' does not have an identity, so to use a where mask one has to define 'initial'");
    }
    const prepared p = prepare_reduction(operation, a, axis, comm, !arg, true, accumulator::extremes,
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
            all_nan =
                all_nan || (arg ? (kind == extreme_kind::argmin ? s->argmin(j) : s->argmax(j)) < 0 : s->count(j) == 0);
        }
    }
    constexpr unsigned empty_flag = 1;
    constexpr unsigned all_nan_flag = 2;
    const bool empty = columns > 0 && s->rows() == 0 && !with_initial;
    const unsigned flags =
        agreed_with_failure(operation, p, r, (empty ? empty_flag : 0u) | (all_nan ? all_nan_flag : 0u));
    all_nan = (flags & all_nan_flag) != 0;
    if ((flags & empty_flag) != 0) {
        raise_empty_extreme(kind);
    }
    if (arg) {
        return positions_result(operation, kind == extreme_kind::argmin, s, all_nan, p, keepdims, out);
    }
    if (all_nan && policy == nan_policy::omit) {
        warn(PyExc_RuntimeWarning, "All-NaN slice encountered");
    }
    if (!s) {
        result = py::array(p.given, std::vector<py::ssize_t>{0});
    }
    return finish_reduction(operation, in, split, keepdims, result, out);
}

} // namespace virda_python
