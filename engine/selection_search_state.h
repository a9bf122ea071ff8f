#ifndef VIRDA_ENGINE_SELECTION_SEARCH_STATE_H
#define VIRDA_ENGINE_SELECTION_SEARCH_STATE_H

// The state of a radix selection between its rounds: per column the ranks
// sought and the bits of their keys found so far, the round's counts, and
// the copies of the keys still in question. Not installed.

#include "engine/order_statistics.h"
#include "engine/selection_digit_plan.h"
#include "engine/selection_kernels.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace virda::engine {
namespace detail {

/// Whether the keys still in question are worth copying out of n values so
/// that later rounds count only the copy: at most an eighth of the values,
/// or at most 2^20 and half of them.
inline bool worth_gathering(std::uint64_t candidates, std::uint64_t n)
{
    return 8 * candidates <= n || (candidates <= (std::uint64_t{1} << 20) && 2 * candidates <= n);
}

/// Values handed to the gathering kernel at a time, at most, and never more
/// than the room left in the copy: it grows by a piece before the kernel
/// keeps the keys in question, so the room reserved for them once per round
/// is never outgrown (growing it by a whole run would zero and fault in
/// memory for every value of the run).
constexpr std::size_t gather_piece = std::size_t{1} << 14;

/// Room reserved in a copy past the keys in question, and counted in the
/// memory budget: the pieces shrink to the room left, which the keys found
/// never bring below this.
constexpr std::size_t gather_room = std::size_t{1} << 12;

/// Runs of fewer keys than this, under at most direct_prefixes prefixes,
/// are counted straight into the counts (selection_counting.cpp).
constexpr std::size_t direct_keys = 256;
constexpr std::size_t direct_prefixes = 4;

/// One order statistic being sought: its key's bits found so far and its
/// rank among the keys that share them.
struct target {
    std::uint64_t prefix = 0;
    std::uint64_t rank = 0;
};

} // namespace detail

struct selection_search::state {
    struct column {
        std::vector<std::uint64_t> distinct; // the distinct ranks sought, ascending
        std::vector<std::size_t> request;    // for each rank asked, its place in `distinct`
        std::vector<detail::target> targets;         // one per distinct rank
        std::vector<std::uint64_t> prefixes; // this round's distinct prefixes, ascending
        std::vector<int> which;              // for each target, its prefix's place
        std::size_t offset = 0;              // this round's counts in the reduction buffer
        std::uint64_t candidates = 0;        // this rank's keys under the prefixes
        std::vector<std::uint64_t> kept;     // the copied keys still in question
        bool gathered = false;
        bool gathering = false; // copying keys during this round's pass

        /// `prefixes` = the targets' distinct prefixes, ascending, in the room
        /// taken for them once.
        void take_prefixes();
    };

    number_type type;
    std::vector<column> columns;
    detail::digit_widths plan;
    std::size_t round = 0;
    int consumed = 0; // bits of the key found so far
    std::uint64_t local_values = 0;
    std::size_t budget = 0;
    bool values_wanted = true;
    int passes = 0;
    std::vector<std::uint64_t> local;
    std::vector<std::uint64_t> global;
    std::vector<std::uint64_t> spare;  // room for pruning a copy of keys
    std::vector<std::size_t> chosen;   // narrow's slots, room for every target
    std::vector<std::uint32_t> scratch; // sub-histograms, zeroed for each count
    std::size_t count_size = 0;        // this round's counts and flag, the same on every rank
    // Memory refused on this rank since the last round's sum: it then takes
    // part in the next sum from fixed room (stand_in_sum) and every rank
    // learns of the refusal there, so none is left waiting in a collective.
    bool failed = false;

    // The count buffers and the scratch come from those the last search on
    // this thread left and go back when it ends (selection_search_state.cpp).
    state();
    ~state();
    state(const state&) = delete;
    state& operator=(const state&) = delete;
    void swap_kept();

    int bits() const { return plan.bits[round]; }
    int shift() const { return 64 - consumed - bits(); }
    bool finished() const { return round >= plan.count; }
    void prepare_round();
    std::uint32_t* zeroed_scratch(std::size_t count);
    void count_source(column& c, const virda_detail::key_source& s);
    void count_directly(column& c, const virda_detail::key_source& s);
    void add_values(column& c, const values_view& v);
    template <typename T>
    void add_run(column& c, const values_view& v);
    void add_repeated(column& c, std::uint64_t key, std::uint64_t times);
    void narrow(column& c);
    void prune_copies();
};

} // namespace virda::engine

#endif
