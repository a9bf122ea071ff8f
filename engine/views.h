#ifndef VIRDA_ENGINE_VIEWS_H
#define VIRDA_ENGINE_VIEWS_H

/// \file
/// What the engine reads: a rank's values in place, as a strided run or a
/// strided table, never copied or converted first.

#include "engine/number_type.h"

#include <cstdint>

namespace virda::engine {

/// `count` values of one number type, the first at `data`, each `stride`
/// bytes after the one before (a multiple of the value's size, negative
/// allowed, 0 for one value repeated). Counts are 64-bit: any size memory
/// allows.
struct values_view {
    const void* data = nullptr;              ///< the first value
    number_type type = number_type::float64; ///< the values' number type
    std::int64_t count = 0;                  ///< how many values
    std::int64_t stride = 0;                 ///< bytes from one value to the next
};

/// A table of `rows` x `columns` values of one number type: the value of row
/// i and column j at data + i * row_stride + j * column_stride (bytes). A
/// C-ordered block of an (n, k) array has row_stride k * size and
/// column_stride size; a column of a wider table is a table of one column.
struct table_view {
    const void* data = nullptr;              ///< row 0, column 0
    number_type type = number_type::float64; ///< the values' number type
    std::int64_t rows = 0;                   ///< how many rows
    std::int64_t columns = 0;                ///< how many columns
    std::int64_t row_stride = 0;             ///< bytes from one row to the next
    std::int64_t column_stride = 0;          ///< bytes from one column to the next
};

/// n contiguous values from p.
template <typename T>
values_view values_of(const T* p, std::int64_t n)
{
    return {p, number_type_of<T>::value, n, static_cast<std::int64_t>(sizeof(T))};
}

/// n values from p, `step` values apart.
template <typename T>
values_view values_of(const T* p, std::int64_t n, std::int64_t step)
{
    return {p, number_type_of<T>::value, n, step * static_cast<std::int64_t>(sizeof(T))};
}

/// A C-ordered block of `rows` rows of `columns` values from p, rows
/// `row_step` values apart (at least `columns`).
template <typename T>
table_view table_of(const T* p, std::int64_t rows, std::int64_t columns, std::int64_t row_step)
{
    const auto size = static_cast<std::int64_t>(sizeof(T));
    return {p, number_type_of<T>::value, rows, columns, row_step * size, size};
}

/// The same values as one run, where the table's layout allows it (its rows
/// follow each other at one stride: a single column, a single row, or
/// row_stride == columns * column_stride). False otherwise.
inline bool as_one_run(const table_view& t, values_view* out)
{
    values_view v{t.data, t.type, t.rows * t.columns, t.column_stride};
    if (t.rows <= 1) {
        v.stride = t.column_stride;
    } else if (t.columns <= 1) {
        v.stride = t.row_stride;
    } else if (t.row_stride != t.columns * t.column_stride) {
        return false;
    }
    *out = v;
    return true;
}

/// Row i of a table as a run of its columns.
inline values_view row_of(const table_view& t, std::int64_t i)
{
    return {static_cast<const char*>(t.data) + i * t.row_stride, t.type, t.columns, t.column_stride};
}

/// Column j of a table as a run of its rows.
inline values_view column_of(const table_view& t, std::int64_t j)
{
    return {static_cast<const char*>(t.data) + j * t.column_stride, t.type, t.rows, t.row_stride};
}

/// Calls f(run) for runs of a table that hold each of its values once,
/// for statistics whose result does not depend on the values' order: the
/// table as one run where it is one; else the runs along the axis of the
/// smaller stride (a repeated row or column, stride 0, makes each run one
/// value repeated), unless those runs are shorter than 64 values and the
/// other axis is longer (a narrow table: then fewer, longer runs along the
/// other axis).
template <typename F>
void for_each_run(const table_view& t, F&& f)
{
    values_view run;
    if (as_one_run(t, &run)) {
        f(run);
        return;
    }
    const auto magnitude = [](std::int64_t s) { return s < 0 ? -s : s; };
    bool along_rows = magnitude(t.column_stride) <= magnitude(t.row_stride); // runs are rows
    const std::int64_t inner = along_rows ? t.columns : t.rows;
    const std::int64_t outer = along_rows ? t.rows : t.columns;
    if (inner < 64 && outer > inner) {
        along_rows = !along_rows;
    }
    if (along_rows) {
        for (std::int64_t i = 0; i < t.rows; ++i) {
            f(row_of(t, i));
        }
    } else {
        for (std::int64_t j = 0; j < t.columns; ++j) {
            f(column_of(t, j));
        }
    }
}

} // namespace virda::engine

#endif
