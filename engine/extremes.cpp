#include "engine/extremes.h"

#include "engine/allocation_failures.h"
#include "engine/error.h"
#include "engine/moment_kernels.h"
#include "engine/order_keys.h"
#include "engine/record_reduction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

namespace virda::engine {

namespace {

constexpr std::uint64_t none = ~std::uint64_t{0};
constexpr std::int64_t chunk = 1024;

/// What one column contributes to the reduction, every field a uint64 so
/// that one MPI datatype describes it. Positions are rows counted from the
/// first row of the ranks combined so far; `none` when there is none.
struct column_record {
    std::uint64_t count;     ///< values that are not NaN (added)
    std::uint64_t nan_count; ///< NaN values (added)
    std::uint64_t rows;      ///< rows (added): the offset of the next rank's rows
    std::uint64_t least;     ///< order key of the least value, zeros alike
    std::uint64_t least_at;
    std::uint64_t greatest;  ///< order key of the greatest value
    std::uint64_t greatest_at;
    std::uint64_t nan_at;    ///< the first NaN
    std::uint64_t zeros;     ///< bit 0: a -0.0 was seen, bit 1: a +0.0
    std::uint64_t failed;    ///< the lowest rank short of memory, or none
    std::uint64_t fingerprint;
    std::uint64_t disagree;  ///< 1 when two ranks' fingerprints differed
};
constexpr int record_fields = static_cast<int>(sizeof(column_record) / sizeof(std::uint64_t));

/// lower (r) combined with the record of the ranks above it (inout): the
/// positions of the upper ranks' rows shifted by the lower ranks' rows.
void combine(const column_record& l, column_record& r)
{
    column_record c = l;
    c.disagree = l.disagree | r.disagree | (l.fingerprint != r.fingerprint ? 1 : 0);
    c.failed = std::min(l.failed, r.failed);
    if (r.least_at != none && (l.least_at == none || r.least < l.least)) {
        c.least = r.least;
        c.least_at = l.rows + r.least_at;
    }
    if (r.greatest_at != none && (l.greatest_at == none || r.greatest > l.greatest)) {
        c.greatest = r.greatest;
        c.greatest_at = l.rows + r.greatest_at;
    }
    if (l.nan_at == none && r.nan_at != none) {
        c.nan_at = l.rows + r.nan_at;
    }
    c.count = l.count + r.count;
    c.nan_count = l.nan_count + r.nan_count;
    c.rows = l.rows + r.rows;
    c.zeros = l.zeros | r.zeros;
    r = c;
}

extern "C" void combine_records(void* in, void* inout, int* len, MPI_Datatype*)
{
    const auto* l = static_cast<const column_record*>(in);
    auto* r = static_cast<column_record*>(inout);
    for (int i = 0; i < *len; ++i) {
        combine(l[i], r[i]);
    }
}

// Order keys with the zeros alike (their signs are counted apart, in `zeros`).
std::uint64_t key_of(double x) { return detail::key_of(x == 0.0 ? 0.0 : x); }
std::uint64_t key_of(std::int64_t v) { return detail::key_of(v); }
std::uint64_t key_of(std::uint64_t v) { return v; }
using detail::number_of_key;

/// The type values of T are compared in.
template <typename T>
using compared_t = std::conditional_t<std::is_floating_point_v<T>, double,
                                      std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>;

template <typename A>
constexpr A highest()
{
    return std::is_floating_point_v<A> ? std::numeric_limits<A>::infinity() : std::numeric_limits<A>::max();
}
template <typename A>
constexpr A lowest()
{
    return std::is_floating_point_v<A> ? -std::numeric_limits<A>::infinity() : std::numeric_limits<A>::lowest();
}

template <typename T>
T value_at(const char* p, std::int64_t i, std::int64_t stride)
{
    T x;
    std::memcpy(&x, p + i * stride, sizeof x);
    return x;
}

/// The zeros' signs among m values.
template <typename T>
std::uint64_t zero_signs(const char* p, std::int64_t m, std::int64_t stride)
{
    std::uint64_t z = 0;
    for (std::int64_t i = 0; i < m; ++i) {
        const T x = value_at<T>(p, i, stride);
        if (x == 0) {
            z |= std::signbit(x) ? 1u : 2u;
        }
    }
    return z;
}

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

    /// m values from p, `stride` bytes apart, as rows row0.. of column c.
    template <typename T>
    static void add_run(column_state<compared_t<T>>& c, const char* p, std::int64_t n, std::int64_t stride,
                        std::int64_t row0)
    {
        using A = compared_t<T>;
        constexpr bool floating = std::is_floating_point_v<T>;
        for (std::int64_t done = 0; done < n; done += chunk) {
            const std::int64_t m = std::min(chunk, n - done);
            const char* q = p + done * stride;
            A l = highest<A>();
            A g = lowest<A>();
            std::int64_t nans = 0;
            std::uint64_t zeros = 0;
            if constexpr (std::is_same_v<T, double>) {
                if (stride == static_cast<std::int64_t>(sizeof(double))) {
                    virda_detail::moment_scan s;
                    virda_detail::moment_kernels().extremes(reinterpret_cast<const double*>(q),
                                                            static_cast<std::size_t>(m), &s);
                    l = s.least;
                    g = s.greatest;
                    nans = static_cast<std::int64_t>(s.nan);
                    zeros = (s.negative_zero ? 1u : 0u) | (s.positive_zero ? 2u : 0u);
                } else {
                    scan<T>(q, m, stride, &l, &g, &nans, &zeros);
                }
            } else {
                scan<T>(q, m, stride, &l, &g, &nans, &zeros);
            }
            if (nans > 0) {
                c.nan_count += nans;
                if (c.nan_at < 0) {
                    std::int64_t i = 0;
                    while (!(value_at<T>(q, i, stride) != value_at<T>(q, i, stride))) {
                        ++i;
                    }
                    c.nan_at = row0 + done + i;
                }
            }
            if (nans == m) {
                continue;
            }
            c.zeros |= zeros;
            if (c.least_at < 0 || l < c.least) {
                std::int64_t i = 0;
                while (!(static_cast<A>(value_at<T>(q, i, stride)) == l)) {
                    ++i;
                }
                c.least = l;
                c.least_at = row0 + done + i;
            }
            if (c.greatest_at < 0 || g > c.greatest) {
                std::int64_t i = 0;
                while (!(static_cast<A>(value_at<T>(q, i, stride)) == g)) {
                    ++i;
                }
                c.greatest = g;
                c.greatest_at = row0 + done + i;
            }
            (void)floating;
        }
    }

    /// The extremes and NaN count of m values; the zeros' signs when an
    /// extreme is zero.
    template <typename T>
    static void scan(const char* q, std::int64_t m, std::int64_t stride, compared_t<T>* least,
                     compared_t<T>* greatest, std::int64_t* nans, std::uint64_t* zeros)
    {
        using A = compared_t<T>;
        A l = highest<A>();
        A g = lowest<A>();
        std::int64_t nan = 0;
        for (std::int64_t i = 0; i < m; ++i) {
            const A x = static_cast<A>(value_at<T>(q, i, stride));
            nan += x != x ? 1 : 0;
            l = x < l ? x : l;
            g = x > g ? x : g;
        }
        if constexpr (std::is_floating_point_v<T>) {
            if (l == 0 || g == 0) {
                *zeros = zero_signs<T>(q, m, stride);
            }
        }
        *least = l;
        *greatest = g;
        *nans = nan;
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

    /// The extremes and NaN counts of rows [0, m) of a tile, per column:
    /// only comparisons and selections, which the compiler vectorises along
    /// a row of contiguous values.
    template <typename T>
    static void scan_tile(const char* base, std::int64_t m, std::int64_t row_stride, std::size_t ncol,
                          compared_t<T>* __restrict least, compared_t<T>* __restrict greatest,
                          std::int64_t* __restrict nans)
    {
        using A = compared_t<T>;
        for (std::size_t j = 0; j < ncol; ++j) {
            least[j] = highest<A>();
            greatest[j] = lowest<A>();
            nans[j] = 0;
        }
        for (std::int64_t i = 0; i < m; ++i) {
            const T* row = reinterpret_cast<const T*>(base + i * row_stride);
            for (std::size_t j = 0; j < ncol; ++j) {
                const A x = static_cast<A>(row[j]);
                nans[j] += x != x ? 1 : 0;
                least[j] = x < least[j] ? x : least[j];
                greatest[j] = x > greatest[j] ? x : greatest[j];
            }
        }
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
        const bool contiguous = t.column_stride == static_cast<std::int64_t>(sizeof(T));
        for (std::int64_t r = 0; r < t.rows; r += tile) {
            const std::int64_t m = std::min(tile, t.rows - r);
            const char* base = static_cast<const char*>(t.data) + r * t.row_stride;
            if constexpr (std::is_same_v<T, double>) {
                if (contiguous && t.row_stride % static_cast<std::int64_t>(sizeof(double)) == 0) {
                    virda_detail::moment_kernels().tile_extremes(
                        reinterpret_cast<const double*>(base), static_cast<std::size_t>(m),
                        static_cast<std::ptrdiff_t>(t.row_stride / static_cast<std::int64_t>(sizeof(double))), ncol,
                        least, greatest, nans);
                } else if (contiguous) {
                    scan_tile<T>(base, m, t.row_stride, ncol, least, greatest, nans);
                } else {
                    for (std::size_t j = 0; j < ncol; ++j) {
                        std::uint64_t ignored = 0;
                        scan<T>(base + static_cast<std::int64_t>(j) * t.column_stride, m, t.row_stride, &least[j],
                                &greatest[j], &nans[j], &ignored);
                    }
                }
            } else if (contiguous) {
                scan_tile<T>(base, m, t.row_stride, ncol, least, greatest, nans);
            } else {
                for (std::size_t j = 0; j < ncol; ++j) {
                    std::uint64_t ignored = 0;
                    scan<T>(base + static_cast<std::int64_t>(j) * t.column_stride, m, t.row_stride, &least[j],
                            &greatest[j], &nans[j], &ignored);
                }
            }
            const std::int64_t at = rows + r;
            for (std::size_t j = 0; j < ncol; ++j) {
                const char* column = base + static_cast<std::int64_t>(j) * t.column_stride;
                column_state<A>& c = cs[j];
                const auto value = [&](std::int64_t i) { return static_cast<A>(value_at<T>(column, i, t.row_stride)); };
                if (nans[j] > 0) {
                    c.nan_count += nans[j];
                    if (c.nan_at < 0) {
                        std::int64_t i = 0;
                        while (!(value(i) != value(i))) {
                            ++i;
                        }
                        c.nan_at = at + i;
                    }
                    if (nans[j] == m) {
                        continue;
                    }
                }
                if (c.least_at < 0 || least[j] < c.least) {
                    std::int64_t i = 0;
                    while (!(value(i) == least[j])) {
                        ++i;
                    }
                    c.least = least[j];
                    c.least_at = at + i;
                }
                if (c.greatest_at < 0 || greatest[j] > c.greatest) {
                    std::int64_t i = 0;
                    while (!(value(i) == greatest[j])) {
                        ++i;
                    }
                    c.greatest = greatest[j];
                    c.greatest_at = at + i;
                }
                if constexpr (std::is_floating_point_v<T>) {
                    if (least[j] == 0 || greatest[j] == 0) {
                        c.zeros |= zero_signs<T>(column, m, t.row_stride);
                    }
                }
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

namespace {

extremes_summary summary_of(number_type type, const std::vector<column_record>& record, nan_policy policy)
{
    std::vector<extremes_summary::column_result> out(record.size());
    const bool floating = facts_of(type).floating;
    for (std::size_t j = 0; j < record.size(); ++j) {
        const column_record& r = record[j];
        extremes_summary::column_result& c = out[j];
        c.count = static_cast<std::int64_t>(r.count);
        c.nan_count = static_cast<std::int64_t>(r.nan_count);
        c.first_nan_at = r.nan_at == none ? -1 : static_cast<std::int64_t>(r.nan_at);
        c.least = number_of_key(type, r.least);
        c.greatest = number_of_key(type, r.greatest);
        if (r.least_at != none) {
            c.least_at = static_cast<std::int64_t>(r.least_at);
            c.greatest_at = static_cast<std::int64_t>(r.greatest_at);
            if (floating && c.least.floating == 0.0 && (r.zeros & 1u) != 0) {
                c.least.floating = -0.0;
            }
            if (floating && c.greatest.floating == 0.0 && (r.zeros & 2u) == 0) {
                c.greatest.floating = -0.0;
            }
        }
    }
    std::int64_t rows = record.empty() ? 0 : static_cast<std::int64_t>(record[0].rows);
    return extremes_summary(std::move(out), rows, policy);
}

/// Frees an MPI datatype and operation when it goes out of scope.
struct reduction_handles {
    MPI_Datatype type = MPI_DATATYPE_NULL;
    MPI_Op op = MPI_OP_NULL;
    ~reduction_handles()
    {
        if (op != MPI_OP_NULL) {
            MPI_Op_free(&op);
        }
        if (type != MPI_DATATYPE_NULL) {
            MPI_Type_free(&type);
        }
    }
};

} // namespace

extremes_summary extremes::finish(MPI_Comm comm, nan_policy policy) const
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    with_compared_type(type_, [&](auto* p) { state_->fill<std::remove_pointer_t<decltype(p)>>(type_, rank); });
    reduction_handles h;
    // Each column's record is one element: MPI splits a long reduction only
    // between elements. The operation is not commutative: it combines the
    // ranks in order, which places every rank's rows after those below it.
    int ok = MPI_Type_contiguous(record_fields, MPI_UINT64_T, &h.type) == MPI_SUCCESS &&
             MPI_Type_commit(&h.type) == MPI_SUCCESS && MPI_Op_create(&combine_records, 0, &h.op) == MPI_SUCCESS;
    if (!ok || MPI_Allreduce(MPI_IN_PLACE, state_->record.data(), static_cast<int>(columns_), h.type, h.op, comm) !=
                   MPI_SUCCESS) {
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

bool extremes_summary::propagates_nan(std::size_t column) const
{
    return policy_ == nan_policy::propagate && columns_.at(column).nan_count > 0;
}

bool extremes_summary::is_nan(std::size_t column) const
{
    return propagates_nan(column) || columns_.at(column).count == 0;
}

namespace {
number nan_number()
{
    number n;
    n.floating = std::numeric_limits<double>::quiet_NaN();
    return n;
}
} // namespace

number extremes_summary::min(std::size_t column) const
{
    return is_nan(column) ? nan_number() : columns_.at(column).least;
}

number extremes_summary::max(std::size_t column) const
{
    return is_nan(column) ? nan_number() : columns_.at(column).greatest;
}

std::int64_t extremes_summary::argmin(std::size_t column) const
{
    return propagates_nan(column) ? columns_.at(column).first_nan_at : columns_.at(column).least_at;
}

std::int64_t extremes_summary::argmax(std::size_t column) const
{
    return propagates_nan(column) ? columns_.at(column).first_nan_at : columns_.at(column).greatest_at;
}

} // namespace virda::engine
