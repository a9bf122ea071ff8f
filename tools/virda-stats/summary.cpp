#include "summary.h"

#include "collective_error.h"
#include "dataset_arrays.h"
#include "memory_check.h"
#include "moments.h"

#include "statistics/median.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

namespace virda_stats {

namespace {

/// Summary line of an array: extremes and NaN count from this rank's block,
/// combined with two reductions; mean, stdev and median from the library.
/// Collective.
template <typename T>
summary_row summarise_numbers(va<T>&& data, summary_row row, MPI_Comm comm)
{
    const T* block = data.va_local_data();
    const int n = data.va_local_count();
    double bounds[2] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity()};
    long long nans = 0;
    for (int i = 0; i < n; ++i) {
        const double v = static_cast<double>(block[i]);
        if (std::isnan(v)) {
            ++nans;
        } else {
            bounds[0] = std::min(bounds[0], v);
            bounds[1] = std::min(bounds[1], -v); // the maximum, negated, so one MPI_MIN serves both
        }
    }
    MPI_Allreduce(MPI_IN_PLACE, bounds, 2, MPI_DOUBLE, MPI_MIN, comm);
    MPI_Allreduce(MPI_IN_PLACE, &nans, 1, MPI_LONG_LONG, MPI_SUM, comm);

    row.count = data.va_size();
    row.nan_count = nans;
    const bool any = nans < row.count;
    row.min = any ? bounds[0] : std::numeric_limits<double>::quiet_NaN();
    row.max = any ? -bounds[1] : std::numeric_limits<double>::quiet_NaN();

    // The extremes tell whether the data are finite, for moment_of.
    magnitude known;
    known.finite = nans == 0 && std::isfinite(row.min) && std::isfinite(row.max);
    known.largest = known.finite ? std::max(std::fabs(row.min), std::fabs(row.max)) : 0.0;
    Attribute a = hold(std::move(data));
    row.mean = moment_of(moment::mean, a, nullptr, comm, &known);
    row.stdev = moment_of(moment::stdev, a, nullptr, comm, &known);
    row.median = median(a);
    return row;
}

/// One row per component of a vector dataset: each component is copied from
/// this rank's block into an array of doubles distributed the same way.
template <typename V>
void summarise_vectors(const h5_input& in, const dataset_shape& s, std::vector<summary_row>& rows, MPI_Comm comm)
{
    const va<V> vectors = in.read<V>(s);
    const V* block = vectors.va_local_data();
    const int n = vectors.va_local_count();
    static const char* const names[] = {"x", "y", "z"};
    for (int c = 0; c < s.components; ++c) {
        va<double> component({static_cast<int>(s.rows)}, comm);
        require_allocated(component, s.rows, s.name, comm);
        double* out = component.va_local_data();
        for (int i = 0; i < n; ++i) {
            // Vector2 and Vector3 are packed doubles: component c of element i.
            out[i] = reinterpret_cast<const double*>(block + i)[c];
        }
        component.va_sync();
        summary_row row;
        row.dataset = s.name;
        row.component = names[c];
        row.type = held_type(s);
        rows.push_back(summarise_numbers(std::move(component), row, comm));
    }
}

/// One row per column of a table. Each rank reads its own rows of every
/// column at once (one hyperslab, row after row), then each column in turn
/// is copied into an array of the held type, distributed the same way, and
/// summarised; only one column's array exists at a time. Collective.
template <typename T>
void summarise_table(const h5_input& in, const dataset_shape& s, std::vector<summary_row>& rows,
                     dataset_ref* ref, MPI_Comm comm)
{
    const std::size_t k = static_cast<std::size_t>(s.columns);
    // The rows of the whole table and one column's block, on each rank.
    together(comm, [&] { check_memory_for(s, sizeof(T) * (k + 1), comm); });
    va<T> column({static_cast<int>(s.rows)}, comm);
    require_allocated(column, s.rows, s.name, comm);
    const va_range own = column.va_local_range();
    const std::size_t n = static_cast<std::size_t>(own.count);

    std::vector<T> block;
    together(comm, [&] {
        try {
            block.resize(n * k);
        } catch (const std::bad_alloc&) {
            throw tool_error("dataset '" + s.name + "' does not fit in memory: this rank's " + std::to_string(n) +
                             " rows of " + std::to_string(k) + " columns could not be allocated");
        }
    });
    long long beyond = 0;
    in.read_rows<T>(s, own.first, own.count, block.data(), &beyond);
    note_read(ref, s, beyond);

    for (std::size_t c = 0; c < k; ++c) {
        if (c > 0) {
            column = va<T>({static_cast<int>(s.rows)}, comm);
            require_allocated(column, s.rows, s.name, comm);
        }
        T* out = column.va_local_data();
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = block[i * k + c];
        }
        column.va_sync();
        summary_row row;
        row.dataset = s.name;
        row.column = static_cast<int>(c);
        row.type = held_type(s);
        rows.push_back(summarise_numbers(std::move(column), row, comm));
    }
}

/// The summary of a dataset without rows: a count of 0 and no statistics
/// (NaN), one row per column or component, without reading anything.
void summarise_empty(const dataset_shape& s, std::vector<summary_row>& rows)
{
    static const char* const names[] = {"x", "y", "z"};
    const bool vectors = whole_table(s) && s.components > 1;
    const int parts = vectors ? s.components : whole_table(s) ? s.columns : 1;
    for (int c = 0; c < parts; ++c) {
        summary_row row;
        row.dataset = s.name;
        if (vectors) {
            row.component = names[c];
        } else {
            row.column = whole_table(s) ? c : s.column;
        }
        row.type = held_type(s);
        row.count = 0;
        row.mean = row.stdev = row.min = row.max = row.median = std::numeric_limits<double>::quiet_NaN();
        rows.push_back(row);
    }
}

} // namespace

void summarise(const h5_input& in, const dataset_shape& s, std::vector<summary_row>& rows, dataset_ref* ref,
               MPI_Comm comm)
{
    if (s.rows == 0) {
        summarise_empty(s, rows);
        return;
    }
    if (whole_table(s) && s.components == 2) {
        summarise_vectors<Vector2>(in, s, rows, comm);
        return;
    }
    if (whole_table(s) && s.components == 3) {
        summarise_vectors<Vector3>(in, s, rows, comm);
        return;
    }
    visit_kind(s.kind, [&](auto tag) {
        using T = typename decltype(tag)::type;
        if (whole_table(s)) {
            summarise_table<T>(in, s, rows, ref, comm);
            return;
        }
        summary_row row;
        row.dataset = s.name;
        row.column = s.column;
        row.type = held_type(s);
        long long beyond = 0;
        rows.push_back(summarise_numbers(in.read<T>(s, &beyond), row, comm));
        note_read(ref, s, beyond);
    });
}

report summarise_file(const std::string& path, const std::vector<std::string>& datasets, MPI_Comm comm)
{
    const h5_input in(path, comm);
    report r;
    r.file = path;
    MPI_Comm_size(comm, &r.ranks);
    r.op = operation::summary;
    summary_result s;
    for (const std::string& name : datasets) {
        summarise(in, inspect_together(in, name, comm), s.rows, nullptr, comm);
    }
    r.result = std::move(s);
    return r;
}

} // namespace virda_stats
