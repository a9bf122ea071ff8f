#include "local_values.h"

#include "element_types.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace py = pybind11;
using virda::engine::number_type;
using virda::engine::table_view;
using virda::engine::values_view;

namespace virda_python {

namespace {

bool is_little_endian()
{
    const std::uint16_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

/// One axis: how many elements and the bytes from one to the next.
struct axis {
    std::int64_t extent;
    std::int64_t stride;
};

/// The axes of `a` without those of extent 1; `empty` when some axis has none.
std::vector<axis> axes_of(const py::array& a, bool* empty)
{
    std::vector<axis> axes;
    *empty = false;
    for (py::ssize_t i = 0; i < a.ndim(); ++i) {
        const auto n = static_cast<std::int64_t>(a.shape(i));
        if (n == 0) {
            *empty = true;
        }
        if (n != 1) {
            axes.push_back({n, static_cast<std::int64_t>(a.strides(i))});
        }
    }
    return axes;
}

/// Joins neighbouring axes where the outer one steps over the inner one
/// whole (a C-ordered run of them), in every one of `strides` (the axes'
/// strides in each array that is read alike).
void merge_axes(std::vector<std::int64_t>& extents, std::vector<std::vector<std::int64_t>>& strides)
{
    std::size_t kept = 0;
    for (std::size_t i = 1; i < extents.size(); ++i) {
        bool joins = true;
        for (const auto& s : strides) {
            joins = joins && s[kept] == s[i] * extents[i];
        }
        if (joins) {
            extents[kept] *= extents[i];
            for (auto& s : strides) {
                s[kept] = s[i];
            }
        } else {
            ++kept;
            extents[kept] = extents[i];
            for (auto& s : strides) {
                s[kept] = s[i];
            }
        }
    }
    if (!extents.empty()) {
        extents.resize(kept + 1);
        for (auto& s : strides) {
            s.resize(kept + 1);
        }
    }
}

/// Calls f(offsets) with the byte offset of every index of the outer axes
/// (all but the last `inner`), one per array of `strides`.
template <typename F>
void for_each_outer_index(const std::vector<std::int64_t>& extents, const std::vector<std::vector<std::int64_t>>& strides,
                          std::size_t inner, F&& f)
{
    const std::size_t outer = extents.size() > inner ? extents.size() - inner : 0;
    std::vector<std::int64_t> index(outer, 0);
    std::vector<std::int64_t> offsets(strides.size(), 0);
    for (;;) {
        f(offsets);
        std::size_t k = outer;
        for (; k > 0; --k) {
            const std::size_t d = k - 1;
            if (++index[d] < extents[d]) {
                for (std::size_t j = 0; j < strides.size(); ++j) {
                    offsets[j] += strides[j][d];
                }
                break;
            }
            for (std::size_t j = 0; j < strides.size(); ++j) {
                offsets[j] -= strides[j][d] * (extents[d] - 1);
            }
            index[d] = 0;
        }
        if (k == 0) {
            return;
        }
    }
}

std::string refusal(const char* operation, const char* name, const py::dtype& dt)
{
    return std::string(operation) + ": " + name + " has dtype " + dtype_name(dt) +
           "; the values must be float64, float32 or integers of 8 to 64 bits in native byte order "
           "(a.astype('float64') makes a float64 copy)";
}

} // namespace

bool plain_ndarray(py::handle a)
{
    return Py_TYPE(a.ptr()) == py::detail::npy_api::get().PyArray_Type_;
}

bool number_type_of_dtype(const py::dtype& dt, number_type* out)
{
    const char kind = dt.kind();
    // NumPy's isnative, from the descriptor's byte order character: '='
    // native, '|' not applicable, else '<' or '>' (native when the host's).
    const char order = dt.byteorder();
    const char host = is_little_endian() ? '<' : '>';
    const bool native = order == '=' || order == '|' || order == host;
    if (!native || (kind != 'f' && kind != 'i' && kind != 'u')) {
        return false;
    }
    return virda::engine::number_type_with(kind == 'f', kind != 'u', static_cast<std::size_t>(dt.itemsize()), out);
}

py::array numpy_values(const char* operation, const char* name, py::handle a)
{
    if (!plain_ndarray(a) && (!py::isinstance<py::array>(a) || py::hasattr(a, "mask"))) {
        // A masked array's mask cannot be honoured in place.
        auto ma = py::module_::import("numpy").attr("ma");
        if (py::isinstance(a, ma.attr("MaskedArray")) && ma.attr("getmaskarray")(a).attr("any")().cast<bool>()) {
            throw py::value_error(std::string(operation) + ": " + name +
                                  " has masked elements, which cannot be honoured (a.compressed() keeps the others)");
        }
    }
    py::array array = py::array::ensure(a);
    if (!array) {
        throw py::type_error(std::string(operation) + ": " + name + " must be a NumPy array or an Array");
    }
    number_type type;
    if (!number_type_of_dtype(array.dtype(), &type)) {
        throw py::type_error(refusal(operation, name, array.dtype()));
    }
    return array;
}

/// a's values as the engine reads them: NumPy's bool as uint8 (a view) and
/// float16 as float32 (a copy), both exact; `given` their own dtype.
py::array engine_values(const char* operation, const char* name, py::handle a, py::dtype* given)
{
    const py::array x = !plain_ndarray(a) && py::hasattr(a, "mask") ? py::array() : py::array::ensure(a);
    if (x && x.dtype().kind() == 'b') {
        *given = x.dtype();
        return numpy_values(operation, name, x.attr("view")("uint8"));
    }
    if (x && x.dtype().kind() == 'f' && x.itemsize() == 2) {
        *given = x.dtype();
        return numpy_values(operation, name, x.attr("astype")("float32"));
    }
    py::array values = numpy_values(operation, name, a);
    *given = values.dtype();
    return values;
}

local_values values_of_numpy(const char* operation, const char* name, py::handle a)
{
    const py::array array = numpy_values(operation, name, a);
    local_values v;
    number_type_of_dtype(array.dtype(), &v.type);
    v.owner = array;
    v.count = static_cast<std::int64_t>(array.size());
    bool empty = false;
    std::vector<axis> axes = axes_of(array, &empty);
    if (empty) {
        return v;
    }
    // Every value counts alike, whatever its place: each axis is read
    // forwards (from its last element where its stride is negative), the
    // widest strides outermost, so that whatever lies in one C- or
    // Fortran-ordered run is read as one.
    const char* base = static_cast<const char*>(array.data());
    for (axis& x : axes) {
        if (x.stride < 0) {
            base += x.stride * (x.extent - 1);
            x.stride = -x.stride;
        }
    }
    std::stable_sort(axes.begin(), axes.end(), [](const axis& p, const axis& q) { return p.stride > q.stride; });
    std::vector<std::int64_t> extents;
    std::vector<std::vector<std::int64_t>> strides(1);
    for (const axis& x : axes) {
        extents.push_back(x.extent);
        strides[0].push_back(x.stride);
    }
    merge_axes(extents, strides);
    const std::size_t n = extents.size();
    const std::int64_t rows = n >= 2 ? extents[n - 2] : 1;
    const std::int64_t row_stride = n >= 2 ? strides[0][n - 2] : 0;
    const std::int64_t columns = n >= 1 ? extents[n - 1] : 1;
    const std::int64_t column_stride = n >= 1 ? strides[0][n - 1] : 0;
    for_each_outer_index(extents, strides, 2, [&](const std::vector<std::int64_t>& offsets) {
        v.tables.push_back(table_view{base + offsets[0], v.type, rows, columns, row_stride, column_stride});
    });
    return v;
}

local_values values_of_block(const char* operation, const dist_array& a)
{
    const py::array& block = a.block(operation);
    local_values v;
    v.owner = block;
    v.type = a.type();
    v.count = static_cast<std::int64_t>(block.size());
    if (v.count > 0) {
        const auto size = static_cast<std::int64_t>(virda::engine::facts_of(v.type).size);
        v.tables.push_back(table_view{block.data(), v.type, 1, v.count, v.count * size, size});
    }
    return v;
}

void warn(PyObject* category, const std::string& text)
{
    if (PyErr_WarnEx(category, text.c_str(), 1) != 0) {
        throw py::error_already_set();
    }
}

std::vector<std::vector<values_view>> aligned_runs(const std::vector<py::array>& arrays)
{
    const py::array& x = arrays[0];
    std::vector<std::vector<values_view>> runs;
    if (x.size() == 0) {
        return runs;
    }
    std::vector<number_type> types(arrays.size());
    for (std::size_t k = 0; k < arrays.size(); ++k) {
        number_type_of_dtype(arrays[k].dtype(), &types[k]);
    }
    std::vector<std::int64_t> extents;
    std::vector<std::vector<std::int64_t>> strides(arrays.size());
    for (py::ssize_t i = 0; i < x.ndim(); ++i) {
        if (x.shape(i) != 1) {
            extents.push_back(static_cast<std::int64_t>(x.shape(i)));
            for (std::size_t k = 0; k < arrays.size(); ++k) {
                strides[k].push_back(static_cast<std::int64_t>(arrays[k].strides(i)));
            }
        }
    }
    merge_axes(extents, strides);
    const std::size_t n = extents.size();
    const std::int64_t length = n >= 1 ? extents[n - 1] : 1;
    for_each_outer_index(extents, strides, 1, [&](const std::vector<std::int64_t>& offsets) {
        std::vector<values_view> run;
        for (std::size_t k = 0; k < arrays.size(); ++k) {
            run.push_back(values_view{static_cast<const char*>(arrays[k].data()) + offsets[k], types[k], length,
                                      n >= 1 ? strides[k][n - 1] : 0});
        }
        runs.push_back(std::move(run));
    });
    return runs;
}

std::vector<std::pair<values_view, values_view>> paired_runs(const char* operation, const py::array& x,
                                                             const py::array& w)
{
    if (x.ndim() != w.ndim() || !std::equal(x.shape(), x.shape() + x.ndim(), w.shape())) {
        throw py::value_error(std::string(operation) + ": weights must have the shape of the data");
    }
    std::vector<std::pair<values_view, values_view>> pairs;
    for (const auto& run : aligned_runs({x, w})) {
        pairs.emplace_back(run[0], run[1]);
    }
    return pairs;
}

void raise_engine_error(const char* operation, const virda::engine::error& e)
{
    std::string text = std::string(operation) + ": " + e.what();
    if (e.rank() >= 0) {
        text += " (the cause arose on rank " + std::to_string(e.rank()) + ")";
    }
    switch (e.code()) {
    case virda::engine::error_code::invalid_argument:
        throw py::value_error(text);
    case virda::engine::error_code::out_of_memory:
        PyErr_SetString(PyExc_MemoryError, text.c_str());
        throw py::error_already_set();
    case virda::engine::error_code::ranks_disagree:
    case virda::engine::error_code::mpi_failure:
    default:
        throw std::runtime_error(text);
    }
}

} // namespace virda_python
