#include "operations.h"

#include "collective_error.h"
#include "dataset_arrays.h"
#include "fit.h"
#include "h5_reader.h"
#include "moments.h"
#include "summary.h"

#include "statistics/bin_data.h"
#include "statistics/histogram.h"
#include "statistics/quantile.h"

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

/// Weights and y pair row by row with the dataset x: one-dimensional rows,
/// as many as x has.
void require_paired(const dataset_shape& x, const dataset_shape& s, operation op, const std::string& file,
                    const char* role)
{
    if (s.scalar) {
        throw tool_error(std::string(role) + " dataset '" + s.name + "' in " + file + " holds a single value, not rows");
    }
    if (s.columns > 0) {
        const std::string what = s.components > 1 ? "holds " + held_type(s) +
                                                        " vectors (only summary reads vector datasets; "
                                                  : "is a table of " + std::to_string(s.columns) + " columns (";
        throw tool_error(std::string(operation_name(op)) + " needs a one-dimensional " + role + " dataset; '" +
                         s.name + "' in " + file + " " + what + "--column applies to DATASET only)");
    }
    if (s.rows != x.rows) {
        throw tool_error(std::string(role) + " dataset '" + s.name + "' has " + std::to_string(s.rows) +
                         " rows but '" + x.name + "' has " + std::to_string(x.rows) + "; they must match row by row");
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
    dataset_shape xs = inspect_together(in, o.dataset, comm);
    if (o.column >= 0) {
        together(comm, [&] { select_column(xs, o.column, o.file); });
    }
    r.dataset = ref_of(xs);
    dataset_shape ws;
    dataset_shape ys;
    const bool weighted = !o.weights.empty();
    const bool paired = o.op == operation::bin_data || o.op == operation::poly_fit;
    if (weighted) {
        ws = inspect_together(in, o.weights, comm);
        r.weights = ref_of(ws);
    }
    if (paired) {
        ys = inspect_together(in, o.y, comm);
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

} // namespace virda_stats
