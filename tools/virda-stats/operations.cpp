#include "operations.h"

#include "collective_error.h"
#include "dataset_arrays.h"
#include "fit.h"
#include "h5_reader.h"
#include "moments.h"
#include "slab_statistics.h"
#include "summary.h"

#include "statistics/bin_data.h"

#include <utility>

namespace virda_stats {

namespace {

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

/// Weights and y pair element by element with the dataset x: one value per
/// row and as many rows as x has, or, when either is a grid, x's shape.
void require_paired(const dataset_shape& x, const dataset_shape& s, operation op, const std::string& file,
                    const char* role)
{
    if (s.scalar) {
        throw tool_error(std::string(role) + " dataset '" + s.name + "' in " + file +
                         " holds a single value, not rows");
    }
    if (s.columns > 0) {
        const std::string what = s.components > 1 ? "holds " + held_type(s) +
                                                        " vectors (only summary reads vector datasets; "
                                                  : "is a table of " + std::to_string(s.columns) + " columns (";
        throw tool_error(std::string(operation_name(op)) + " needs a one-dimensional " + role + " dataset; '" +
                         s.name + "' in " + file + " " + what + "--column applies to DATASET only)");
    }
    if (x.layout == layout_kind::grid || s.layout == layout_kind::grid) {
        // Grids pair value by value: the same shape.
        if (s.dims != x.dims) {
            throw tool_error(std::string(role) + " dataset '" + s.name + "' has shape " + shape_text(s.dims) +
                             " but '" + x.name + "' has shape " + shape_text(x.dims) +
                             "; they must match value by value");
        }
        return;
    }
    if (s.rows != x.rows) {
        throw tool_error(std::string(role) + " dataset '" + s.name + "' has " + std::to_string(s.rows) + " rows but '" +
                         x.name + "' has " + std::to_string(x.rows) + "; they must match row by row");
    }
}

/// How DATASET is read: as the command line says, and a two-dimensional
/// dataset of which --column picks a column as a table.
reading_options reading_of(const cli_options& o, bool of_dataset)
{
    reading_options reading;
    reading.raw = o.raw;
    reading.skip_nan = o.skip_nan;
    reading.layout = o.layout;
    reading.column = of_dataset && o.column >= 0;
    return reading;
}

/// mean, stdev, quantiles or histogram of one dataset, read slab by slab
/// (slab_statistics): what a run reports about the values taken is what
/// take_values reports for the same dataset. Collective over `comm`.
void run_slab_by_slab(const h5_input& in, const dataset_shape& xs, const cli_options& o, report& r,
                      MPI_Comm comm)
{
    slab_request request;
    request.stdev = o.op == operation::stdev;
    if (o.op == operation::quantiles) {
        request.probabilities = o.probabilities;
    }
    if (o.op == operation::histogram) {
        request.lower = o.lower;
        request.width = o.width;
        request.bins = o.bins;
    }
    const slab_result result = slab_statistics(in, xs, request, o.memory_budget, comm);
    note_read(&*r.dataset, xs, result.beyond_exact);
    const slab_column& x = result.columns.front();
    if (xs.rules.active()) {
        dataset_ref& ref = *r.dataset;
        ref.missing = xs.rules.any_attribute() ? x.missing : -1;
        ref.nan_skipped = xs.rules.skip_nan ? x.nan : -1;
        ref.used = x.count;
        if (x.count == 0) {
            const long long values = xs.rows * (xs.layout == layout_kind::grid ? xs.row_values : 1);
            throw tool_error("no value is left to compute with: every one of the " + std::to_string(values) +
                             " values of '" + xs.name + "' is missing (by the attributes for missing values" +
                             (xs.rules.skip_nan ? ", or NaN with --skip-nan" : "") +
                             "; --raw reads the stored values)");
        }
    }
    switch (o.op) {
    case operation::mean:
        r.result = value_result{x.mean};
        break;
    case operation::stdev:
        r.result = value_result{x.stdev};
        break;
    case operation::quantiles:
        r.result = quantiles_result{o.probabilities, x.quantiles};
        break;
    case operation::histogram:
        r.result = histogram_result{o.lower, o.width,
                                    std::vector<long long>(result.histogram.begin(), result.histogram.end())};
        break;
    default:
        break;
    }
}

} // namespace

report run_operation(const cli_options& o, MPI_Comm comm)
{
    const h5_input in(o.file, comm);
    report r;
    r.file = o.file;
    MPI_Comm_size(comm, &r.ranks);
    r.op = o.op;

    // All checks on names, types and shapes come before any array is read.
    dataset_shape xs = inspect_together(in, o.dataset, reading_of(o, true), comm);
    if (o.column >= 0) {
        together(comm, [&] { select_column(xs, o.column, o.file); });
    }
    r.dataset = ref_of(xs);
    dataset_shape ws;
    dataset_shape ys;
    const bool weighted = !o.weights.empty();
    const bool paired = o.op == operation::bin_data || o.op == operation::poly_fit;
    if (weighted) {
        ws = inspect_together(in, o.weights, reading_of(o, false), comm);
        r.weights = ref_of(ws);
    }
    if (paired) {
        ys = inspect_together(in, o.y, reading_of(o, false), comm);
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
            require_paired(xs, ws, o.op, o.file, "weights");
        }
        if (paired) {
            require_paired(xs, ys, o.op, o.file, "y");
        }
    });

    if (o.op == operation::summary) {
        summary_result s;
        summarise(in, xs, s.rows, &*r.dataset, o.memory_budget, comm);
        r.result = std::move(s);
        return r;
    }
    if (!weighted && !paired) {
        run_slab_by_slab(in, xs, o, r, comm);
        return r;
    }

    // The datasets as stored, then only the values (rows) that every one
    // of them has, unpacked. The bins of bin-data are chosen by doubles: its
    // dataset is read as double whatever its stored type.
    Attribute x;
    if (o.op == operation::bin_data) {
        long long beyond = 0;
        x = hold(in.read<double>(xs, &beyond));
        if (xs.kind == element_kind::float64) {
            note_read(&*r.dataset, xs, beyond);
        }
    } else {
        x = read_numbers(in, xs, &*r.dataset);
    }
    Attribute y;
    Attribute w;
    std::vector<Attribute*> arrays = {&x};
    std::vector<const dataset_shape*> shapes = {&xs};
    std::vector<dataset_ref*> refs = {&*r.dataset};
    const auto read_paired = [&](Attribute& a, const dataset_shape& s, dataset_ref& ref) {
        a = read_numbers(in, s, &ref);
        arrays.push_back(&a);
        shapes.push_back(&s);
        refs.push_back(&ref);
    };
    if (paired) {
        read_paired(y, ys, *r.y);
    }
    if (weighted) {
        read_paired(w, ws, *r.weights);
    }
    const long long values = take_values(arrays, shapes, refs, comm);
    Attribute* weights = weighted ? &w : nullptr;

    switch (o.op) {
    case operation::mean:
        r.result = value_result{moment_of(moment::mean, x, weights, comm)};
        break;
    case operation::stdev:
        r.result = value_result{moment_of(moment::stdev, x, weights, comm)};
        break;
    case operation::bin_data: {
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
    case operation::poly_fit:
        r.result = fit_polynomial(x, y, weights, o.order, values, comm);
        break;
    case operation::histogram:
    case operation::quantiles:
    case operation::summary:
        break; // above: read slab by slab
    }
    return r;
}

} // namespace virda_stats
