#include "quantile_slices.h"

#include "local_values.h"

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

namespace py = pybind11;
using virda::engine::value_counts;

namespace virda_python {

slice_facts facts_of_slices(const function_kind& f, const value_counts& counts, std::int64_t columns)
{
    slice_facts s;
    if (columns == 0) {
        return s;
    }
    if (counts.values[0] + counts.nans[0] == 0) {
        s.empty = 1;
        return s;
    }
    for (std::size_t c = 0; c < counts.values.size() && c < static_cast<std::size_t>(columns); ++c) {
        s.all_nan += f.omit && counts.values[c] == 0 ? 1 : 0;
        s.with_nan += counts.nans[c] > 0 ? 1 : 0;
    }
    s.first_all_nan = f.omit && counts.values[0] == 0 ? 1 : 0;
    return s;
}

void act_on_slices(const function_kind& f, const slice_facts& s, bool every_axis, bool scalar)
{
    if (s.empty != 0) {
        if (!f.omit && !f.median) {
            throw py::index_error("cannot do a non-empty take from an empty axes.");
        }
        warn(PyExc_RuntimeWarning, f.omit ? "Mean of empty slice" : "Mean of empty slice.");
        if (!f.omit) {
            warn(PyExc_RuntimeWarning,
                 scalar ? "invalid value encountered in scalar divide" : "invalid value encountered in divide");
        }
        return;
    }
    const std::int64_t times = every_axis ? std::min<std::int64_t>(s.all_nan, 1) : s.all_nan;
    for (std::int64_t i = 0; i < times; ++i) {
        warn(PyExc_RuntimeWarning, "All-NaN slice encountered");
    }
}

} // namespace virda_python
