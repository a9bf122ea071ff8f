#include "quantile_result_types.h"

namespace py = pybind11;
using virda::engine::quantile_method;

namespace virda_python {

namespace {

/// Whether a method picks one of the values (no interpolation).
bool picks_a_value(quantile_method m)
{
    return m == quantile_method::inverted_cdf || m == quantile_method::closest_observation ||
           m == quantile_method::lower || m == quantile_method::higher || m == quantile_method::nearest;
}

} // namespace

bool integer_positions(const function_kind& f, const py::array& q, quantile_method m)
{
    const char qkind = q.dtype().kind();
    const bool fractional_positions = m == quantile_method::midpoint || m == quantile_method::hazen ||
                                      m == quantile_method::median_unbiased || m == quantile_method::normal_unbiased;
    return !f.median && !f.percent && !fractional_positions && (qkind == 'i' || qkind == 'u' || qkind == 'b');
}

py::dtype result_dtype(const function_kind& f, const py::dtype& values, const py::array& q, quantile_method m)
{
    const char kind = values.kind();
    const bool floating = kind == 'f';
    if (f.median) {
        return floating ? values : py::dtype::of<double>();
    }
    if (picks_a_value(m)) {
        return values;
    }
    // An integer probability (0 or 1) interpolates nothing, in the data's type.
    if (integer_positions(f, q, m)) {
        return values;
    }
    return py::dtype::of<double>();
}

} // namespace virda_python
