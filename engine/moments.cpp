#include "engine/moments.h"

#include "engine/error.h"
#include "engine/moment_kernels.h"
#include "engine/moments_state.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>

namespace virda_detail {

const moment_kernel_table& moment_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(moment_kernel_table, moment_table);
}

} // namespace virda_detail

namespace virda::engine {

using namespace detail;
using moment_layout::chunk;

moments::moments(number_type type, std::int64_t columns, bool spread) : type_(type), columns_(columns), spread_(spread)
{
    if (columns < 1) {
        throw error(error_code::invalid_argument, "moments: the number of columns must be at least 1");
    }
    state_ = std::make_unique<state>();
    state_->spread = spread;
    state_->columns.resize(static_cast<std::size_t>(columns));
    // The record's room, so that finishing allocates nothing new.
    state_->fill_record(0, type_, columns_, nan_policy::propagate);
    state_->record.allreduce(MPI_COMM_NULL);
}

moments::~moments() = default;
moments::moments(moments&&) noexcept = default;
moments& moments::operator=(moments&&) noexcept = default;

void moments::add(const values_view& v)
{
    if (v.type != type_) {
        throw error(error_code::invalid_argument, std::string("moments: values of type ") + facts_of(v.type).name +
                                                      " added to an accumulator of " + facts_of(type_).name);
    }
    if (columns_ != 1) {
        throw error(error_code::invalid_argument,
                    "moments: a run of values added to an accumulator of several columns (add a table)");
    }
    if (state_->failed || v.count <= 0) {
        return;
    }
    try {
        visit_number_type(type_, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            state_->add_run<T>(state_->columns[0], v);
        });
    } catch (const std::bad_alloc&) {
        // Reported by every rank at the finish.
        state_->failed = true;
    }
}

void moments::add(const table_view& t)
{
    if (t.type != type_) {
        throw error(error_code::invalid_argument, std::string("moments: values of type ") + facts_of(t.type).name +
                                                      " added to an accumulator of " + facts_of(type_).name);
    }
    if (columns_ == 1) {
        for_each_run(t, [&](const values_view& run) { add(run); });
        return;
    }
    if (t.columns != columns_) {
        throw error(error_code::invalid_argument, "moments: a table of " + std::to_string(t.columns) +
                                                      " columns added to an accumulator of " +
                                                      std::to_string(columns_));
    }
    if (state_->failed || t.rows <= 0) {
        return;
    }
    try {
        visit_number_type(type_, [&](auto* p) {
            using T = std::remove_pointer_t<decltype(p)>;
            // Where a row's values lie closer together than a column's, the
            // columns are read a tile of rows at a time, so that the lines a
            // tile touches stay in the cache from one column to the next.
            const auto magnitude = [](std::int64_t s) { return s < 0 ? -s : s; };
            const std::int64_t tile = magnitude(t.column_stride) < magnitude(t.row_stride) ? static_cast<std::int64_t>(chunk) : t.rows;
            if constexpr (std::is_same_v<T, double>) {
                const auto* base = static_cast<const char*>(t.data);
                if (!spread_ && t.column_stride == static_cast<std::int64_t>(sizeof(double)) &&
                    t.row_stride % static_cast<std::int64_t>(sizeof(double)) == 0 &&
                    magnitude(t.row_stride) >= t.columns * static_cast<std::int64_t>(sizeof(double)) &&
                    reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0) {
                    // Rows of contiguous columns: tiles of up to 256 columns
                    // and about 256 KB, a row at a time.
                    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(t.row_stride / 8);
                    for (std::int64_t j = 0; j < columns_; j += virda_detail::tile_deposit_columns) {
                        const std::int64_t k = std::min<std::int64_t>(columns_ - j, virda_detail::tile_deposit_columns);
                        const std::int64_t rows_per_tile =
                            std::clamp<std::int64_t>(32768 / k, 16, virda_detail::tile_deposit_rows);
                        for (std::int64_t r = 0; r < t.rows; r += rows_per_tile) {
                            state_->add_tile(reinterpret_cast<const double*>(base + r * t.row_stride) + j,
                                             static_cast<std::size_t>(std::min(rows_per_tile, t.rows - r)), step,
                                             static_cast<std::size_t>(j), static_cast<std::size_t>(k));
                        }
                    }
                    return;
                }
            }
            for (std::int64_t r = 0; r < t.rows; r += tile) {
                const auto* first = static_cast<const char*>(t.data) + r * t.row_stride;
                const std::int64_t m = std::min(tile, t.rows - r);
                for (std::int64_t j = 0; j < columns_; ++j) {
                    state_->add_run<T>(state_->columns[static_cast<std::size_t>(j)],
                                       values_view{first + j * t.column_stride, t.type, m, t.row_stride});
                }
            }
        });
    } catch (const std::bad_alloc&) {
        state_->failed = true;
    }
}

moment_summary moments::finish(MPI_Comm comm, nan_policy policy) const
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    state_->fill_record(rank, type_, columns_, policy);
    if (!state_->record.allreduce(comm)) {
        throw error(error_code::mpi_failure, "moments: the reduction over the communicator failed");
    }
    const int failed = state_->record.failed_rank(state_->agreement);
    if (failed >= 0) {
        throw error(error_code::out_of_memory,
                    "moments: rank " + std::to_string(failed) + " could not allocate memory for its values", failed);
    }
    if (!state_->record.same_calls(state_->agreement)) {
        throw error(error_code::ranks_disagree,
                    "moments: the ranks finished accumulators of different number types, columns or NaN policies");
    }
    return state_->summary(type_, policy);
}

moment_summary moments::finish_local(nan_policy policy) const
{
    if (state_->failed) {
        throw error(error_code::out_of_memory, "moments: could not allocate memory for the values");
    }
    state_->fill_record(0, type_, columns_, policy);
    return state_->summary(type_, policy);
}

void moments::clear()
{
    for (state::column& c : state_->columns) {
        c = state::column();
    }
    state_->failed = false;
}

} // namespace virda::engine
