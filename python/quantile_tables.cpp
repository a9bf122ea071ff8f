#include "quantile_tables.h"

#include "numpy_module.h"

#include <cstdint>
#include <string>

namespace py = pybind11;
using namespace virda::engine;

namespace virda_python {

py::tuple tuple_of(const std::vector<py::ssize_t>& shape)
{
    py::tuple t(shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) {
        t[i] = py::int_(shape[i]);
    }
    return t;
}

table_view table_of_array(const py::array& t, number_type type)
{
    return {t.data(),
            type,
            static_cast<std::int64_t>(t.shape(0)),
            static_cast<std::int64_t>(t.shape(1)),
            static_cast<std::int64_t>(t.strides(0)),
            static_cast<std::int64_t>(t.strides(1))};
}

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

} // namespace virda_python
