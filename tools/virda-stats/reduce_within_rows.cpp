#include "reduction_paths.h"

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

template <typename V>
engine::number number_of(V v)
{
    engine::number n;
    n.type = engine::number_type_of<V>::value;
    if constexpr (std::is_floating_point_v<V>) {
        n.floating = static_cast<double>(v);
    } else if constexpr (std::is_signed_v<V>) {
        n.signed_ = static_cast<std::int64_t>(v);
    } else {
        n.unsigned_ = static_cast<std::uint64_t>(v);
    }
    return n;
}

/// The reduction when the row dimension is kept: every cell lies in one row,
/// so each rank reduces its own rows alone, cell by cell, from the values of
/// the row in memory (one pass; the order statistics by selection in the
/// row's copy). The result holds this rank's cells only.
template <typename T, typename V>
reduced_field reduce_rows_as(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                             const std::vector<statistic>& stats, engine::quantile_method method,
                             std::size_t budget, MPI_Comm comm)
{
    const cell_layout cells = layout_for(s, reduced);
    cell_slabs<T, V> slabs(in, s, cells, budget, comm);
    const engine::number_type type = engine::number_type_of<V>::value;

    reduced_field out;
    out.single_precision = std::is_same_v<V, float>;
    out.local = true;
    for (std::size_t d = 0; d < s.dims.size(); ++d) {
        if (std::find(reduced.begin(), reduced.end(), static_cast<int>(d)) == reduced.end()) {
            if (static_cast<int>(d) == s.row_axis) {
                out.split = static_cast<int>(out.shape.size());
            }
            out.shape.push_back(s.dims[d]);
        }
    }
    out.own_first = slabs.own().first;
    out.own_count = slabs.own().count;
    const auto per_row = static_cast<std::size_t>(cells.cells);
    const std::size_t local = static_cast<std::size_t>(out.own_count) * per_row;
    bool spread = false;
    for (const statistic& st : stats) {
        spread = spread || st.kind == statistic_kind::std;
    }
    std::optional<engine::moments> m;
    together(comm, [&] {
        try {
            out.values.assign(stats.size(), std::vector<double>(local, nan));
            out.counts.assign(local, 0);
        } catch (const std::bad_alloc&) {
            throw tool_error("the results of reduce over '" + s.name + "' do not fit in memory (" +
                             std::to_string(local) + " cells on a rank)");
        }
        m.emplace(type, 1, spread);
    });
    std::vector<V> cell;
    std::string failure;
    try {
        slabs.each_slab(false, [&](const V* values, const unsigned char* missing, long long at, long long rows) {
            const auto inner = static_cast<std::size_t>(cells.inner_reduced);
            for (long long r = 0; r < rows && failure.empty(); ++r) {
                const std::size_t row = static_cast<std::size_t>(r) * static_cast<std::size_t>(s.row_values);
                for (std::size_t c = 0; c < per_row; ++c) {
                    cell.clear();
                    bool nan_taken = false;
                    for (std::size_t i = 0; i < inner; ++i) {
                        const std::size_t at_value = row + i * per_row + c;
                        if (missing != nullptr && missing[at_value] != 0) {
                            continue;
                        }
                        const V v = values[at_value];
                        if constexpr (std::is_floating_point_v<V>) {
                            if (std::isnan(v)) {
                                nan_taken = nan_taken || !s.rules.skip_nan;
                                continue;
                            }
                        }
                        cell.push_back(v);
                    }
                    const std::size_t index = static_cast<std::size_t>(at + r) * per_row + c;
                    out.counts[index] = static_cast<long long>(cell.size());
                    if (nan_taken) {
                        // The count takes the NaN too; every statistic is NaN.
                        long long n = 0;
                        for (std::size_t i = 0; i < inner; ++i) {
                            const std::size_t at_value = row + i * per_row + c;
                            n += missing == nullptr || missing[at_value] == 0 ? 1 : 0;
                        }
                        out.counts[index] = n;
                        continue;
                    }
                    if (cell.empty()) {
                        continue;
                    }
                    m->clear();
                    m->add(engine::values_of(cell.data(), static_cast<std::int64_t>(cell.size())));
                    const engine::moment_summary sum = m->finish_local(engine::nan_policy::omit);
                    for (std::size_t i = 0; i < stats.size(); ++i) {
                        if (stats[i].kind != statistic_kind::quantile) {
                            out.values[i][index] = moment_value(stats[i], sum, 0, out.single_precision);
                            continue;
                        }
                        const engine::quantile_position p =
                            engine::position_of(stats[i].probability, cell.size(), method);
                        const auto below = cell.begin() + static_cast<std::ptrdiff_t>(p.below);
                        std::nth_element(cell.begin(), below, cell.end());
                        const V a = *below;
                        const V b = p.above == p.below ? a : *std::min_element(below + 1, cell.end());
                        double v = p.exact ? static_cast<double>(a)
                                           : engine::interpolate(number_of(a), number_of(b), p.gamma);
                        out.values[i][index] = out.single_precision ? static_cast<double>(static_cast<float>(v)) : v;
                    }
                }
            }
        });
    } catch (const engine::error& e) {
        failure = e.what();
    }
    // Local work only since the last read: settle its outcome together.
    agree_or_throw(comm, failure.empty() ? std::string() : "reducing dataset '" + s.name + "' failed: " + failure);
    out.passes = 1;
    out.cell_groups = 1;
    return out;
}

} // namespace

reduced_field reduce_within_rows(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                                 const std::vector<statistic>& stats, engine::quantile_method method,
                                 std::size_t memory_budget, MPI_Comm comm)
{
    return visit_cell_types(s, [&](auto* read_tag, auto* value_tag) {
        using T = std::remove_pointer_t<decltype(read_tag)>;
        using V = std::remove_pointer_t<decltype(value_tag)>;
        return reduce_rows_as<T, V>(in, s, reduced, stats, method, memory_budget, comm);
    });
}

} // namespace virda_stats
