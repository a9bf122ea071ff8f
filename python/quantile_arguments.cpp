#include "quantile_arguments.h"

#include "argument_checks.h"
#include "local_values.h"
#include "numpy_module.h"

#include <cstring>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace virda::engine;

namespace virda_python {

const py::array& one_half()
{
    static const py::array* half = [] {
        auto* a = new py::array_t<double>(std::vector<py::ssize_t>{});
        *a->mutable_data() = 0.5;
        a->attr("setflags")(py::arg("write") = false);
        return a;
    }();
    return *half;
}

quantile_method method_of(const function_kind& f, const py::object& method, const py::object& interpolation)
{
    py::object chosen = method;
    if (!interpolation.is_none()) {
        if (!(py::isinstance<py::str>(method) && method.cast<std::string>() == "linear")) {
            throw py::type_error("You shall not pass both `method` and `interpolation`!\n"
                                 "(`interpolation` is Deprecated in favor of `method`)");
        }
        warn(PyExc_DeprecationWarning,
             std::string("the `interpolation=` argument to ") + f.name +
                 " was renamed to `method=`, which has additional options.\n"
                 "Users of the modes 'nearest', 'lower', 'higher', or 'midpoint' are encouraged to review the "
                 "method they used. (Deprecated NumPy 1.22)");
        chosen = interpolation;
    }
    quantile_method m = quantile_method::linear;
    if (!py::isinstance<py::str>(chosen) || !quantile_method_named(chosen.cast<std::string>(), &m)) {
        std::string names;
        for (int i = 0; i <= static_cast<int>(quantile_method::nearest); ++i) {
            names += std::string(i > 0 ? ", '" : "'") + name_of(static_cast<quantile_method>(i)) + "'";
        }
        throw py::value_error(py::repr(chosen).cast<std::string>() + " is not a valid method. Use one of: dict_keys([" +
                              names + "])");
    }
    return m;
}

py::array probabilities_of(const function_kind& f, const py::object& q)
{
    // Real numbers only ("<name>: q ..." otherwise), a mask refused; then
    // the array NumPy makes of them, whose dtype its result types follow.
    // Percentages are checked here and divided by 100 with the values read
    // (a new array, whose allocation the ranks agree on).
    py::array array;
    try {
        array = plain_ndarray(q) ? py::reinterpret_borrow<py::array>(q) : numpy().attr("asarray")(q).cast<py::array>();
    } catch (const py::error_already_set&) {
        (void)real_numbers(f.name, "q", q); // says what is wrong with q (ragged, ...)
        throw;
    }
    const bool python_reals =
        array.dtype().kind() == 'O' && array.size() > 0 &&
        numpy()
            .attr("all")(numpy().attr("vectorize")(
                py::module_::import("numbers").attr("Real").attr("__instancecheck__"), py::arg("otypes") = "?")(array))
            .cast<bool>();
    if (python_reals) {
        // Real numbers of Python's own types (Fraction, Decimal): their
        // nearest doubles, as NumPy's arithmetic on them compares.
        array = numpy().attr("asarray")(array, "float64").cast<py::array>();
    }
    // q that is no NumPy array (a list, a number) has no mask: when NumPy
    // made real numbers of it, they are read from the array just made rather
    // than converted once more (other kinds are refused as given, in words
    // that name q's own type).
    const char kind = array.dtype().kind();
    const bool made_reals = !py::isinstance<py::array>(q) && (kind == 'f' || kind == 'i' || kind == 'u' || kind == 'b');
    const doubles as_double =
        python_reals ? doubles::ensure(array) : real_numbers(f.name, "q", made_reals ? py::handle(array) : py::handle(q));
    const auto* v = static_cast<const double*>(as_double.data());
    const double top = f.percent ? 100.0 : 1.0;
    for (py::ssize_t i = 0; i < as_double.size(); ++i) {
        if (!(v[i] >= 0.0 && v[i] <= top)) {
            throw py::value_error(f.percent ? "Percentiles must be in the range [0, 100]"
                                            : "Quantiles must be in the range [0, 1]");
        }
    }
    return array;
}

std::uint64_t probabilities_print(const py::array& probabilities, quantile_method m)
{
    std::uint64_t h = static_cast<std::uint64_t>(m) * 1000003u + static_cast<std::uint64_t>(probabilities.ndim());
    for (py::ssize_t i = 0; i < probabilities.ndim(); ++i) {
        h = h * 1000003u + static_cast<std::uint64_t>(probabilities.shape(i));
    }
    const doubles values = doubles::ensure(probabilities);
    if (!values) {
        PyErr_Clear();
        return h;
    }
    const auto* v = static_cast<const double*>(values.data());
    for (py::ssize_t i = 0; i < values.size(); ++i) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &v[i], sizeof bits);
        h = (h ^ bits) * 0x100000001b3ull;
    }
    return h;
}

} // namespace virda_python
