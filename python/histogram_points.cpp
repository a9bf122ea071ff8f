#include "histogram_points.h"

#include "call_communicator.h"
#include "dist_array.h"
#include "local_values.h"
#include "mpi_environment.h"

#include "engine/extremes.h"
#include "engine/histogram_dd.h"

#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace virda_python::histogram_detail {

namespace {

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

} // namespace

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
                     bool as_double)
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

} // namespace virda_python::histogram_detail
