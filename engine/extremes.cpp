#include "engine/extremes.h"

#include "engine/allocation_failures.h"
#include "engine/error.h"
#include "engine/extremes_record.h"
#include "engine/extremes_scan.h"
#include "engine/moment_kernels.h"
#include "engine/record_reduction.h"

#include <algorithm>
#include <string>
#include <type_traits>
#include <vector>

namespace virda::engine {

using namespace extremes_detail;

namespace {

constexpr std::int64_t chunk = 1024;

} // namespace

/// A column's extremes while values are added, in the compared type.
template <typename A>
struct column_state {
    A least = highest<A>();
    A greatest = lowest<A>();
    std::int64_t least_at = -1;
    std::int64_t greatest_at = -1;
    std::int64_t nan_at = -1;
    std::int64_t nan_count = 0;
    std::uint64_t zeros = 0;
};

namespace {

/// Of three members holding the compared types double, int64 and uint64
/// (in that order), the one for A.
template <typename A, typename F, typename S, typename U>
auto& of_compared(F& floating, S& signed_, U& unsigned_)
{
    if constexpr (std::is_floating_point_v<A>) {
        return floating;
    } else if constexpr (std::is_signed_v<A>) {
        return signed_;
    } else {
        return unsigned_;
    }
}

} // namespace

struct extremes::state {
    bool failed = false;
    std::int64_t rows = 0;
    std::vector<column_state<double>> floating;
    std::vector<column_state<std::int64_t>> signed_;
    std::vector<column_state<std::uint64_t>> unsigned_;
    mutable std::vector<column_record> record;

    template <typename A>
    std::vector<column_state<A>>& columns_of()
    {
        return of_compared<A>(floating, signed_, unsigned_);
    }

    /// Column c's values as they stand after a block of m values from q,
    /// `stride` bytes apart, at rows at..: the block's extremes (l, g), NaN
    /// count and zeros' signs are known; where they improve the column's,
    /// the block is searched for their first place.
    template <typename T>
    static void note_block(column_state<compared_t<T>>& c, const char* q, std::int64_t m, std::int64_t stride,
                           std::int64_t at, compared_t<T> l, compared_t<T> g, std::int64_t nans,
                           std::uint64_t zeros)
    {
        using A = compared_t<T>;
        const auto first = [&](auto&& is) {
            std::int64_t i = 0;
            while (!is(static_cast<A>(value_at<T>(q, i, stride)))) {
                ++i;
            }
            return at + i;
        };
        if (nans > 0) {
            c.nan_count += nans;
            if (c.nan_at < 0) {
                c.nan_at = first([](A x) { return x != x; });
            }
        }
        if (nans == m) {
            return;
        }
        c.zeros |= zeros;
        if (c.least_at < 0 || l < c.least) {
            c.least = l;
            c.least_at = first([&](A x) { return x == l; });
        }
        if (c.greatest_at < 0 || g > c.greatest) {
            c.greatest = g;
            c.greatest_at = first([&](A x) { return x == g; });
        }
    }

    /// m values from p, `stride` bytes apart, as rows row0.. of column c.
    template <typename T>
    static void add_run(column_state<compared_t<T>>& c, const char* p, std::int64_t n, std::int64_t stride,
                        std::int64_t row0)
    {
        using A = compared_t<T>;
        for (std::int64_t done = 0; done < n; done += chunk) {
            const std::int64_t m = std::min(chunk, n - done);
            const char* q = p + done * stride;
            A l = highest<A>();
            A g = lowest<A>();
            std::int64_t nans = 0;
            std::uint64_t zeros = 0;
            bool scanned = false;
            if constexpr (std::is_same_v<T, double>) {
                if (stride == static_cast<std::int64_t>(sizeof(double))) {
                    virda_detail::moment_scan s;
                    virda_detail::moment_kernels().extremes(reinterpret_cast<const double*>(q),
                                                            static_cast<std::size_t>(m), &s);
                    l = s.least;
                    g = s.greatest;
                    nans = static_cast<std::int64_t>(s.nan);
                    zeros = (s.negative_zero ? 1u : 0u) | (s.positive_zero ? 2u : 0u);
                    scanned = true;
                }
            }
            if (!scanned) {
                scan<T>(q, m, stride, &l, &g, &nans, &zeros);
            }
            note_block<T>(c, q, m, stride, row0 + done, l, g, nans, zeros);
        }
    }

    /// Per column, the extremes and NaN count of the tile of rows being
    /// added (allocated with the state: adding allocates nothing).
    std::vector<double> tile_floating[2];
    std::vector<std::int64_t> tile_signed[2];
    std::vector<std::uint64_t> tile_unsigned[2];
    std::vector<std::int64_t> tile_nans;

    template <typename A>
    std::vector<A>* tile_of()
    {
        return of_compared<A>(tile_floating, tile_signed, tile_unsigned);
    }

    /// The rows of a table of as many columns as the accumulator, a tile of
    /// rows at a time: the tile's extremes per column first, then, only for
    /// the columns whose extremes it improves, where they first occur.
    template <typename T>
    void add_rows(const table_view& t)
    {
        using A = compared_t<T>;
        constexpr std::int64_t tile = 256;
        auto& cs = columns_of<A>();
        std::vector<A>* scratch = tile_of<A>();
        A* least = scratch[0].data();
        A* greatest = scratch[1].data();
        std::int64_t* nans = tile_nans.data();
        const auto ncol = static_cast<std::size_t>(t.columns);
        for (std::int64_t r = 0; r < t.rows; r += tile) {
            const std::int64_t m = std::min(tile, t.rows - r);
            const char* base = static_cast<const char*>(t.data) + r * t.row_stride;
            scan_columns<T>(base, m, t.row_stride, t.column_stride, ncol, least, greatest, nans);
            for (std::size_t j = 0; j < ncol; ++j) {
                const char* column = base + static_cast<std::int64_t>(j) * t.column_stride;
                std::uint64_t zeros = 0;
                if constexpr (std::is_floating_point_v<T>) {
                    if (nans[j] < m && (least[j] == 0 || greatest[j] == 0)) {
                        zeros = zero_signs<T>(column, m, t.row_stride);
                    }
                }
                note_block<T>(cs[j], column, m, t.row_stride, rows + r, least[j], greatest[j], nans[j], zeros);
            }
        }
    }

    template <typename A>
    void fill(number_type type, int rank) const;
};

template <typename A>
void extremes::state::fill(number_type type, int rank) const
{
    const auto& cs = const_cast<state*>(this)->columns_of<A>();
    const std::uint64_t fingerprint =
        detail::mix(detail::mix(0, static_cast<std::uint64_t>(type)), static_cast<std::uint64_t>(record.size()));
    for (std::size_t j = 0; j < record.size(); ++j) {
        column_record& r = record[j];
        r = column_record{};
        r.rows = static_cast<std::uint64_t>(rows);
        r.fingerprint = fingerprint;
        r.failed = failed ? static_cast<std::uint64_t>(rank) : none;
        r.least_at = r.greatest_at = r.nan_at = none;
        if (failed || j >= cs.size()) {
            continue;
        }
        const column_state<A>& c = cs[j];
        r.nan_count = static_cast<std::uint64_t>(c.nan_count);
        r.count = static_cast<std::uint64_t>(rows - c.nan_count);
        r.zeros = c.zeros;
        r.nan_at = c.nan_at < 0 ? none : static_cast<std::uint64_t>(c.nan_at);
        if (c.least_at >= 0) {
            r.least = key_of(c.least);
            r.least_at = static_cast<std::uint64_t>(c.least_at);
            r.greatest = key_of(c.greatest);
            r.greatest_at = static_cast<std::uint64_t>(c.greatest_at);
        }
    }
}

namespace {

/// The visitor's compared type of a number type.
template <typename F>
void with_compared_type(number_type type, F&& f)
{
    const number_type_facts& facts = facts_of(type);
    if (facts.floating) {
        f(static_cast<double*>(nullptr));
    } else if (facts.is_signed) {
        f(static_cast<std::int64_t*>(nullptr));
    } else {
        f(static_cast<std::uint64_t*>(nullptr));
    }
}

std::string type_error(number_type got, number_type want)
{
    return std::string("extremes: values of type ") + facts_of(got).name + " added to an accumulator of " +
           facts_of(want).name;
}

} // namespace

extremes::extremes(number_type type, std::int64_t columns) : type_(type), columns_(columns)
{
    if (columns < 1) {
        throw error(error_code::invalid_argument, "extremes: the number of columns must be at least 1");
    }
    state_ = std::make_unique<state>();
    detail::check_allocation();
    state_->record.resize(static_cast<std::size_t>(columns));
    with_compared_type(type_, [&](auto* p) {
        using A = std::remove_pointer_t<decltype(p)>;
        state_->columns_of<A>().resize(static_cast<std::size_t>(columns));
        if (columns > 1) {
            state_->tile_of<A>()[0].resize(static_cast<std::size_t>(columns));
            state_->tile_of<A>()[1].resize(static_cast<std::size_t>(columns));
            state_->tile_nans.resize(static_cast<std::size_t>(columns));
        }
    });
}

extremes::~extremes() = default;
extremes::extremes(extremes&&) noexcept = default;
extremes& extremes::operator=(extremes&&) noexcept = default;

void extremes::add(const values_view& v)
{
    if (v.type != type_) {
        throw error(error_code::invalid_argument, type_error(v.type, type_));
    }
    if (columns_ != 1) {
        throw error(error_code::invalid_argument,
                    "extremes: a run of values added to an accumulator of several columns (add a table)");
    }
    if (state_->failed || v.count <= 0) {
        return;
    }
    visit_number_type(type_, [&](auto* p) {
        using T = std::remove_pointer_t<decltype(p)>;
        state::add_run<T>(state_->columns_of<compared_t<T>>()[0], static_cast<const char*>(v.data), v.count,
                          v.stride, state_->rows);
    });
    state_->rows += v.count;
}

void extremes::add(const table_view& t)
{
    if (t.type != type_) {
        throw error(error_code::invalid_argument, type_error(t.type, type_));
    }
    if (columns_ == 1) {
        // Row by row: a run where the rows follow each other at one stride.
        values_view run;
        if (as_one_run(t, &run)) {
            add(run);
        } else {
            for (std::int64_t i = 0; i < t.rows; ++i) {
                add(row_of(t, i));
            }
        }
        return;
    }
    if (t.columns != columns_) {
        throw error(error_code::invalid_argument, "extremes: a table of " + std::to_string(t.columns) +
                                                      " columns added to an accumulator of " +
                                                      std::to_string(columns_));
    }
    if (state_->failed || t.rows <= 0) {
        return;
    }
    visit_number_type(type_, [&](auto* p) { state_->add_rows<std::remove_pointer_t<decltype(p)>>(t); });
    state_->rows += t.rows;
}

void extremes::fail_allocation()
{
    state_->failed = true;
}


extremes_summary extremes::finish(MPI_Comm comm, nan_policy policy) const
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    with_compared_type(type_, [&](auto* p) { state_->fill<std::remove_pointer_t<decltype(p)>>(type_, rank); });
    if (!reduce_records(state_->record, comm)) {
        throw error(error_code::mpi_failure, "extremes: the reduction over the communicator failed");
    }
    const column_record& first = state_->record[0];
    if (first.failed != none) {
        const int failed = static_cast<int>(first.failed);
        throw error(error_code::out_of_memory,
                    "extremes: rank " + std::to_string(failed) + " could not allocate memory for its values", failed);
    }
    if (first.disagree != 0) {
        throw error(error_code::ranks_disagree,
                    "extremes: the ranks finished accumulators of different number types or columns");
    }
    return summary_of(type_, state_->record, policy);
}

extremes_summary extremes::finish_local(nan_policy policy) const
{
    if (state_->failed) {
        throw error(error_code::out_of_memory, "extremes: this rank was marked as short of memory");
    }
    with_compared_type(type_, [&](auto* p) { state_->fill<std::remove_pointer_t<decltype(p)>>(type_, 0); });
    return summary_of(type_, state_->record, policy);
}

void extremes::clear()
{
    state_->rows = 0;
    state_->failed = false;
    for (auto& c : state_->floating) {
        c = column_state<double>();
    }
    for (auto& c : state_->signed_) {
        c = column_state<std::int64_t>();
    }
    for (auto& c : state_->unsigned_) {
        c = column_state<std::uint64_t>();
    }
}

} // namespace virda::engine
