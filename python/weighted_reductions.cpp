#include "weighted_reductions.h"

#include "call_communicator.h"
#include "communicator.h"
#include "dist_array.h"
#include "local_values.h"
#include "moment_reductions.h"
#include "mpi_environment.h"
#include "numpy_module.h"
#include "prepared_reduction.h"
#include "reduction_results.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using virda::engine::nan_policy;

namespace virda_python {

virda::engine::weighted_summary weighted_of(const char* operation, py::handle a, py::handle weights, py::handle comm)
{
    if (py::isinstance<dist_array>(a) != py::isinstance<dist_array>(weights)) {
        throw py::type_error(std::string(operation) +
                             ": a and weights must both be Arrays or both NumPy arrays of this rank's values");
    }
    py::array w;
    std::vector<std::pair<virda::engine::values_view, virda::engine::values_view>> runs;
    // NumPy weights are read with the data, agreed in the same exchange.
    side_reading side;
    if (!py::isinstance<dist_array>(a)) {
        side.what = "weights";
        side.read = [&](const reduction_input& in) {
            // bool and float16 weights as uint8 and float32 (exact).
            py::dtype given;
            w = engine_values(operation, "weights", weights, &given);
            runs = paired_runs(operation, in.block, w);
        };
    }
    const prepared p = prepare_reduction(operation, a, py::none(), comm, true, false, accumulator::none, {}, side);
    const reduction_input& in = p.in;
    if (in.array != nullptr) {
        auto& wa = weights.cast<dist_array&>();
        if (wa.shape() != in.array->shape() ||
            relation_of(in.array->comm().handle, wa.comm().handle) != comm_relation::same_order) {
            throw py::value_error(std::string(operation) + ": weights must have the shape of the data, over the "
                                                           "data's communicator");
        }
        w = wa.block(operation);
        runs = paired_runs(operation, in.block, w);
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

namespace {

/// numpy.average with weights along `axis` (NumPy arrays of this rank's
/// rows): the sum of the products a * w rounded to `rt`, as NumPy's, over
/// the sum of the weights, both exact totals. The weights have a's shape
/// or, 1-D, lie along one axis (along axis 0: this rank's rows).
py::object array_weighted_average_along(const dist_array& a, py::handle axis, py::handle weights, bool returned,
                                        py::handle keepdims, py::handle comm, const py::object& rt);

py::object weighted_average_along(py::handle a, py::handle axis, py::handle weights, bool returned, py::handle keepdims,
                                  py::handle comm, const py::object& rt)
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
    py::object scl = moment_reduction(operation, moment_kind::sum, nan_policy::propagate, spread, axis, rt, py::none(),
                                      0, keepdims, comm);
    // Each rank's own rows (axis 0 kept) may differ: agreed, so that every
    // rank raises alike.
    int zero = numpy().attr("any")(numpy().attr("equal")(scl, 0.0)).cast<bool>() ? 1 : 0;
    if (c.size > 1) {
        check_mpi(MPI_Allreduce(MPI_IN_PLACE, &zero, 1, MPI_INT, MPI_MAX, c.handle),
                  "average: agreeing on the weights");
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
    check_array_call(operation, comm);
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
            } else if (split.reduced.front() == 0 ||
                       given.shape(0) != shape[static_cast<std::size_t>(split.reduced.front())]) {
                throw py::value_error("Length of weights not compatible with specified axis.");
            } else {
                w = given;
            }
        }
        block = a.block(operation);
    });
    const py::object result = weighted_average_along(block, axis, w, returned, keepdims, a.comm().object, rt);
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

} // namespace

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
        const prepared p = prepare_reduction(operation, a, axis, comm, true, false);
        const reduction_input& in = p.in;
        const axis_split& split = p.split;
        std::int64_t n = split.reduced_count(block_shape(in.block));
        summed_over_ranks(operation, "counting the elements", p, &n, 1, MPI_INT64_T);
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

} // namespace virda_python
