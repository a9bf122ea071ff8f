#include "moment_reductions.h"

#include "integer_totals.h"
#include "long_double_reductions.h"
#include "local_values.h"
#include "numpy_module.h"
#include "prepared_reduction.h"
#include "reduction_result_types.h"
#include "reduction_results.h"
#include "reduction_summary.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace py = pybind11;
using virda::engine::nan_policy;

namespace virda_python {

py::object moment_reduction(const char* operation, moment_kind kind, nan_policy policy, py::handle a, py::handle axis,
                            py::handle dtype, const py::object& out, double ddof, py::handle keepdims_arg,
                            py::handle comm, const mask_and_initial& extra)
{
    if (is_long_double_data(a)) {
        return long_double_moments(operation, kind, policy, a, axis, dtype, out, ddof, keepdims_arg, comm, extra);
    }
    const bool keepdims = keepdims_of(keepdims_arg);
    // The kind of the dtype asked for ('\0' for none).
    const char dtype_kind =
        dtype.is_none() ? '\0' : py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype)).kind();
    if (policy == nan_policy::omit && kind != moment_kind::sum && is_floating_data(a)) {
        // numpy.nanmean, nanvar and nanstd of floats keep to inexact types.
        const auto inexact = [](char kind) { return kind == 'f' || kind == 'c'; };
        if (dtype_kind != '\0' && !inexact(dtype_kind)) {
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
            py::object total =
                moment_reduction(operation, kind, policy, a, axis, real, py::none(), ddof, keepdims_arg, comm, extra)
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
    const bool exact_in_float = dtype_kind == 'f';
    // Integer sums need no tables; whether the data are integers is known
    // only once read: the tables are made for every sum (views, no copy but
    // for awkward layouts).
    const bool squares = kind == moment_kind::variance || kind == moment_kind::stdev;
    // An integer dtype for a sum: each value cast to it, added as integers.
    const bool integer_dtype = dtype_kind == 'i' || dtype_kind == 'u';
    const bool integer_sum = kind == moment_kind::sum && !exact_in_float && (integer_dtype || !is_floating_data(a));
    const prepared p = prepare_reduction(operation, a, axis, comm, true, true,
                                         integer_sum ? accumulator::none
                                         : squares   ? accumulator::moments_with_squares
                                                     : accumulator::moments,
                                         mask);
    const reduction_input& in = p.in;
    const axis_split& split = p.split;
    if (kind == moment_kind::sum && !dtype.is_none() && !integer_sum && in.block.dtype().kind() == 'f' &&
        dtype_kind != 'f') {
        throw py::type_error(std::string(operation) + ": a dtype of kind '" + std::string(1, dtype_kind) +
                             "' for floating-point data is not supported");
    }
    if (integer_sum) {
        return sum_as_integers(operation, p, policy, dtype, extra.initial, keepdims, out);
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
        summed_over_ranks(operation, "counting the NaN values kept", p, nans.data(), nans.size(), MPI_INT64_T);
    }
    const double plus =
        extra.initial.is_none() ? 0.0 : py::float_(py::reinterpret_borrow<py::object>(extra.initial)).cast<double>();
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
        warn(PyExc_RuntimeWarning,
             kind == moment_kind::mean
                 ? (nan_function ? "Mean of empty slice" : "Mean of empty slice.")
                 : (nan_function ? "Degrees of freedom <= 0 for slice." : "Degrees of freedom <= 0 for slice"));
    }
    return finish_reduction(operation, in, split, keepdims, as_dtype(values, result_type), out);
}

} // namespace virda_python
