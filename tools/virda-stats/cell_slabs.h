#ifndef VIRDA_TOOLS_VIRDA_STATS_CELL_SLABS_H
#define VIRDA_TOOLS_VIRDA_STATS_CELL_SLABS_H

// The values of a grid read slab by slab for reduce, arranged as tables
// whose columns are the cells kept.

#include "collective_error.h"
#include "dataset_shape.h"
#include "h5_reader.h"
#include "held_types.h"
#include "memory_check.h"
#include "slab_statistics.h"

#include "engine/number_type.h"
#include "engine/views.h"
#include "frontend/row_exchange.h"

#include <mpi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

namespace virda_stats {

/// Where each value of a row (the dimensions after the row axis, in file
/// order) goes among the rows of a table whose columns are the cells kept:
/// value j of a row lands in row r and column c of that row's block of
/// `inner_reduced` table rows, at dest[j] = r * cells + c.
struct cell_layout {
    std::vector<std::int64_t> dest; ///< empty: every value is its own cell, in order
    std::int64_t inner_reduced = 1;
    std::int64_t cells = 1;
};

/// The layout of the cells kept when grid `s` is reduced along `reduced`. Local.
cell_layout layout_for(const dataset_shape& s, const std::vector<int>& reduced);

/// The rows a slab needs to read at full speed: about 32 MiB, in whole
/// chunks along the row axis when the dataset is chunked (a chunk cut by two
/// slabs would be read twice). Local: metadata only.
long long enough_rows(const h5_input& in, const dataset_shape& s, std::size_t row_bytes);

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
            f(virda::engine::table_of(values + first, rows * cells_.inner_reduced, count, cells_.cells));
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
                in_.read_slab_as(s_, virda::engine::number_type_of<T>::value, own_.first + at, rows, stored_.data());
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
                    value = static_cast<V>(std::numeric_limits<double>::quiet_NaN());
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

/// Calls f(T*, V*) with null tags: T the type grid `s` is read as, V the
/// type its values are held in: as read unless a rule applies; then NaN
/// stands for a missing value, in the float type read, or in double for
/// packed values and integers.
template <typename F>
auto visit_cell_types(const dataset_shape& s, F&& f)
{
    return virda::engine::visit_number_type(s.read_type, [&](auto* tag) {
        using T = std::remove_pointer_t<decltype(tag)>;
        if (!s.rules.active()) {
            return f(tag, static_cast<T*>(nullptr));
        }
        if constexpr (std::is_floating_point_v<T>) {
            if (!s.rules.packed) {
                return f(tag, static_cast<T*>(nullptr));
            }
        }
        return f(tag, static_cast<double*>(nullptr));
    });
}

} // namespace virda_stats

#endif // VIRDA_TOOLS_VIRDA_STATS_CELL_SLABS_H
