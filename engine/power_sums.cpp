#include "engine/power_sums.h"

#include "engine/allocation_failures.h"
#include "engine/error.h"
#include "engine/exact_sum.h"
#include "engine/record_reduction.h"
#include "engine/values_as_doubles.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>

namespace virda::engine {
namespace {

using namespace detail;

/// Pairs per round: the terms of one round stay in the cache while they
/// are added.
constexpr std::size_t chunk = 2048;

constexpr int largest_order = 1 << 20;

std::uint64_t bits_of(double v)
{
    std::uint64_t b = 0;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

} // namespace

bool power_totals::finite() const
{
    const auto is_finite = [](double t) { return std::isfinite(t); };
    return std::all_of(powers.begin(), powers.end(), is_finite) &&
           std::all_of(moments.begin(), moments.end(), is_finite);
}

struct power_sums::state {
    state(int order, double centre, double scale)
        : n(order + 1), centre(centre), scale(scale), sums(static_cast<std::size_t>(3 * n - 1)),
          terms(sums.size() * chunk)
    {
    }
    int n;
    double centre;
    double scale;
    std::int64_t count = 0;
    bool failed = false;
    /// sum w t^k for k < 2n - 1, then sum w y t^k for k < n.
    std::vector<exact_sum> sums;
    /// One round's terms, accumulator by accumulator.
    std::vector<double> terms;
    mutable reduction_record record;

    int powers() const { return 2 * n - 1; }
    std::uint64_t fingerprint() const
    {
        return mix(mix(mix(0x706f7773, static_cast<std::uint64_t>(n)), bits_of(centre)), bits_of(scale));
    }
    reduction_record::agreement fill_record(int rank) const;
    void add_round(const double* x, const double* y, const double* w, std::size_t m);
};

reduction_record::agreement power_sums::state::fill_record(int rank) const
{
    record.clear();
    const reduction_record::agreement a = record.reserve_agreement(failed, rank, fingerprint());
    const std::size_t at = record.reserve_sums(1 + sums.size() * exact_sum::record_fields);
    std::int64_t* f = record.sums() + at;
    f[0] = count;
    f += 1;
    for (const exact_sum& s : sums) {
        s.write_record(f);
        f += exact_sum::record_fields;
    }
    return a;
}

void power_sums::state::add_round(const double* x, const double* y, const double* w, std::size_t m)
{
    const int p = powers();
    for (std::size_t j = 0; j < m; ++j) {
        const double t = (x[j] - centre) / scale;
        const double value = y[j];
        double term = w != nullptr ? w[j] : 1.0;
        for (int k = 0; k < p; ++k) {
            terms[static_cast<std::size_t>(k) * chunk + j] = term;
            if (k < n) {
                terms[static_cast<std::size_t>(p + k) * chunk + j] = term * value;
            }
            term *= t;
        }
    }
    for (std::size_t k = 0; k < sums.size(); ++k) {
        sums[k].add(terms.data() + k * chunk, m);
    }
    count += static_cast<std::int64_t>(m);
}

namespace {

void check_variable(double centre, double scale)
{
    if (!std::isfinite(centre) || !std::isfinite(scale) || scale == 0.0) {
        throw error(error_code::invalid_argument, "power_sums: the centre must be finite and the scale finite and "
                                                  "not 0");
    }
}

} // namespace

power_sums::power_sums(int order, double centre, double scale)
{
    if (order < 0 || order > largest_order) {
        throw error(error_code::invalid_argument,
                    "power_sums: the order must be between 0 and 2^20, not " + std::to_string(order));
    }
    check_variable(centre, scale);
    state_ = std::make_unique<state>(order, centre, scale);
    // The record's room now: finish allocates nothing.
    state_->fill_record(0);
    state_->record.allreduce(MPI_COMM_NULL);
}

power_sums::~power_sums() = default;
power_sums::power_sums(power_sums&&) noexcept = default;
power_sums& power_sums::operator=(power_sums&&) noexcept = default;

int power_sums::order() const
{
    return state_->n - 1;
}

void power_sums::set_variable(double centre, double scale)
{
    check_variable(centre, scale);
    if (state_->count != 0) {
        throw error(error_code::invalid_argument, "power_sums: the variable is set before any pair is added");
    }
    state_->centre = centre;
    state_->scale = scale;
}

bool power_sums::failed() const
{
    return state_->failed;
}

void power_sums::add(const values_view& x, const values_view& y)
{
    add(x, y, values_view{nullptr, number_type::float64, x.count, 0});
}

void power_sums::add(const values_view& x, const values_view& y, const values_view& w)
{
    if (x.count != y.count || x.count != w.count) {
        throw error(error_code::invalid_argument, "power_sums: x, y and the weights must have the same length");
    }
    state& st = *state_;
    if (st.failed || x.count <= 0) {
        return;
    }
    const bool weighted = w.data != nullptr;
    double xs[chunk];
    double ys[chunk];
    double ws[chunk];
    try {
        check_allocation();
        for (std::int64_t done = 0; done < x.count;) {
            const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(x.count - done, chunk));
            as_doubles(x, done, m, xs);
            as_doubles(y, done, m, ys);
            if (weighted) {
                as_doubles(w, done, m, ws);
            }
            st.add_round(xs, ys, weighted ? ws : nullptr, m);
            done += static_cast<std::int64_t>(m);
        }
    } catch (const std::bad_alloc&) {
        st.failed = true;
    }
}

namespace {

/// The reduction of finish: the agreement, then the totals' records.
/// Throws alike on every rank.
std::int64_t reduce(const reduction_record::agreement& a, reduction_record& record, MPI_Comm comm)
{
    if (!record.allreduce(comm)) {
        throw error(error_code::mpi_failure, "power_sums: the reduction over the communicator failed");
    }
    const int failed = record.failed_rank(a);
    if (failed >= 0) {
        throw error(error_code::out_of_memory,
                    "power_sums: rank " + std::to_string(failed) + " could not allocate memory", failed);
    }
    if (!record.same_calls(a)) {
        throw error(error_code::ranks_disagree,
                    "power_sums: the ranks finished fits of different orders, centres or scales");
    }
    return record.sums()[0];
}

} // namespace

std::int64_t power_sums::finish_into(MPI_Comm comm, double* totals) const
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    const state& st = *state_;
    const std::int64_t count = reduce(st.fill_record(rank), st.record, comm);
    const std::int64_t* f = st.record.sums() + 1;
    for (std::size_t k = 0; k < st.sums.size(); ++k, f += exact_sum::record_fields) {
        totals[k] = exact_sum::rounded_from_record(f);
    }
    return count;
}

power_totals power_sums::finish(MPI_Comm comm) const
{
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    const state& st = *state_;
    power_totals t;
    t.count = reduce(st.fill_record(rank), st.record, comm);
    // After the reduction: what is allocated here is this rank's alone.
    const std::int64_t* f = st.record.sums() + 1;
    for (std::size_t k = 0; k < st.sums.size(); ++k, f += exact_sum::record_fields) {
        (static_cast<int>(k) < st.powers() ? t.powers : t.moments).push_back(exact_sum::rounded_from_record(f));
    }
    return t;
}

void power_sums::clear()
{
    state_ = std::make_unique<state>(state_->n - 1, state_->centre, state_->scale);
    state_->fill_record(0);
    state_->record.allreduce(MPI_COMM_NULL);
}

} // namespace virda::engine
