#include "reduction_result_types.h"

#include "dist_array.h"
#include "local_values.h"
#include "numpy_module.h"

#include "engine/number_type.h"

#include <pybind11/stl.h>

#include <string>
#include <type_traits>

namespace py = pybind11;
using virda::engine::number;
using virda::engine::number_type;

namespace virda_python {

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

py::dtype inexact_dtype(const py::array& block, py::handle dtype)
{
    if (!dtype.is_none()) {
        return py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype));
    }
    return block.dtype().kind() == 'f' && block.itemsize() == 4 ? py::dtype("float32") : py::dtype("float64");
}

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

} // namespace virda_python
