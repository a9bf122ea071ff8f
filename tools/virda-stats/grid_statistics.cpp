#include "grid_statistics.h"

#include "collective_error.h"
#include "paired_slabs.h"

#include "engine/bin_location.h"
#include "engine/binned_statistics.h"
#include "engine/error.h"
#include "frontend/binned_statistic_names.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <string>

namespace virda_stats {

namespace engine = virda::engine;
namespace frontend = virda::frontend;

namespace {

/// The extremes of the finite coordinates of every rank: one read of the
/// pairs, whose number over all ranks goes to `taken`. Collective over
/// `comm`.
std::vector<double> finite_range(paired_slabs& slabs, std::size_t dims, const std::vector<dataset_ref*>& refs,
                                 long long& taken, MPI_Comm comm)
{
    // Lows, then highs negated: one MPI_MIN for both.
    std::vector<double> ends(2 * dims, std::numeric_limits<double>::infinity());
    slabs.pass([&](const double* const* v, std::size_t n) {
        for (std::size_t d = 0; d < dims; ++d) {
            for (std::size_t i = 0; i < n; ++i) {
                const double x = v[d][i];
                if (std::isfinite(x)) {
                    ends[d] = std::min(ends[d], x);
                    ends[dims + d] = std::min(ends[dims + d], -x);
                }
            }
        }
    });
    taken = slabs.settle(refs);
    MPI_Allreduce(MPI_IN_PLACE, ends.data(), static_cast<int>(ends.size()), MPI_DOUBLE, MPI_MIN, comm);
    std::vector<double> range(2 * dims);
    for (std::size_t d = 0; d < dims; ++d) {
        range[2 * d] = ends[d];
        range[2 * d + 1] = -ends[dims + d];
    }
    return range;
}

} // namespace

grid_result bin_pairs(const h5_input& in, const std::vector<const dataset_shape*>& shapes, std::size_t dims,
                      const cli_options& o, const std::vector<dataset_ref*>& refs, MPI_Comm comm)
{
    const bool with_values = o.op == operation::binned_statistic;
    paired_slabs slabs(in, shapes, o.memory_budget, comm);
    const bool read_once = !o.range.empty();
    long long taken = 0;
    const std::vector<double> range = read_once ? o.range : finite_range(slabs, dims, refs, taken, comm);

    std::vector<engine::bin_axis> axes;
    together(comm, [&] {
        for (std::size_t d = 0; d < dims; ++d) {
            double lo = range[2 * d];
            double hi = range[2 * d + 1];
            if (!(lo <= hi)) {
                throw tool_error(std::string(operation_name(o.op)) + ": no finite " + (d == 0 ? "x" : "y") +
                                 " value to set the range by; give --range");
            }
            if (lo == hi) {
                lo -= 0.5;
                hi += 0.5;
            }
            try {
                axes.push_back(engine::bin_axis::equal_width(lo, hi, o.grid_bins[d]));
            } catch (const engine::error& e) {
                throw tool_error(std::string(operation_name(o.op)) + ": no bins of equal width over [" +
                                 text_number(lo) + ", " + text_number(hi) + "] (" + e.what() + "); give --range");
            }
        }
    });
    const std::int64_t bins = engine::bin_number_count(axes, engine::bin_numbering::within_edges);

    // Counts alone stream slab by slab; a statistic of the values needs every
    // value of a bin at the end: each rank keeps its pairs that are in a bin,
    // and their statistics count them too.
    const bool counts_only = !with_values || o.statistic == "count";
    std::optional<engine::binned_statistics> statistics;
    if (counts_only) {
        together(comm, [&] { statistics.emplace(bins, 0); });
    }
    std::vector<std::int64_t> numbers;
    std::vector<std::int64_t> kept_bins;
    std::vector<double> kept_values;
    const std::size_t most_kept = o.memory_budget / (2 * sizeof(double));
    std::string failure;
    slabs.pass([&](const double* const* v, std::size_t n) {
        if (!failure.empty()) {
            return;
        }
        try {
            numbers.resize(n);
            std::vector<engine::values_view> coordinates;
            for (std::size_t d = 0; d < dims; ++d) {
                coordinates.push_back(engine::values_of(v[d], static_cast<std::int64_t>(n)));
            }
            engine::locate_bins(axes, coordinates, engine::bin_numbering::within_edges, numbers.data());
            if (counts_only) {
                statistics->add(engine::values_of(numbers.data(), static_cast<std::int64_t>(n)));
                return;
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (numbers[i] == engine::no_bin) {
                    continue;
                }
                if (kept_bins.size() == most_kept) {
                    failure = "binned-statistic: the binned values of a rank do not fit in its memory budget (" +
                              std::to_string(most_kept) + " pairs of 16 bytes); give a larger --memory-budget "
                              "or run on more ranks";
                    return;
                }
                kept_bins.push_back(numbers[i]);
                kept_values.push_back(v[dims][i]);
            }
        } catch (const std::bad_alloc&) {
            failure = "binned-statistic: a rank could not allocate memory for its binned values";
        }
    });
    if (read_once) {
        taken = slabs.settle(refs);
    }
    agree_or_throw(comm, failure);

    grid_result g;
    for (const engine::bin_axis& axis : axes) {
        g.edges.push_back(axis.edges());
    }
    engine::binned_statistics_result r;
    try {
        if (!counts_only) {
            engine::binned_statistics of_values(bins, 1);
            const auto count = static_cast<std::int64_t>(kept_bins.size());
            of_values.add(engine::values_of(kept_bins.data(), count),
                          engine::table_of(kept_values.data(), count, 1, 1));
            r = of_values.finish(comm, frontend::wanted_for(o.statistic));
        } else {
            r = statistics->finish(comm, {});
        }
    } catch (const engine::error& e) {
        // The engine's failures are the same on every rank.
        throw tool_error(std::string(operation_name(o.op)) + " failed: " + e.what());
    }
    g.counts.assign(r.counts.begin(), r.counts.end());
    long long counted = 0;
    for (const long long c : g.counts) {
        counted += c;
    }
    g.outside = taken - counted;
    if (with_values) {
        g.statistic = o.statistic;
        g.values = o.statistic == "count" ? std::vector<double>(g.counts.begin(), g.counts.end())
                                          : frontend::values_named(r, o.statistic);
    }
    return g;
}

} // namespace virda_stats
