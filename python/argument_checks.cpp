#include "argument_checks.h"

#include "local_values.h"

#include <cmath>
#include <sstream>
#include <string>

namespace py = pybind11;

namespace virda_python {

namespace {

std::string prefix(const char* operation, const char* name)
{
    return std::string(operation) + ": " + name;
}

/// What a refused dtype holds, in words.
std::string what_it_holds(const py::array& given, py::handle value)
{
    switch (given.dtype().kind()) {
    case 'c':
        return "complex numbers";
    case 'U':
    case 'S':
        return "strings";
    case 'M':
    case 'm':
        return "dates or times";
    case 'V':
        return "records";
    default:
        return "a " + std::string(py::str(py::type::of(value).attr("__name__")));
    }
}

/// A double as Python writes it (repr), for messages.
std::string number_text(double v)
{
    return py::repr(py::float_(v));
}

} // namespace

doubles real_numbers(const char* operation, const char* name, py::handle value, bool keep_mask)
{
    // A numpy.ndarray itself (no subclass, so no mask) of real numbers:
    // converted in place of the masked-array checks, which cost more than
    // a short call's own work.
    if (plain_ndarray(value)) {
        const char kind = py::reinterpret_borrow<py::array>(value).dtype().kind();
        if (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b') {
            doubles converted = doubles::ensure(value);
            if (converted) {
                return converted;
            }
        }
    }
    auto np = py::module_::import("numpy");
    if (py::isinstance(value, np.attr("ma").attr("MaskedArray")) && !keep_mask &&
        np.attr("ma").attr("is_masked")(value).cast<bool>()) {
        throw py::value_error(prefix(operation, name) +
                              " has masked elements, which cannot be left out here: give the values to use "
                              "(compressed() or filled())");
    }
    py::array given;
    try {
        given = np.attr("ma").attr("getdata")(value);
    } catch (py::error_already_set& e) {
        // NumPy's own refusal (a ragged sequence), named.
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) {
            const bool type = e.matches(PyExc_TypeError);
            const std::string text = prefix(operation, name) + ": " + py::str(e.value()).cast<std::string>();
            if (type) {
                throw py::type_error(text);
            }
            throw py::value_error(text);
        }
        throw;
    }
    const char kind = given.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
        throw py::type_error(prefix(operation, name) + " must be real numbers, not " + what_it_holds(given, value));
    }
    return doubles::ensure(np.attr("asarray")(given, py::dtype::of<double>(), py::arg("order") = "C"));
}

doubles polynomial_coefficients(py::handle p)
{
    doubles coefficients = real_numbers("polyval", "p", p);
    if (coefficients.ndim() == 0) {
        throw py::type_error("polyval: p must be a 1-D sequence of coefficients, not a single number");
    }
    if (coefficients.ndim() != 1) {
        throw py::value_error("polyval: p must be 1-D (the coefficients, highest power first); it has " +
                              std::to_string(coefficients.ndim()) + " axes");
    }
    return coefficients;
}

void check_histogram_bins(double lower, double width, int nbins)
{
    if (nbins < 0) {
        throw py::value_error("histogram: nbins must be >= 0");
    }
    const double top = lower + nbins * width;
    if (!std::isfinite(lower) || !std::isfinite(width) || !std::isfinite(top)) {
        throw py::value_error("histogram: supplied range of [" + number_text(lower) + ", " + number_text(top) +
                              "] is not finite (lower = " + number_text(lower) + ", width = " + number_text(width) +
                              ", nbins = " + std::to_string(nbins) + ")");
    }
    if (!(width > 0.0)) {
        throw py::value_error("histogram: width must be > 0 (the bins' upper edges must be larger than their "
                              "lower ones), not " +
                              number_text(width));
    }
}

doubles bin_centres(py::handle centres)
{
    doubles c = real_numbers("bin_data", "centres", centres);
    if (c.ndim() != 1) {
        throw py::value_error("bin_data: centres must be 1-D (the bins' centres); it has " + std::to_string(c.ndim()) +
                              " axes");
    }
    if (c.size() < 2) {
        throw py::value_error("bin_data: at least two bin centres are needed");
    }
    const double first = c.at(0);
    const double spacing = c.at(1) - c.at(0);
    if (!std::isfinite(first) || !std::isfinite(spacing) || spacing == 0.0) {
        throw py::value_error("bin_data: centres must start at a finite value and be spaced by a finite width "
                              "other than 0 (centres[0] = " +
                              number_text(first) + ", centres[1] - centres[0] = " + number_text(spacing) + ")");
    }
    return c;
}

} // namespace virda_python
