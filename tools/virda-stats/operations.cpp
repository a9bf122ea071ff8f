#include "operations.h"

#include "collective_error.h"
#include "dataset_refs.h"
#include "fit.h"
#include "grid_statistics.h"
#include "dimension_scales.h"
#include "h5_reader.h"
#include "h5_writer.h"
#include "netcdf_output.h"
#include "reduction.h"
#include "paired_slabs.h"
#include "slab_statistics.h"
#include "summary.h"

#include "engine/bin_means.h"
#include "engine/error.h"
#include "engine/weighted_moments.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <set>
#include <sys/stat.h>
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
    if (of_dataset && o.op == operation::reduce && o.layout == layout_choice::automatic) {
        reading.layout = layout_choice::grid; // reduce works along the dimensions of a grid
    }
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

/// The power of two that brings a weighted variance beyond the doubles
/// back within them: x * 2^-600 (variances up to 2^2048 become at most 2^848,
/// and at least 2^-176); values below 2^-474 in magnitude round in the
/// scaled copy, far below the last digit of such a deviation.
constexpr int stdev_scale_bits = 600;

/// The engine's errors of a finish, thrown alike on every rank, as the
/// tool's.
template <typename F>
auto finished(const char* what, F&& f)
{
    try {
        return f();
    } catch (const virda::engine::error& e) {
        throw tool_error(std::string(what) + " failed: " + e.what());
    }
}

/// Weighted mean or stdev, bin-data or poly-fit: x with its weights or its
/// y, read side by side slab by slab (paired_slabs), each pair taken only
/// where every dataset has a value. Collective over `comm`.
void run_paired(const h5_input& in, const dataset_shape& xs, const dataset_shape* ys, const dataset_shape* ws,
                const cli_options& o, report& r, MPI_Comm comm)
{
    namespace engine = virda::engine;
    std::vector<const dataset_shape*> shapes = {&xs};
    std::vector<dataset_ref*> refs = {&*r.dataset};
    if (ys != nullptr) {
        shapes.push_back(ys);
        refs.push_back(&*r.y);
    }
    if (ws != nullptr) {
        shapes.push_back(ws);
        refs.push_back(&*r.weights);
    }
    paired_slabs slabs(in, shapes, o.memory_budget, comm);
    const auto view = [](const double* v, std::size_t n) {
        return engine::values_of(v, static_cast<std::int64_t>(n));
    };

    switch (o.op) {
    case operation::mean:
    case operation::stdev: {
        std::optional<engine::weighted_moments> m;
        together(comm, [&] { m.emplace(); });
        slabs.pass([&](const double* const* v, std::size_t n) { m->add(view(v[0], n), view(v[1], n)); });
        slabs.settle(refs);
        const engine::weighted_summary s =
            finished(operation_name(o.op), [&] { return m->finish(comm, engine::nan_policy::propagate); });
        double value = o.op == operation::mean ? s.mean : s.stdev;
        if (o.op == operation::stdev && value == std::numeric_limits<double>::infinity()) {
            // Finite data whose variance is beyond the doubles (a stdev above
            // 1.3e154; any infinity in the data gives NaN): again on x * 2^-600,
            // exact for every x whose share of the result shows.
            std::optional<engine::weighted_moments> scaled;
            together(comm, [&] { scaled.emplace(); });
            slabs.pass([&](const double* const* v, std::size_t n) {
                double part[2048];
                for (std::size_t done = 0; done < n;) {
                    const std::size_t k = std::min<std::size_t>(n - done, 2048);
                    for (std::size_t i = 0; i < k; ++i) {
                        part[i] = std::ldexp(v[0][done + i], -stdev_scale_bits);
                    }
                    scaled->add(view(part, k), view(v[1] + done, k));
                    done += k;
                }
            });
            const engine::weighted_summary t =
                finished("stdev", [&] { return scaled->finish(comm, engine::nan_policy::propagate); });
            value = std::ldexp(t.stdev, stdev_scale_bits);
        }
        r.result = value_result{value};
        break;
    }
    case operation::bin_data: {
        // The bins as the centres give them: width centres[1] - centres[0].
        std::vector<double> centres(static_cast<std::size_t>(o.centre_count));
        for (int k = 0; k < o.centre_count; ++k) {
            centres[k] = o.centre0 + k * o.centre_step;
        }
        engine::bin_means bins(centres[0], centres[1] - centres[0], o.centre_count);
        slabs.pass([&](const double* const* v, std::size_t n) { bins.add(view(v[0], n), view(v[1], n)); });
        slabs.settle(refs);
        binned_result b;
        b.means = finished("bin-data", [&] { return bins.finish(comm); }).means;
        b.centres = std::move(centres);
        r.result = std::move(b);
        break;
    }
    case operation::poly_fit: {
        // First read: the counts and the finite extremes of x; the fit reads
        // again.
        double lo = std::numeric_limits<double>::infinity();
        double hi = -lo;
        slabs.pass([&](const double* const* v, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isfinite(v[0][i])) {
                    lo = std::min(lo, v[0][i]);
                    hi = std::max(hi, v[0][i]);
                }
            }
        });
        slabs.settle(refs);
        r.result = fit_polynomial(slabs, lo, hi, ws != nullptr, o.order, comm);
        break;
    }
    case operation::histogram:
    case operation::quantiles:
    case operation::summary:
    case operation::histogram2d:
    case operation::binned_statistic:
    case operation::reduce:
        break; // read slab by slab on their own
    }
}

/// histogram2d and binned-statistic: x, its y when given, and the values.
/// Collective over `comm`.
void run_grid(const h5_input& in, const dataset_shape& xs, const dataset_shape* ys, const dataset_shape* vs,
              const cli_options& o, report& r, MPI_Comm comm)
{
    std::vector<const dataset_shape*> shapes = {&xs};
    std::vector<dataset_ref*> refs = {&*r.dataset};
    if (ys != nullptr) {
        shapes.push_back(ys);
        refs.push_back(&*r.y);
    }
    if (vs != nullptr) {
        shapes.push_back(vs);
        refs.push_back(&*r.values);
    }
    r.result = bin_pairs(in, shapes, ys != nullptr ? 2 : 1, o, refs, comm);
}

/// Whether `a` and `b` name the same existing file.
bool same_file(const std::string& a, const std::string& b)
{
    struct stat x {};
    struct stat y {};
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

/// reduce: the statistics of DATASET along the dimensions of --over, written
/// to a netCDF-4 file. Collective over `comm`.
reduced_result run_reduce(const h5_input& in, const dataset_shape& xs, const cli_options& o, MPI_Comm comm)
{
    std::vector<dimension_info> dims;
    std::vector<int> reduced;
    virda::engine::quantile_method method{};
    // Everything that can be refused is refused before the data are read:
    // the file written is checked first, not after hours of reading.
    together(comm, [&] {
        if (xs.layout != layout_kind::grid || xs.dims.size() < 2) {
            throw tool_error("reduce needs a variable of two or more dimensions; '" + xs.name + "' in " + o.file +
                             " has shape " + shape_text(xs.dims) + (xs.dims.size() >= 2 ? " read as a table" : ""));
        }
        if (same_file(o.file, o.output)) {
            throw tool_error("reduce would overwrite its input " + o.file + "; give another -o");
        }
        check_writable_target(o.output);
        dims = dimensions_of(in.id(), xs.name, xs.dims);
        reduced = dimensions_named(o.over, dims, xs.name);
        if (reduced.size() == dims.size()) {
            throw tool_error("reduce keeps at least one dimension; summary gives the statistics of all values");
        }
        std::set<std::string> seen;
        for (const std::string& stat : o.stats) {
            if (!seen.insert(stat).second) {
                throw tool_error("--stat names " + stat + " twice", exit_usage_error);
            }
        }
        virda::engine::quantile_method_named(o.method, &method);
    });
    const std::vector<statistic> stats = statistics_named(o.stats);
    const reduced_field field = reduce_grid(in, xs, reduced, stats, method, o.memory_budget, comm);
    write_reduced_file(o.output, in, xs, dims, reduced, stats, field, comm);

    reduced_result out;
    out.output = o.output;
    for (std::size_t d = 0; d < dims.size(); ++d) {
        const bool over = std::find(reduced.begin(), reduced.end(), static_cast<int>(d)) != reduced.end();
        (over ? out.over : out.kept).push_back(dims[d].name);
    }
    for (const statistic& s : stats) {
        out.variables.push_back(reduced_variable_name(xs.name, s));
    }
    out.passes = field.passes;
    out.cell_groups = field.cell_groups;
    return out;
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
    dataset_shape vs;
    const bool weighted = !o.weights.empty();
    const bool gridded = o.op == operation::histogram2d || o.op == operation::binned_statistic;
    const bool paired = o.op == operation::bin_data || o.op == operation::poly_fit || !o.y.empty();
    const bool binned_values = o.op == operation::binned_statistic;
    if (weighted) {
        ws = inspect_together(in, o.weights, reading_of(o, false), comm);
        r.weights = ref_of(ws);
    }
    if (paired) {
        ys = inspect_together(in, o.y, reading_of(o, false), comm);
        r.y = ref_of(ys);
    }
    if (binned_values) {
        vs = inspect_together(in, o.values, reading_of(o, false), comm);
        r.values = ref_of(vs);
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
        if (binned_values) {
            require_paired(xs, vs, o.op, o.file, "values");
        }
    });

    if (o.op == operation::summary) {
        summary_result s;
        summarise(in, xs, s.rows, &*r.dataset, o.memory_budget, comm);
        r.result = std::move(s);
        return r;
    }
    if (gridded) {
        run_grid(in, xs, paired ? &ys : nullptr, binned_values ? &vs : nullptr, o, r, comm);
        return r;
    }
    if (o.op == operation::reduce) {
        r.result = run_reduce(in, xs, o, comm);
        return r;
    }
    if (!weighted && !paired) {
        run_slab_by_slab(in, xs, o, r, comm);
        return r;
    }

    run_paired(in, xs, paired ? &ys : nullptr, weighted ? &ws : nullptr, o, r, comm);
    return r;
}

} // namespace virda_stats
