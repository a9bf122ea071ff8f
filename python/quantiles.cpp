#include "quantiles.h"

#include "axes.h"
#include "dist_array.h"
#include "long_double_quantiles.h"
#include "long_double_reductions.h"
#include "numpy_module.h"
#include "quantile_arguments.h"
#include "quantile_functions.h"
#include "quantile_reading.h"
#include "quantile_result_types.h"
#include "quantile_selection.h"
#include "quantile_slices.h"
#include "quantile_tables.h"

#include <pybind11/numpy.h>

#include <string>
#include <vector>

namespace py = pybind11;
using namespace virda::engine;

namespace virda_python {

namespace {

py::object quantiles_call(const function_kind& f, py::object a, py::object q, py::object axis, py::object out,
                          py::object method, bool keepdims, py::object weights, py::object interpolation,
                          py::object comm)
{
    if (is_long_double_data(a)) {
        return long_double_quantiles(f, a, q, axis, out, method, keepdims, weights, interpolation, comm);
    }
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
    quantile_input in = quantile_input_of(
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
        [&](const quantile_input& read) {
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
