#include "reduction.h"

#include "cell_moments.h"
#include "collective_error.h"
#include "h5_handle.h"
#include "held_types.h"
#include "memory_check.h"
#include "slab_statistics.h"

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
/// accumulators (about 300 bytes).
std::size_t float_bytes_per_cell(std::size_t quantiles)
{
    return std::max<std::size_t>(float_cell_moments::bytes_per_cell(), 9216 * quantiles);
}

/// Where each value of a row (the dimensions after the row axis, in file
/// order) goes among the rows of a table whose columns are the cells kept:
/// value j of a row lands in row r and column c of that row's block of
/// `inner_reduced` table rows, at dest[j] = r * cells + c.
struct cell_layout {
    std::vector<std::int64_t> dest; ///< empty: every value is its own cell, in order
    std::int64_t inner_reduced = 1;
    std::int64_t cells = 1;
};

cell_layout layout_for(const dataset_shape& s, const std::vector<int>& reduced)
{
    cell_layout out;
    const int n = static_cast<int>(s.dims.size());
    const auto is_reduced = [&](int d) { return std::find(reduced.begin(), reduced.end(), d) != reduced.end(); };
    bool inner_reduced = false;
    for (int d = s.row_axis + 1; d < n; ++d) {
        if (is_reduced(d)) {
            out.inner_reduced *= s.dims[static_cast<std::size_t>(d)];
            inner_reduced = inner_reduced || s.dims[static_cast<std::size_t>(d)] > 1;
        } else {
            out.cells *= s.dims[static_cast<std::size_t>(d)];
        }
    }
    if (!inner_reduced) {
        return out;
    }
    out.dest.resize(static_cast<std::size_t>(s.row_values));
    std::vector<long long> index(static_cast<std::size_t>(n), 0);
    for (std::int64_t j = 0; j < s.row_values; ++j) {
        std::int64_t r = 0;
        std::int64_t c = 0;
        for (int d = s.row_axis + 1; d < n; ++d) {
            const long long extent = s.dims[static_cast<std::size_t>(d)];
            if (is_reduced(d)) {
                r = r * extent + index[static_cast<std::size_t>(d)];
            } else {
                c = c * extent + index[static_cast<std::size_t>(d)];
            }
        }
        out.dest[static_cast<std::size_t>(j)] = r * out.cells + c;
        for (int d = n - 1; d > s.row_axis; --d) {
            if (++index[static_cast<std::size_t>(d)] < s.dims[static_cast<std::size_t>(d)]) {
                break;
            }
            index[static_cast<std::size_t>(d)] = 0;
        }
    }
    return out;
}

/// Bytes of a slab beyond which larger slabs read no faster: the memory a
/// slab takes is touched once per pass, and fresh pages cost more than the
/// extra reads.
constexpr std::size_t enough_slab_bytes = std::size_t{32} << 20;

/// The rows a slab needs to read at full speed: about enough_slab_bytes,
/// in whole chunks along the row axis when the dataset is chunked (a chunk
/// cut by two slabs would be read twice). Local: metadata only.
long long enough_rows(const h5_input& in, const dataset_shape& s, std::size_t row_bytes)
{
    long long chunk_rows = 1;
    const h5_handle dataset = h5_dataset_handle(H5Dopen2(in.id(), s.name.c_str(), H5P_DEFAULT));
    if (dataset.valid()) {
        const h5_handle create = h5_plist_handle(H5Dget_create_plist(dataset.get()));
        hsize_t chunk[H5S_MAX_RANK] = {};
        const int n = static_cast<int>(s.dims.size());
        if (create.valid() && H5Pget_layout(create.get()) == H5D_CHUNKED && n <= H5S_MAX_RANK &&
            H5Pget_chunk(create.get(), n, chunk) == n && chunk[s.row_axis] > 0) {
            chunk_rows = static_cast<long long>(chunk[s.row_axis]);
        }
    }
    const long long rows = static_cast<long long>(enough_slab_bytes / std::max<std::size_t>(row_bytes, 1));
    return std::max(chunk_rows, rows / chunk_rows * chunk_rows);
}

/// A rank's rows of a grid read slab by slab (the same number of reads on
/// every rank) and given as tables of values V whose columns are the cells
/// kept: the stored values T converted by the rules for missing and packed
/// values (a missing value is NaN, and counted per cell) and rearranged so
/// that the values of a row that fall in one cell share its column.
template <typename T, typename V>
class cell_slabs {
public:
    cell_slabs(const h5_input& in, const dataset_shape& s, const cell_layout& cells, std::size_t budget,
               MPI_Comm comm)
        : in_(in), s_(s), cells_(cells), missing_(static_cast<std::size_t>(cells.cells), 0)
    {
        const place_in here(comm);
        own_ = virda::frontend::balanced_rows(s.rows, here.ranks, here.rank);
        direct_ = std::is_same_v<T, V> && !s.rules.active() && cells.dest.empty();
        const std::size_t row_bytes =
            static_cast<std::size_t>(s.row_values) *
            (sizeof(T) + (direct_ ? 0 : sizeof(V)) + (s.rules.any_attribute() ? 1 : 0));
        slab_rows_ = std::min(slab_rows_for(budget, row_bytes), enough_rows(in, s, row_bytes));
        const long long most = (s.rows + here.ranks - 1) / here.ranks;
        slabs_ = (most + slab_rows_ - 1) / slab_rows_;
        const long long rows = std::min(slab_rows_, std::max(most, 1LL));
        slab_bytes_ = static_cast<std::size_t>(rows) * row_bytes;
        together(comm, [&] { check_memory_bytes(s, slab_bytes_, comm); });
        together(comm, [&] {
            const std::size_t held = static_cast<std::size_t>(std::min<long long>(rows, own_.count));
            try {
                stored_.resize(held * static_cast<std::size_t>(s.row_values));
                if (!direct_) {
                    values_.resize(stored_.size());
                }
                if (s.rules.any_attribute()) {
                    mask_.resize(stored_.size());
                }
            } catch (const std::bad_alloc&) {
                throw tool_error("dataset '" + s.name + "' does not fit in memory: a slab of " +
                                 std::to_string(held) + " rows could not be allocated");
            }
        });
    }

    std::size_t slab_bytes() const { return slab_bytes_; }
    /// Values this rank gives per pass in each column.
    long long values_per_column() const { return own_.count * cells_.inner_reduced; }
    const std::vector<long long>& missing() const { return missing_; }

    /// Reads every slab of the rank (collective) and calls f with the table
    /// of columns [first, first + count) of each. With `count_missing` the
    /// missing values are counted per cell.
    template <typename F>
    void pass(std::int64_t first, std::int64_t count, bool count_missing, F&& f)
    {
        each_slab(count_missing, [&](const V* values, const unsigned char*, long long, long long rows) {
            f(engine::table_of(values + first, rows * cells_.inner_reduced, count, cells_.cells));
        });
    }

    /// Reads every slab of the rank (collective) and calls f(values,
    /// missing, at, rows) with its rows [at, at + rows) among the rank's:
    /// rows * inner_reduced rows of `cells` values, and where the rules apply
    /// a flag per value that is set for the missing ones (else null).
    template <typename F>
    void each_slab(bool count_missing, F&& f)
    {
        for (long long k = 0; k < slabs_; ++k) {
            const long long at = std::min<long long>(k * slab_rows_, own_.count);
            const long long rows = std::min<long long>(slab_rows_, own_.count - at);
            if constexpr (is_number_type<T>) {
                in_.read_slab<T>(s_, own_.first + at, rows, stored_.data());
            } else {
                in_.read_slab_as(s_, engine::number_type_of<T>::value, own_.first + at, rows, stored_.data());
            }
            const std::size_t n = static_cast<std::size_t>(rows * s_.row_values);
            if constexpr (std::is_same_v<T, V>) {
                if (direct_) {
                    f(stored_.data(), nullptr, at, rows);
                    continue;
                }
            }
            convert(n, count_missing);
            f(values_.data(), mask_.empty() ? nullptr : mask_.data(), at, rows);
        }
    }

    /// This rank's rows.
    const virda::frontend::row_range& own() const { return own_; }

private:
    void convert(std::size_t n, bool count_missing)
    {
        const value_rules& rules = s_.rules;
        const bool active = rules.active();
        const std::size_t per_row = static_cast<std::size_t>(s_.row_values);
        const auto cells = static_cast<std::size_t>(cells_.cells);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = i % per_row;
            const std::size_t to = cells_.dest.empty()
                                       ? i
                                       : (i - j) + static_cast<std::size_t>(cells_.dest[j]);
            V value;
            if (!active) {
                value = static_cast<V>(stored_[i]);
            } else {
                const double v = static_cast<double>(stored_[i]);
                const bool missing = rules.missing(v);
                if (!mask_.empty()) {
                    mask_[to] = missing ? 1 : 0;
                }
                if (missing) {
                    value = static_cast<V>(nan);
                    if (count_missing) {
                        ++missing_[to % cells];
                    }
                } else {
                    value = static_cast<V>(rules.unpack(v));
                }
            }
            values_[to] = value;
        }
    }

    const h5_input& in_;
    const dataset_shape& s_;
    const cell_layout& cells_;
    virda::frontend::row_range own_;
    bool direct_ = false;
    long long slab_rows_ = 1;
    long long slabs_ = 0;
    std::size_t slab_bytes_ = 0;
    std::vector<T> stored_;
    std::vector<V> values_;
    std::vector<unsigned char> mask_;
    std::vector<long long> missing_;
};

/// The value of a statistic from a cell's summary, in double (rounded to
/// float32 for single-precision results).
double moment_value(const statistic& st, const engine::moment_summary& sum, std::size_t c, bool single)
{
    double v = nan;
    switch (st.kind) {
    case statistic_kind::mean:
        if (single) {
            return static_cast<double>(static_cast<float>(sum.precise_mean(c)));
        }
        v = sum.mean(c);
        if (!std::isfinite(v) && std::isfinite(sum.min(c)) && std::isfinite(sum.max(c))) {
            v = static_cast<double>(sum.precise_mean(c)); // the total overflows, the mean does not
        }
        break;
    case statistic_kind::std:
        v = sum.stdev(0, c);
        break;
    case statistic_kind::min:
        v = sum.exact_min(c).as_double();
        break;
    case statistic_kind::max:
        v = sum.exact_max(c).as_double();
        break;
    case statistic_kind::sum:
        v = sum.sum(c);
        break;
    case statistic_kind::count:
    case statistic_kind::quantile:
        break;
    }
    return single ? static_cast<double>(static_cast<float>(v)) : v;
}

/// The value of a statistic from a cell's compact float32 moments, as
/// moment_value gives it from the general summary (rounded to float32).
double float_moment_value(const statistic& st, const cell_moment_result& r)
{
    switch (st.kind) {
    case statistic_kind::mean:
        return static_cast<double>(static_cast<float>(r.precise_mean));
    case statistic_kind::std:
        return static_cast<double>(static_cast<float>(r.stdev));
    case statistic_kind::min:
        return static_cast<double>(r.min);
    case statistic_kind::max:
        return static_cast<double>(r.max);
    case statistic_kind::sum:
        return static_cast<double>(static_cast<float>(r.sum));
    case statistic_kind::count:
    case statistic_kind::quantile:
        break;
    }
    return nan;
}

/// Where each rank's share of a group's cells lies among records of `width`
/// values: MPI_Allgatherv's counts and displacements, made in the agreed
/// step before the collectives that use them.
struct share_layout {
    std::vector<int> counts;
    std::vector<int> displacements;

    /// The layout of `cells` records of `width` values split as
    /// float_cell_moments::share_of splits them over `ranks` ranks. Local;
    /// throws tool_error (the same on every rank) beyond int counts.
    share_layout(std::size_t cells, std::size_t width, int ranks)
        : counts(static_cast<std::size_t>(ranks)), displacements(static_cast<std::size_t>(ranks))
    {
        if (cells * width > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            throw tool_error("reduce keeps too many cells in one group to gather their statistics");
        }
        for (int r = 0; r < ranks; ++r) {
            const auto share = float_cell_moments::share_of(cells, ranks, r);
            counts[static_cast<std::size_t>(r)] = static_cast<int>(share.second * width);
            displacements[static_cast<std::size_t>(r)] = static_cast<int>(share.first * width);
        }
    }
};

/// Gives every rank every share of records laid out as `layout` says (in
/// place: each rank holds its own share). Allocates nothing. Collective
/// over comm.
void gather_shares(void* records, MPI_Datatype type, const share_layout& layout, MPI_Comm comm)
{
    if (MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, records, layout.counts.data(),
                       layout.displacements.data(), type, comm) != MPI_SUCCESS) {
        throw tool_error("gathering the statistics of reduce over the ranks failed");
    }
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

std::vector<statistic> statistics_named(const std::vector<std::string>& names)
{
    std::vector<statistic> out;
    for (const std::string& name : names) {
        statistic s;
        s.name = name;
        if (name == "mean") {
            s.kind = statistic_kind::mean;
        } else if (name == "std") {
            s.kind = statistic_kind::std;
        } else if (name == "min") {
            s.kind = statistic_kind::min;
        } else if (name == "max") {
            s.kind = statistic_kind::max;
        } else if (name == "sum") {
            s.kind = statistic_kind::sum;
        } else if (name == "count") {
            s.kind = statistic_kind::count;
        } else if (name == "median") {
            s.kind = statistic_kind::quantile;
            s.probability = 0.5;
        } else {
            s.kind = statistic_kind::quantile;
            s.probability = std::strtod(name.c_str() + 1, nullptr);
        }
        out.push_back(s);
    }
    return out;
}

std::string cell_method_of(const statistic& s)
{
    switch (s.kind) {
    case statistic_kind::mean:
        return "mean";
    case statistic_kind::std:
        return "standard_deviation";
    case statistic_kind::min:
        return "minimum";
    case statistic_kind::max:
        return "maximum";
    case statistic_kind::sum:
        return "sum";
    case statistic_kind::count:
        return "point (number of values)";
    case statistic_kind::quantile:
        break;
    }
    return s.probability == 0.5 ? "median" : "point (quantile " + s.name.substr(1) + ")";
}

reduced_field reduce_grid(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                          const std::vector<statistic>& stats, engine::quantile_method method,
                          std::size_t memory_budget, MPI_Comm comm)
{
    return engine::visit_number_type(s.read_type, [&](auto* tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        // Values held as read unless a rule applies; then NaN stands for a
        // missing value: in the float type read, or in double for packed
        // values and integers.
        constexpr bool floating = std::is_floating_point_v<T>;
        const bool rows_kept = std::find(reduced.begin(), reduced.end(), s.row_axis) == reduced.end();
        const auto as = [&](auto* value_tag) {
            using V = std::remove_pointer_t<decltype(value_tag)>;
            return rows_kept ? reduce_rows_as<T, V>(in, s, reduced, stats, method, memory_budget, comm)
                             : reduce_as<T, V>(in, s, reduced, stats, method, memory_budget, comm);
        };
        if (!s.rules.active()) {
            return as(static_cast<T*>(nullptr));
        }
        if constexpr (floating) {
            if (!s.rules.packed) {
                return as(static_cast<T*>(nullptr));
            }
        }
        return as(static_cast<double*>(nullptr));
    });
}

} // namespace virda_stats
