#ifndef VIRDA_PYTHON_QUANTILE_SLICES_H
#define VIRDA_PYTHON_QUANTILE_SLICES_H

// What the counts of the values tell about the slices of a quantile
// function (empty, all NaN, holding a NaN), and NumPy's warnings and errors
// for them. Local: the counts are agreed over the ranks before.

#include "quantile_functions.h"

#include "engine/order_statistics.h"

#include <cstdint>

namespace virda_python {

/// What the counts of a table tell about its slices, for NumPy's warnings,
/// errors and result dtypes: whether some slice is empty, how many slices
/// hold no value but NaN (the nan* forms), whether the first slice has none
/// but NaN, and whether some slice holds a NaN (propagating forms).
struct slice_facts {
    std::int64_t empty = 0;
    std::int64_t all_nan = 0;
    std::int64_t first_all_nan = 0;
    std::int64_t with_nan = 0;
};

/// The facts of the first `columns` slices of `counts`.
slice_facts facts_of_slices(const function_kind& f, const virda::engine::value_counts& counts, std::int64_t columns);

/// Warns or raises as NumPy does for those slices: an empty median warns
/// twice (the mean of no values, then its division), the nan* forms once
/// per all-NaN slice unless every axis is reduced.
void act_on_slices(const function_kind& f, const slice_facts& s, bool every_axis, bool scalar);

} // namespace virda_python

#endif
