#include "masked_values.h"

#include "numpy_module.h"

#include <pybind11/stl.h>

#include <string>

namespace py = pybind11;

namespace virda_python {

namespace {

py::tuple shape_of(const py::array& a) { return a.attr("shape"); }

} // namespace

mask_reading mask_for(const char* operation, py::handle where, const py::array& block)
{
    const py::array mask = numpy().attr("asarray")(where);
    if (mask.dtype().kind() != 'b') {
        throw py::type_error(std::string(operation) + ": where must be a boolean mask, not of dtype " +
                             py::str(mask.dtype()).cast<std::string>());
    }
    if (shape_of(mask).equal(shape_of(block))) {
        return {mask, false};
    }
    // A first axis of this rank's row count is this rank's part, broadcast
    // along the other axes (where a rank holds every row, both readings are
    // one). A first axis longer than 1 and not this rank's: the global rows
    // (their count is known only once the ranks have agreed on it).
    if (block.ndim() >= 1 && mask.ndim() == block.ndim() && mask.shape(0) != 1 && mask.shape(0) != block.shape(0)) {
        return {mask, true};
    }
    try {
        return {numpy().attr("broadcast_to")(mask, shape_of(block)), false};
    } catch (const py::error_already_set&) {
        throw py::value_error(std::string(operation) + ": where of shape " + py::str(mask.attr("shape")).cast<std::string>() +
                              " neither has the shape of this rank's rows " + py::str(block.attr("shape")).cast<std::string>() +
                              " nor broadcasts against them");
    }
}

py::array rows_of_mask(const char* operation, const py::array& mask, const py::array& block,
                       std::int64_t global_rows, std::int64_t first_row)
{
    py::list global_shape;
    global_shape.append(global_rows);
    for (py::ssize_t k = 1; k < block.ndim(); ++k) {
        global_shape.append(block.shape(k));
    }
    const auto refused = [&] {
        return py::value_error(std::string(operation) + ": where of shape " + py::str(mask.attr("shape")).cast<std::string>() +
                               " does not broadcast against the array's shape " +
                               py::str(py::tuple(global_shape)).cast<std::string>());
    };
    if (mask.shape(0) != global_rows) {
        throw refused();
    }
    const py::slice mine(first_row, first_row + block.shape(0), 1);
    try {
        return numpy().attr("broadcast_to")(mask.attr("__getitem__")(mine), shape_of(block));
    } catch (const py::error_already_set&) {
        throw refused();
    }
}

py::array masked_block(const char* operation, const py::array& block, const py::array& mask, left_out fill,
                       py::handle initial)
{
    py::object values = block;
    py::object filler;
    switch (fill) {
    case left_out::zero:
        filler = block.dtype().attr("type")(0);
        break;
    case left_out::initial:
        filler = numpy().attr("asarray")(initial).attr("astype")(block.dtype());
        break;
    case left_out::nan:
        if (block.dtype().kind() != 'f') {
            // float64 holds every integer up to 2^53 exactly.
            const py::array magnitude = numpy().attr("abs")(block.attr("astype")("float64"));
            if (magnitude.size() > 0 && numpy().attr("max")(magnitude).cast<double>() > 9007199254740992.0) {
                throw py::type_error(std::string(operation) +
                                     ": where= on integers beyond 2^53 in magnitude is not supported");
            }
            values = block.attr("astype")("float64");
        }
        filler = numpy().attr("asarray")(numpy().attr("nan")).attr("astype")(values.attr("dtype"));
        break;
    }
    return numpy().attr("where")(mask, values, filler);
}

py::array kept_nans(const py::array& block, const py::array& mask, const axis_split& split)
{
    const py::object selected = numpy().attr("logical_and")(numpy().attr("isnan")(block), mask);
    const py::object shaped = block.ndim() == 0 ? selected.attr("reshape")(1) : selected;
    const py::array counts = numpy().attr("sum")(shaped, py::tuple(py::cast(split.reduced)), "int64");
    return numpy().attr("ascontiguousarray")(counts).attr("reshape")(-1);
}

} // namespace virda_python
