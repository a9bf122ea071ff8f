#include "element_types.h"

namespace py = pybind11;
using virda::engine::number_type;

namespace virda_python {

namespace {

constexpr const char* converted_types =
    "arrays hold float64, float32 or integers of 8, 16, 32 or 64 bits, signed or unsigned; bool is stored as "
    "uint8 and float16 as float32";

/// The table's number type of a float, signed or unsigned integer dtype of
/// either byte order.
std::optional<element_type> table_type(const py::dtype& dt)
{
    const char kind = dt.kind();
    if (kind != 'f' && kind != 'i' && kind != 'u') {
        return std::nullopt;
    }
    number_type t;
    if (!virda::engine::number_type_with(kind == 'f', kind != 'u', static_cast<std::size_t>(dt.itemsize()), &t)) {
        return std::nullopt;
    }
    return t;
}

} // namespace

std::string dtype_name(const py::dtype& dt)
{
    return py::str(dt.attr("name"));
}

py::dtype dtype_of(element_type e)
{
    return py::dtype(virda::engine::facts_of(e).name);
}

element_type element_type_of(py::handle dtype)
{
    const py::dtype dt = py::dtype::from_args(py::reinterpret_borrow<py::object>(dtype));
    if (const auto t = table_type(dt)) {
        return *t;
    }
    throw py::type_error("dtype " + dtype_name(dt) +
                         " is not an element type: arrays hold float64, float32 or integers of 8, 16, 32 or 64 "
                         "bits, signed or unsigned");
}

std::optional<element_type> conversion_of(const py::dtype& dt)
{
    if (dt.kind() == 'b') {
        return number_type::uint8;
    }
    if (dt.kind() == 'f' && dt.itemsize() == 2) {
        return number_type::float32;
    }
    return table_type(dt);
}

std::string refused_message(const std::string& what)
{
    return what + " cannot be taken: " + converted_types;
}

} // namespace virda_python
