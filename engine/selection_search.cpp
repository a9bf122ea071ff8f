#include "engine/order_statistics.h"

#include "engine/allocation_failures.h"
#include "engine/error.h"
#include "engine/selection_digit_plan.h"
#include "engine/selection_refusal.h"
#include "engine/selection_round_sum.h"
#include "engine/selection_search_state.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

namespace virda::engine {
namespace {

using detail::digit_plan;
using detail::digit_widths;
using detail::first_round_counts;
using detail::key_completed;
using detail::refused;
using detail::refused_mark;
using detail::stand_in_and_throw;
using detail::sum_over_ranks;
using detail::target;
using virda_detail::key_source;

} // namespace

selection_search::selection_search(number_type type, const value_counts& counts,
                                   const std::vector<std::vector<std::uint64_t>>& ranks, std::size_t memory_budget)
    : type_(type), columns_(ranks.size())
{
    if (ranks.size() != counts.values.size() || counts.nans.size() != counts.values.size() || ranks.empty()) {
        throw error(error_code::invalid_argument, "selection: one list of ranks per column of the counts is needed");
    }
    std::uint64_t most = 0;
    bool any = false;
    for (std::size_t j = 0; j < ranks.size(); ++j) {
        const auto n = static_cast<std::uint64_t>(counts.values[j]);
        most = std::max(most, n + static_cast<std::uint64_t>(counts.nans[j]));
        if (!ranks[j].empty()) {
            const std::uint64_t last = *std::max_element(ranks[j].begin(), ranks[j].end());
            if (last >= n) {
                throw error(error_code::invalid_argument, "selection: rank " + std::to_string(last) +
                                                              " asked of a column of " + std::to_string(n) +
                                                              " values");
            }
            any = true;
        }
    }
    if (!any) {
        return; // nothing to find: no state and no round, on every rank alike
    }
    // Memory refused from here on is learnt by every rank in the first
    // round's sum, which this rank then takes part in from fixed room.
    const digit_widths plan = digit_plan(most, ranks.size(), type);
    try {
        detail::check_allocation("selection: state");
        state_ = std::make_unique<state>();
    } catch (const std::bad_alloc&) {
        refused_sum_ = first_round_counts(ranks.size(), plan);
        return;
    }
    state& st = *state_;
    st.type = type;
    st.plan = plan;
    st.budget = memory_budget;
    st.local_values = static_cast<std::uint64_t>(std::max<std::int64_t>(counts.local, 0));
    try {
        detail::check_allocation("selection: columns");
        st.columns.resize(ranks.size());
        std::size_t most_targets = 0;
        for (std::size_t j = 0; j < ranks.size(); ++j) {
            state::column& c = st.columns[j];
            c.distinct = ranks[j];
            std::sort(c.distinct.begin(), c.distinct.end());
            c.distinct.erase(std::unique(c.distinct.begin(), c.distinct.end()), c.distinct.end());
            for (const std::uint64_t r : ranks[j]) {
                c.request.push_back(static_cast<std::size_t>(
                    std::lower_bound(c.distinct.begin(), c.distinct.end(), r) - c.distinct.begin()));
            }
            for (const std::uint64_t r : c.distinct) {
                target t;
                t.rank = r;
                c.targets.push_back(t);
            }
            // Room for every round's prefixes, taken once: the rounds
            // allocate nothing between their sums but counts and copies.
            c.prefixes.reserve(c.targets.size());
            c.which.reserve(c.targets.size());
            most_targets = std::max(most_targets, c.targets.size());
        }
        st.chosen.reserve(most_targets);
    } catch (const std::bad_alloc&) {
        st.failed = true;
        st.count_size = first_round_counts(ranks.size(), plan);
        return;
    }
    st.prepare_round();
}

selection_search::~selection_search() = default;
selection_search::selection_search(selection_search&&) noexcept = default;
selection_search& selection_search::operator=(selection_search&&) noexcept = default;

bool selection_search::finished() const
{
    return state_ ? state_->finished() : refused_sum_ == 0;
}

bool selection_search::wants_values() const
{
    return state_ ? !state_->finished() && state_->values_wanted : refused_sum_ != 0;
}

void selection_search::add(const values_view& v)
{
    if (v.type != type_) {
        throw error(error_code::invalid_argument, "selection: values of another number type");
    }
    if (columns_ != 1) {
        throw error(error_code::invalid_argument, "selection: a run of values added to a search of several columns");
    }
    if (!state_ || !wants_values() || state_->failed) {
        return;
    }
    state& st = *state_;
    try {
        st.add_values(st.columns[0], v);
    } catch (const std::bad_alloc&) {
        st.failed = true; // told to every rank by the round's sum
    }
}

void selection_search::add(const table_view& t)
{
    if (t.type != type_) {
        throw error(error_code::invalid_argument, "selection: values of another number type");
    }
    if (columns_ == 1) {
        for_each_run(t, [&](const values_view& run) { add(run); });
        return;
    }
    if (t.columns != static_cast<std::int64_t>(columns_)) {
        throw error(error_code::invalid_argument, "selection: a table of another number of columns");
    }
    if (!state_ || !wants_values() || state_->failed) {
        return;
    }
    state& st = *state_;
    try {
        for (std::int64_t j = 0; j < t.columns; ++j) {
            st.add_values(st.columns[static_cast<std::size_t>(j)], column_of(t, j));
        }
    } catch (const std::bad_alloc&) {
        st.failed = true; // told to every rank by the round's sum
    }
}

void selection_search::end_round(MPI_Comm comm)
{
    if (finished()) {
        return;
    }
    if (!state_) {
        stand_in_and_throw(refused_sum_, refused_mark, comm);
    }
    state& st = *state_;
    if (st.values_wanted) {
        ++st.passes;
    }
    // Columns whose keys were copied are counted from the copies.
    bool needs_values = false;
    try {
        for (state::column& c : st.columns) {
            if (c.gathering) {
                c.gathered = true;
                c.gathering = false;
            }
            if (c.gathered && !st.failed) {
                st.count_source(c, key_source{-1, c.kept.data(), c.kept.size()});
            }
            needs_values = needs_values || (!c.gathered && !c.targets.empty());
        }
    } catch (const std::bad_alloc&) {
        st.failed = true;
    }
    // The last slot: ranks that still need the values, plus refused_mark for
    // each rank refused memory.
    const std::uint64_t flags = (needs_values ? 1 : 0) + (st.failed ? refused_mark : 0);
    if (st.failed) {
        stand_in_and_throw(st.count_size, flags, comm);
    }
    st.local.back() = flags;
    if (sum_over_ranks(st.local.data(), st.global.data(), st.local.size(), st.spare, comm) != MPI_SUCCESS) {
        throw error(error_code::mpi_failure, "selection: the reduction of a round's counts failed");
    }
    const std::uint64_t summed_flags = st.global.back();
    if (summed_flags >= refused_mark) {
        throw refused();
    }
    for (state::column& c : st.columns) {
        st.narrow(c);
    }
    st.values_wanted = summed_flags != 0;
    st.consumed += st.bits();
    ++st.round;
    if (st.finished()) {
        return;
    }
    st.prune_copies();
    st.prepare_round();
}

std::vector<std::vector<number>> selection_search::result() const
{
    std::vector<std::vector<number>> out(columns_);
    if (!state_) {
        return out; // nothing was asked: one empty result per column
    }
    const state& st = *state_;
    for (std::size_t j = 0; j < st.columns.size(); ++j) {
        const state::column& c = st.columns[j];
        for (const std::size_t i : c.request) {
            const std::uint64_t key = key_completed(c.targets[i].prefix, st.consumed);
            number v;
            v.type = st.type;
            const number_type_facts& f = facts_of(st.type);
            if (f.floating) {
                v.floating = virda_detail::double_of_order_key(key);
            } else if (f.is_signed) {
                v.signed_ = static_cast<std::int64_t>(key ^ (std::uint64_t{1} << 63));
            } else {
                v.unsigned_ = key;
            }
            out[j].push_back(v);
        }
    }
    return out;
}

int selection_search::rounds() const
{
    return state_ ? static_cast<int>(state_->round) : 0;
}

int selection_search::passes() const
{
    return state_ ? state_->passes : 0;
}

} // namespace virda::engine
