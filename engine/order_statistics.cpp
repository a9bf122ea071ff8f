#include "engine/order_statistics.h"

#include "engine/error.h"
#include "engine/record_reduction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace virda::engine {
namespace {

/// NaN values of a run (0 for integers).
template <typename T>
std::int64_t nans_in(const values_view& v)
{
    if constexpr (!std::is_floating_point_v<T>) {
        return 0;
    } else {
        std::int64_t n = 0;
        const auto* p = static_cast<const unsigned char*>(v.data);
        if (v.stride == 0 && v.count > 0) {
            T x;
            std::memcpy(&x, p, sizeof x);
            return x != x ? v.count : 0;
        }
        if (v.stride == static_cast<std::int64_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0) {
            const T* x = reinterpret_cast<const T*>(p);
            for (std::int64_t i = 0; i < v.count; ++i) {
                n += x[i] != x[i] ? 1 : 0;
            }
            return n;
        }
        for (std::int64_t i = 0; i < v.count; ++i, p += v.stride) {
            T x;
            std::memcpy(&x, p, sizeof x);
            n += x != x ? 1 : 0;
        }
        return n;
    }
}

table_view as_table(const values_view& v)
{
    return {v.data, v.type, v.count, 1, v.stride, v.stride};
}

} // namespace

value_counts value_counts::from(const moment_summary& s, std::int64_t local_values)
{
    value_counts c;
    for (std::size_t j = 0; j < s.columns(); ++j) {
        c.values.push_back(s.count(j));
        c.nans.push_back(s.nan_count(j));
    }
    c.local = local_values;
    return c;
}

order_statistics::order_statistics(number_type type, std::int64_t columns) : type_(type), columns_(columns)
{
    if (columns < 1) {
        throw error(error_code::invalid_argument, "order_statistics: the number of columns must be at least 1");
    }
}

order_statistics::~order_statistics() = default;
order_statistics::order_statistics(order_statistics&&) noexcept = default;
order_statistics& order_statistics::operator=(order_statistics&&) noexcept = default;

void order_statistics::add(const values_view& v)
{
    if (v.type != type_) {
        throw error(error_code::invalid_argument, "order_statistics: values of another number type");
    }
    if (columns_ != 1) {
        throw error(error_code::invalid_argument, "order_statistics: a run of values added to several columns");
    }
    if (v.count > 0) {
        blocks_.push_back(as_table(v));
    }
}

void order_statistics::add(const table_view& t)
{
    if (t.type != type_) {
        throw error(error_code::invalid_argument, "order_statistics: values of another number type");
    }
    if (columns_ != 1 && t.columns != columns_) {
        throw error(error_code::invalid_argument, "order_statistics: a table of another number of columns");
    }
    if (t.rows > 0 && t.columns > 0) {
        blocks_.push_back(t);
    }
}

value_counts order_statistics::count(MPI_Comm comm, std::int64_t expected_total, call_agreement* caller) const
{
    const auto k = static_cast<std::size_t>(columns_);
    std::vector<std::int64_t> values(k, 0);
    std::vector<std::int64_t> nans(k, 0);
    std::int64_t local = 0;
    visit_number_type(type_, [&](auto* p) {
        using T = std::remove_pointer_t<decltype(p)>;
        for (const table_view& t : blocks_) {
            local += t.rows * t.columns;
            for (std::int64_t j = 0; j < t.columns; ++j) {
                const std::size_t c = columns_ == 1 ? 0 : static_cast<std::size_t>(j);
                const std::int64_t n = nans_in<T>(column_of(t, j));
                nans[c] += n;
                values[c] += t.rows - n;
            }
        }
    });
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    detail::reduction_record record;
    const auto agreement = record.reserve_agreement(
        false, rank,
        detail::mix(detail::mix(static_cast<std::uint64_t>(type_), static_cast<std::uint64_t>(columns_)),
                    static_cast<std::uint64_t>(expected_total)));
    const std::size_t at = record.reserve_sums(2 * k);
    std::copy(values.begin(), values.end(), record.sums() + at);
    std::copy(nans.begin(), nans.end(), record.sums() + at + k);
    detail::reduction_record::agreement callers;
    std::size_t short_at = 0;
    if (caller != nullptr) {
        callers = record.reserve_agreement(caller->failed, rank, caller->fingerprint);
        short_at = record.reserve_least(1);
        record.least()[short_at] =
            caller->out_of_memory ? static_cast<std::uint64_t>(rank) : detail::reduction_record::no_rank;
    }
    if (!record.allreduce(comm)) {
        throw error(error_code::mpi_failure, "order_statistics: the reduction of the counts failed");
    }
    if (caller != nullptr) {
        const std::uint64_t short_rank = record.least()[short_at];
        caller->failed_rank = record.failed_rank(callers);
        caller->out_of_memory_rank =
            short_rank == detail::reduction_record::no_rank ? -1 : static_cast<int>(short_rank);
        caller->same_fingerprints = record.same_calls(callers);
        if (!caller->settled()) {
            // A failed rank's accumulator may be of another type: its
            // statistics mean nothing, and the caller raises from `caller`.
            return value_counts{};
        }
    }
    if (!record.same_calls(agreement)) {
        throw error(error_code::ranks_disagree,
                    "order_statistics: the ranks counted statistics of different number types or columns");
    }
    std::int64_t total = 0;
    for (std::size_t j = 0; j < 2 * k; ++j) {
        total += record.sums()[at + j];
    }
    if (expected_total >= 0 && total != expected_total) {
        throw error(error_code::ranks_disagree, "order_statistics: the ranks hold " + std::to_string(total) +
                                                    " values between them, not the " +
                                                    std::to_string(expected_total) + " expected");
    }
    value_counts c;
    c.values.assign(record.sums() + at, record.sums() + at + k);
    c.nans.assign(record.sums() + at + k, record.sums() + at + 2 * k);
    c.local = local;
    return c;
}

std::vector<std::vector<number>> order_statistics::select(const value_counts& counts,
                                                          const std::vector<std::vector<std::uint64_t>>& ranks,
                                                          MPI_Comm comm) const
{
    // Copies of the keys in question may take up to an eighth of the
    // values' own size in memory, at least 8 MB. A repeated value (a stride
    // of 0) is held once, whatever it counts for.
    std::int64_t held = 0;
    for (const table_view& t : blocks_) {
        held += (t.row_stride == 0 ? 1 : t.rows) * (t.column_stride == 0 ? 1 : t.columns);
    }
    const std::size_t size = facts_of(type_).size;
    const std::size_t budget = std::max<std::size_t>(std::size_t{1} << 23, static_cast<std::size_t>(held) * size / 8);
    selection_search search(type_, counts, ranks, budget);
    while (!search.finished()) {
        if (search.wants_values()) {
            for (const table_view& t : blocks_) {
                search.add(t);
            }
        }
        search.end_round(comm);
    }
    return search.result();
}

std::vector<std::vector<double>> order_statistics::quantiles(const std::vector<double>& q, MPI_Comm comm,
                                                             quantile_method method, nan_policy policy) const
{
    for (const double p : q) {
        if (!(p >= 0.0 && p <= 1.0)) {
            throw error(error_code::invalid_argument, "Quantiles must be in the range [0, 1]");
        }
    }
    const value_counts counts = count(comm);
    const auto k = static_cast<std::size_t>(columns_);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::vector<double>> out(k, std::vector<double>(q.size(), nan));
    std::vector<std::vector<quantile_position>> where(k);
    std::vector<std::vector<std::uint64_t>> ranks(k);
    for (std::size_t c = 0; c < k; ++c) {
        const auto n = static_cast<std::uint64_t>(counts.values[c]);
        if (n == 0 || (policy == nan_policy::propagate && counts.nans[c] > 0)) {
            continue; // NaN: nothing to find in this column
        }
        for (const double p : q) {
            const quantile_position w = position_of(p, n, method);
            where[c].push_back(w);
            ranks[c].push_back(w.below);
            ranks[c].push_back(w.above);
        }
    }
    const std::vector<std::vector<number>> found = select(counts, ranks, comm);
    for (std::size_t c = 0; c < k; ++c) {
        for (std::size_t i = 0; i < where[c].size(); ++i) {
            const number& a = found[c][2 * i];
            const number& b = found[c][2 * i + 1];
            out[c][i] = where[c][i].exact ? a.as_double() : interpolate(a, b, where[c][i].gamma);
        }
    }
    return out;
}

} // namespace virda::engine
