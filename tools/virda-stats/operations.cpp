#include "operations.h"

#include "collective_error.h"
#include "fit.h"
#include "h5_reader.h"
#include "moments.h"

#include "framework/attribute/attribute.h"
#include "statistics/bin_data.h"
#include "statistics/function.h"
#include "statistics/histogram.h"
#include "statistics/median.h"
#include "statistics/poly_fit.h"
#include "statistics/quantile.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <utility>

namespace virda_stats {

namespace {

/// An attribute taking over a freshly read array (no MPI call).
template <typename T>
Attribute hold(va<T>&& data)
{
    Attribute a;
    a.set_attribute(array_variant(std::move(data)));
    return a;
}

dataset_ref ref_of(const dataset_shape& s)
{
    dataset_ref ref;
    ref.name = s.name;
    ref.type = held_type(s);
    ref.rows = s.rows;
    ref.stored = s.stored;
    ref.column = s.column;
    ref.columns = s.columns;
    return ref;
}

/// Records what a read found about the exactness of wide integers.
void note_read(dataset_ref* ref, const dataset_shape& s, long long beyond_exact)
{
    if (ref != nullptr && s.wide_integers) {
        ref->beyond_exact = (ref->beyond_exact < 0 ? 0 : ref->beyond_exact) + beyond_exact;
    }
}

/// inspect() is the same on every rank; settling it together still keeps a
/// rank that failed for a local reason from leaving alone.
dataset_shape inspect(const h5_input& in, const std::string& name, MPI_Comm comm)
{
    dataset_shape shape;
    together(comm, [&] { shape = in.inspect(name); });
    return shape;
}

void require_numbers(const dataset_shape& s, operation op, const std::string& file)
{
    if (s.columns > 0 && s.column < 0) {
        const std::string range = "--column K (0 to " + std::to_string(s.columns - 1) + ")";
        if (s.components > 1) {
            throw tool_error(std::string(operation_name(op)) + " needs a one-dimensional dataset of numbers; '" +
                             s.name + "' in " + file + " holds " + held_type(s) +
                             " vectors (only summary reads vector datasets; pick one component with " + range + ")");
        }
        throw tool_error(std::string(operation_name(op)) + " needs one column of '" + s.name + "' in " + file +
                         ", a table of " + std::to_string(s.columns) + " columns: give " + range);
    }
}

/// Weights and y pair row by row with the dataset: one-dimensional only.
void require_one_dimensional(const dataset_shape& s, operation op, const std::string& file, const char* role)
{
    if (s.columns > 0) {
        const std::string what = s.components > 1 ? "holds " + held_type(s) +
                                                        " vectors (only summary reads vector datasets; "
                                                  : "is a table of " + std::to_string(s.columns) + " columns (";
        throw tool_error(std::string(operation_name(op)) + " needs a one-dimensional " + role + " dataset; '" +
                         s.name + "' in " + file + " " + what + "--column applies to DATASET only)");
    }
}

void require_same_rows(const dataset_shape& x, const dataset_shape& paired, const char* role)
{
    if (paired.rows != x.rows) {
        throw tool_error(std::string(role) + " dataset '" + paired.name + "' has " + std::to_string(paired.rows) +
                         " rows but '" + x.name + "' has " + std::to_string(x.rows) + "; they must match row by row");
    }
}

/// A one-dimensional dataset (or one column) held in its own element type.
/// Collective.
Attribute read_numbers(const h5_input& in, const dataset_shape& s, dataset_ref* ref)
{
    long long beyond = 0;
    Attribute a;
    switch (s.kind) {
    case element_kind::float32:
        a = hold(in.read<float>(s));
        break;
    case element_kind::int32:
        a = hold(in.read<int>(s));
        break;
    case element_kind::float64:
        a = hold(in.read<double>(s, &beyond));
        break;
    }
    note_read(ref, s, beyond);
    return a;
}

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
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    int first = 0;
    int last = -1;
    column.va_distribution_index(rank, &first, &last);
    const std::size_t n = last >= first ? static_cast<std::size_t>(last - first + 1) : 0;

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
    in.read_rows<T>(s, first, static_cast<long long>(n), block.data(), &beyond);
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
    if (whole_table(s)) {
        switch (s.kind) {
        case element_kind::float64:
            summarise_table<double>(in, s, rows, ref, comm);
            break;
        case element_kind::float32:
            summarise_table<float>(in, s, rows, ref, comm);
            break;
        case element_kind::int32:
            summarise_table<int>(in, s, rows, ref, comm);
            break;
        }
        return;
    }
    summary_row row;
    row.dataset = s.name;
    row.column = s.column;
    row.type = held_type(s);
    long long beyond = 0;
    switch (s.kind) {
    case element_kind::float64:
        rows.push_back(summarise_numbers(in.read<double>(s, &beyond), row, comm));
        break;
    case element_kind::float32:
        rows.push_back(summarise_numbers(in.read<float>(s), row, comm));
        break;
    case element_kind::int32:
        rows.push_back(summarise_numbers(in.read<int>(s), row, comm));
        break;
    }
    note_read(ref, s, beyond);
}

int ranks_of(MPI_Comm comm)
{
    int n = 1;
    MPI_Comm_size(comm, &n);
    return n;
}

} // namespace

report run_operation(const cli_options& o, MPI_Comm comm)
{
    const h5_input in(o.file, comm);
    report r;
    r.file = o.file;
    r.ranks = ranks_of(comm);
    r.op = o.op;

    // All checks on names, types and shapes come before any array is read.
    dataset_shape xs = inspect(in, o.dataset, comm);
    if (o.column >= 0) {
        together(comm, [&] { select_column(xs, o.column, o.file); });
    }
    r.dataset = ref_of(xs);
    dataset_shape ws;
    dataset_shape ys;
    const bool weighted = !o.weights.empty();
    const bool paired = o.op == operation::bin_data || o.op == operation::poly_fit;
    if (weighted) {
        ws = inspect(in, o.weights, comm);
        r.weights = ref_of(ws);
    }
    if (paired) {
        ys = inspect(in, o.y, comm);
        r.y = ref_of(ys);
    }
    together(comm, [&] {
        if (o.op != operation::summary) {
            if (xs.rows == 0) {
                throw tool_error("dataset '" + xs.name + "' in " + o.file + " has no rows");
            }
            if (xs.scalar) {
                throw tool_error("dataset '" + xs.name + "' in " + o.file + " holds a single value, not rows (" +
                                 operation_name(o.op) + " needs rows; summary shows the value)");
            }
            require_numbers(xs, o.op, o.file);
        }
        if (weighted) {
            if (ws.scalar) {
                throw tool_error("weights dataset '" + ws.name + "' in " + o.file + " holds a single value, not rows");
            }
            require_one_dimensional(ws, o.op, o.file, "weights");
            require_same_rows(xs, ws, "weights");
        }
        if (paired) {
            if (ys.scalar) {
                throw tool_error("y dataset '" + ys.name + "' in " + o.file + " holds a single value, not rows");
            }
            require_one_dimensional(ys, o.op, o.file, "y");
            require_same_rows(xs, ys, "y");
        }
    });

    switch (o.op) {
    case operation::mean:
    case operation::stdev: {
        const moment m = o.op == operation::mean ? moment::mean : moment::stdev;
        Attribute x = read_numbers(in, xs, &*r.dataset);
        if (weighted) {
            Attribute w = read_numbers(in, ws, &*r.weights);
            r.result = value_result{moment_of(m, x, &w, comm)};
        } else {
            r.result = value_result{moment_of(m, x, nullptr, comm)};
        }
        break;
    }
    case operation::histogram: {
        Attribute x = read_numbers(in, xs, &*r.dataset);
        r.result = histogram_result{o.lower, o.width, histogram(x, o.lower, o.width, o.bins)};
        break;
    }
    case operation::bin_data: {
        // The bins are chosen by doubles: the dataset is read as double
        // whatever its stored type.
        long long beyond = 0;
        Attribute x = hold(in.read<double>(xs, &beyond));
        if (xs.kind == element_kind::float64) {
            note_read(&*r.dataset, xs, beyond);
        }
        Attribute y = read_numbers(in, ys, &*r.y);
        std::vector<double> centres(static_cast<std::size_t>(o.centre_count));
        for (int k = 0; k < o.centre_count; ++k) {
            centres[k] = o.centre0 + k * o.centre_step;
        }
        binned_result b;
        b.means = bin_data(x, y, centres);
        b.centres = std::move(centres);
        r.result = std::move(b);
        break;
    }
    case operation::poly_fit: {
        Attribute x = read_numbers(in, xs, &*r.dataset);
        Attribute y = read_numbers(in, ys, &*r.y);
        if (weighted) {
            Attribute w = read_numbers(in, ws, &*r.weights);
            r.result = fit_polynomial(x, y, &w, o.order, xs.rows, comm);
        } else {
            r.result = fit_polynomial(x, y, nullptr, o.order, xs.rows, comm);
        }
        break;
    }
    case operation::quantiles: {
        Attribute x = read_numbers(in, xs, &*r.dataset);
        r.result = quantiles_result{o.probabilities, quantile(x, o.probabilities)};
        break;
    }
    case operation::summary: {
        summary_result s;
        summarise(in, xs, s.rows, &*r.dataset, comm);
        r.result = std::move(s);
        break;
    }
    }
    return r;
}

report summarise_file(const std::string& path, const std::vector<std::string>& datasets, MPI_Comm comm)
{
    const h5_input in(path, comm);
    report r;
    r.file = path;
    r.ranks = ranks_of(comm);
    r.op = operation::summary;
    summary_result s;
    for (const std::string& name : datasets) {
        summarise(in, inspect(in, name, comm), s.rows, nullptr, comm);
    }
    r.result = std::move(s);
    return r;
}

} // namespace virda_stats
