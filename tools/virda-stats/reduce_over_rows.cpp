#include "reduction_paths.h"

#include "cell_shares.h"
#include "cell_slabs.h"
#include "cell_moments.h"
#include "collective_error.h"
#include "h5_handle.h"
#include "held_types.h"
#include "memory_check.h"
#include "slab_statistics.h"
#include "statistic_values.h"

#include "engine/error.h"
#include "engine/moments.h"
#include "engine/order_statistics.h"
#include "frontend/row_exchange.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace virda_stats {

namespace {

namespace engine = virda::engine;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

/// Bytes a rank needs per cell of a group, measured: the moments' exact
/// totals with the record and the reduced record of their finish (about
/// 7.5 KB per cell, with or without squares), or, later, a selection's two
/// targets per quantile with their local and global digit counts (about
/// 9 KB per quantile).
std::size_t bytes_per_cell(std::size_t quantiles)
{
    return std::max<std::size_t>(8192, 9216 * quantiles);
}

/// The same for float32 values, whose moments take the compact per-cell
/// accumulators (about 300 bytes) and whose selections count digits of 7
/// bits, half the counts of 8 (about 4.5 KB per quantile).
std::size_t float_bytes_per_cell(std::size_t quantiles)
{
    return std::max<std::size_t>(float_cell_moments::bytes_per_cell(), 4608 * quantiles);
}

template <typename T, typename V>
reduced_field reduce_as(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                        const std::vector<statistic>& stats, engine::quantile_method method, std::size_t budget,
                        MPI_Comm comm)
{
    const cell_layout cells = layout_for(s, reduced);
    cell_slabs<T, V> slabs(in, s, cells, budget, comm);
    const engine::number_type type = engine::number_type_of<V>::value;

    reduced_field out;
    out.single_precision = std::is_same_v<V, float>;
    for (std::size_t d = 0; d < s.dims.size(); ++d) {
        if (std::find(reduced.begin(), reduced.end(), static_cast<int>(d)) == reduced.end()) {
            out.shape.push_back(s.dims[d]);
        }
    }
    const auto total = static_cast<std::size_t>(cells.cells);
    const int ranks = place_in(comm).ranks;
    std::vector<long long> missing;
    // Every rank holds every cell's results: refused together when a rank
    // cannot (or when the cells are too many for one reduction's count).
    together(comm, [&] {
        if (cells.cells > std::numeric_limits<int>::max()) {
            throw tool_error("reduce keeps " + std::to_string(cells.cells) + " cells of '" + s.name +
                             "', more than it can hold: reduce over more dimensions");
        }
        try {
            out.values.assign(stats.size(), std::vector<double>(total, nan));
            out.counts.assign(total, 0);
            missing.assign(total, 0);
        } catch (const std::bad_alloc&) {
            throw tool_error("the results of reduce over '" + s.name + "' do not fit in memory (" +
                             std::to_string(total) + " cells)");
        }
    });

    std::vector<std::size_t> quantiles;
    bool spread = false;
    for (std::size_t i = 0; i < stats.size(); ++i) {
        if (stats[i].kind == statistic_kind::quantile) {
            quantiles.push_back(i);
        }
        spread = spread || stats[i].kind == statistic_kind::std;
    }
    // The slabs take at most a quarter of the budget (slab_rows_for; less
    // when enough_rows caps them), the keys a selection copies another
    // quarter, and the accumulators of a group of cells what is left: at
    // least half.
    constexpr bool compact = std::is_same_v<V, float>;
    const std::size_t per_cell =
        compact ? float_bytes_per_cell(quantiles.size()) : bytes_per_cell(quantiles.size());
    const std::size_t search_budget = budget / 4;

    // The missing values of every cell, counted on the first pass (room
    // taken with the results').
    const auto take_missing = [&] {
        if (MPI_Allreduce(slabs.missing().data(), missing.data(), static_cast<int>(total), MPI_LONG_LONG, MPI_SUM,
                          comm) != MPI_SUCCESS) {
            throw tool_error("counting the missing values of '" + s.name + "' over the ranks failed");
        }
    };
    // Sets the count of a cell from its values that are not NaN and its NaN
    // values (missing ones included); says whether its statistics are
    // numbers: it has values and takes no NaN.
    const auto cell_counted = [&](std::size_t cell, long long values, long long nan_values) {
        const long long nans = nan_values - missing[cell];
        const bool nan_taken = nans > 0 && !s.rules.skip_nan;
        out.counts[cell] = values + (s.rules.skip_nan ? 0 : nans);
        return !nan_taken && values > 0;
    };
    // Float32 values: every cell's moments first, in as few groups of compact
    // accumulators as the budget allows (usually one pass for all), so that
    // the selection groups need no pass of their own for their counts.
    std::vector<std::int64_t> counted; // per cell: values that are not NaN, NaN values
    int moment_groups = 0;
    try {
        if constexpr (compact) {
            together(comm, [&] {
                try {
                    counted.resize(2 * total);
                } catch (const std::bad_alloc&) {
                    throw tool_error("the results of reduce over '" + s.name + "' do not fit in memory (" +
                                     std::to_string(total) + " cells)");
                }
            });
            // Per cell of a group: its accumulators with their merge's room,
            // and its finished statistics.
            const std::size_t n_stats = stats.size();
            const std::size_t moment_group = std::max<std::size_t>(
                1, budget / 2 / (float_cell_moments::bytes_per_cell(ranks) + n_stats * sizeof(double)));
            for (std::size_t first = 0; first < total; first += moment_group) {
                const std::size_t k = std::min(moment_group, total - first);
                std::optional<float_cell_moments> m;
                std::vector<double> finished;
                std::optional<share_layout> finished_layout;
                std::optional<share_layout> counted_layout;
                // Everything the group's merge and gathers need, allocated
                // here, where a refusal on one rank stops every rank.
                together(comm, [&] {
                    try {
                        m.emplace(k, spread, ranks);
                        finished.resize(k * n_stats);
                        finished_layout.emplace(k, n_stats, ranks);
                        counted_layout.emplace(k, 2, ranks);
                    } catch (const std::bad_alloc&) {
                        throw tool_error("the accumulators of reduce over '" + s.name + "' do not fit in memory (" +
                                         std::to_string(k) + " cells)");
                    }
                });
                const auto stride = static_cast<std::size_t>(cells.cells);
                const auto inner = static_cast<std::size_t>(cells.inner_reduced);
                slabs.each_slab(first == 0, [&](const V* values, const unsigned char*, long long, long long rows) {
                    m->add(values + first, static_cast<std::size_t>(rows) * inner, stride);
                });
                ++out.passes;
                ++moment_groups;
                // Each rank finishes a share of the cells; then every rank
                // gets every cell's statistics and counts.
                std::pair<std::size_t, std::size_t> share;
                together(comm, [&] {
                    try {
                        share = m->reduce_shares(comm);
                    } catch (const std::runtime_error& e) {
                        throw tool_error(std::string("reducing dataset '") + s.name + "' failed: " + e.what());
                    }
                });
                std::int64_t* group_counted = counted.data() + 2 * first;
                for (std::size_t c = share.first; c < share.first + share.second; ++c) {
                    group_counted[2 * c] = m->count(c);
                    group_counted[2 * c + 1] = m->nan_count(c);
                    if (m->count(c) == 0) {
                        continue;
                    }
                    const cell_moment_result r = m->finish(c);
                    for (std::size_t i = 0; i < n_stats; ++i) {
                        finished[c * n_stats + i] = float_moment_value(stats[i], r);
                    }
                }
                m.reset();
                gather_shares(finished.data(), MPI_DOUBLE, *finished_layout, comm);
                gather_shares(group_counted, MPI_INT64_T, *counted_layout, comm);
                if (first == 0) {
                    take_missing();
                }
                for (std::size_t c = 0; c < k; ++c) {
                    if (!cell_counted(first + c, group_counted[2 * c], group_counted[2 * c + 1])) {
                        continue; // NaN, or no value at all (written as the fill value)
                    }
                    for (std::size_t i = 0; i < n_stats; ++i) {
                        out.values[i][first + c] = finished[c * n_stats + i];
                    }
                }
            }
        }
        // Float32 values: only the quantiles are left, in groups of cells
        // whose selections fit what the slabs and the copied keys leave.
        const std::size_t left = budget - std::min(budget, slabs.slab_bytes() + search_budget);
        const std::size_t group = std::max<std::size_t>(1, std::max(left, budget / 2) / per_cell);
        for (std::size_t first = 0; first < total && !(compact && quantiles.empty()); first += group) {
            const std::size_t k = std::min(group, total - first);
            const auto first64 = static_cast<std::int64_t>(first);
            const auto k64 = static_cast<std::int64_t>(k);
            engine::value_counts counts;
            counts.local = slabs.values_per_column() * k64;
            ++out.cell_groups;
            if constexpr (compact) {
                for (std::size_t c = 0; c < k; ++c) {
                    counts.values.push_back(counted[2 * (first + c)]);
                    counts.nans.push_back(counted[2 * (first + c) + 1]);
                }
            } else {
                std::optional<engine::moments> m;
                together(comm, [&] { m.emplace(type, k64, spread); });
                slabs.pass(first64, k64, first == 0, [&](const engine::table_view& t) { m->add(t); });
                ++out.passes;
                const engine::moment_summary sum = m->finish(comm, engine::nan_policy::omit);
                m.reset();
                if (first == 0) {
                    take_missing();
                }
                counts = engine::value_counts::from(sum, counts.local);
                for (std::size_t c = 0; c < k; ++c) {
                    if (!cell_counted(first + c, counts.values[c], counts.nans[c])) {
                        continue;
                    }
                    for (std::size_t i = 0; i < stats.size(); ++i) {
                        out.values[i][first + c] = moment_value(stats[i], sum, c, out.single_precision);
                    }
                }
            }

            // The ranks sought and the search, built where a refusal on one
            // rank stops every rank; the same on every rank (the counts are
            // the finished summary's), so is whether any is wanted.
            std::vector<std::vector<engine::quantile_position>> positions;
            std::optional<engine::selection_search> search;
            bool any_wanted = false;
            together(comm, [&] {
                std::vector<std::vector<std::uint64_t>> wanted(k);
                positions.resize(k);
                for (std::size_t c = 0; c < k; ++c) {
                    const std::size_t cell = first + c;
                    const long long nans = counts.nans[c] - missing[cell];
                    if ((nans > 0 && !s.rules.skip_nan) || counts.values[c] == 0) {
                        continue;
                    }
                    for (const std::size_t i : quantiles) {
                        const engine::quantile_position p = engine::position_of(
                            stats[i].probability, static_cast<std::uint64_t>(counts.values[c]), method);
                        positions[c].push_back(p);
                        wanted[c].push_back(p.below);
                        wanted[c].push_back(p.above);
                        any_wanted = true;
                    }
                }
                if (any_wanted) {
                    search.emplace(type, counts, wanted, search_budget);
                }
            });
            if (!any_wanted) {
                continue;
            }
            while (!search->finished()) {
                if (search->wants_values()) {
                    slabs.pass(first64, k64, false, [&](const engine::table_view& t) { search->add(t); });
                }
                search->end_round(comm);
            }
            out.passes += search->passes();
            const std::vector<std::vector<engine::number>> found = search->result();
            for (std::size_t c = 0; c < k; ++c) {
                for (std::size_t q = 0; q < positions[c].size(); ++q) {
                    const engine::quantile_position& p = positions[c][q];
                    const engine::number& a = found[c][2 * q];
                    const engine::number& b = found[c][2 * q + 1];
                    double v = p.exact ? a.as_double() : engine::interpolate(a, b, p.gamma);
                    if (out.single_precision) {
                        v = static_cast<double>(static_cast<float>(v));
                    }
                    out.values[quantiles[q]][first + c] = v;
                }
            }
        }
        out.cell_groups = std::max(out.cell_groups, moment_groups);
    } catch (const engine::error& e) {
        // Thrown alike on every rank (the engine agrees before it throws).
        throw tool_error("reducing dataset '" + s.name + "' failed: " + e.what());
    }
    return out;
}


} // namespace

reduced_field reduce_over_rows(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                               const std::vector<statistic>& stats, engine::quantile_method method,
                               std::size_t memory_budget, MPI_Comm comm)
{
    return visit_cell_types(s, [&](auto* read_tag, auto* value_tag) {
        using T = std::remove_pointer_t<decltype(read_tag)>;
        using V = std::remove_pointer_t<decltype(value_tag)>;
        return reduce_as<T, V>(in, s, reduced, stats, method, memory_budget, comm);
    });
}

} // namespace virda_stats
