#include "element_types.h"

namespace py = pybind11;

namespace virda_python {

namespace {

constexpr const char* converted_types =
    "arrays hold float64, float32 or int32; other data is converted when exact: bool, int8, int16, uint8 and "
    "uint16 to int32, float16 to float32, and int64, uint32 and uint64 to int32 when every value fits";

} // namespace

std::string dtype_name(const py::dtype& dt)
{
    return py::str(dt.attr("name"));
}

py::dtype dtype_of(element_type e)
{
    return with_element_type(e, [](auto v) { return py::dtype::of<decltype(v)>(); });
}

element_type element_type_of(py::handle dtype)
{
    const py::dtype dt = py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype));
    const char kind = dt.kind();
    const auto size = dt.itemsize();
    if (kind == 'f' && size == 8) {
        return element_type::float64;
    }
    if (kind == 'f' && size == 4) {
        return element_type::float32;
    }
    if (kind == 'i' && size == 4) {
        return element_type::int32;
    }
    throw py::type_error("dtype " + dtype_name(dt) +
                         " is not an element type: arrays hold float64, "
                         "float32 or int32");
}

std::optional<data_conversion> conversion_of(const py::dtype& dt)
{
    const char kind = dt.kind();
    const auto size = dt.itemsize();
    switch (kind) {
    case 'f':
        if (size == 8) {
            return data_conversion{element_type::float64, false};
        }
        if (size == 4 || size == 2) {
            return data_conversion{element_type::float32, false};
        }
        return std::nullopt; // longdouble: neither type holds it exactly
    case 'i':
        if (size <= 4) {
            return data_conversion{element_type::int32, false};
        }
        return data_conversion{element_type::int32, true};
    case 'u':
        return data_conversion{element_type::int32, size >= 4};
    case 'b':
        return data_conversion{element_type::int32, false};
    default:
        return std::nullopt;
    }
}

std::string refused_message(const std::string& what)
{
    return what + " cannot be taken: " + converted_types;
}

} // namespace virda_python
