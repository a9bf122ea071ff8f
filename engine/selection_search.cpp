#include "engine/order_statistics.h"

#include "engine/allocation_failures.h"
#include "engine/error.h"
#include "engine/run_pieces.h"
#include "engine/selection_kernels.h"
#include "framework/simd/sub_histograms.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <numeric>
#include <type_traits>
#include <utility>

namespace virda_detail {

const selection_kernel_table& selection_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(selection_kernel_table, selection_table);
}

} // namespace virda_detail

namespace virda::engine {
namespace {

using virda_detail::key_source;
using virda_detail::selection_kernels;

/// The bits at the top of the keys of `type` that differ between values:
/// a float32 converts to a double whose 29 low significand bits are zero,
/// so its key holds 35 (sign, exponent, 23 significand bits) and the bits
/// below follow from the sign bit.
int significant_key_bits(number_type type)
{
    return type == number_type::float32 ? 35 : 64;
}

/// The key whose top `bits` bits are `prefix`, completed as the keys of
/// `type` are: the low bits of a float32's key are zero for a value of the
/// positive sign (key bit 63 set) and ones for a negative one (every bit
/// flipped).
std::uint64_t key_completed(std::uint64_t prefix, int bits)
{
    if (bits <= 0 || bits >= 64) {
        return prefix;
    }
    const std::uint64_t low = (std::uint64_t{1} << (64 - bits)) - 1;
    const bool positive = ((prefix >> (bits - 1)) & 1u) != 0;
    return (prefix << (64 - bits)) | (positive ? 0 : low);
}

/// The widths of a search's digits, from the top of the key down: held in
/// place, so that a search knows its rounds without allocating.
struct digit_widths {
    std::array<int, 8> bits{};
    std::size_t count = 0;
};

/// The digit widths adding up to the key's significant bits: narrow digits
/// for few values, a wide first one for many (with the sign and the
/// exponent it leaves few values in question after one pass), and narrow
/// ones again for many columns, whose counts go in the same reductions.
digit_widths digit_plan(std::uint64_t most_values, std::size_t columns, number_type type)
{
    const bool narrow = most_values <= (std::uint64_t{1} << 16) || columns > 64;
    if (significant_key_bits(type) == 35) {
        return narrow ? digit_widths{{8, 8, 8, 8, 3}, 5} : digit_widths{{16, 12, 7}, 3};
    }
    if (narrow) {
        return {{8, 8, 8, 8, 8, 8, 8, 8}, 8};
    }
    return {{16, 12, 12, 12, 12}, 5};
}

/// The counts of a search's first round, with its last slot (see
/// selection_search::state::prepare_round): one digit's worth per column.
std::size_t first_round_counts(std::size_t columns, const digit_widths& plan)
{
    return columns * (std::size_t{1} << plan.bits[0]) + 1;
}

/// Whether the keys still in question are worth copying out of n values so
/// that later rounds count only the copy: at most an eighth of the values,
/// or at most 2^20 and half of them.
bool worth_gathering(std::uint64_t candidates, std::uint64_t n)
{
    return 8 * candidates <= n || (candidates <= (std::uint64_t{1} << 20) && 2 * candidates <= n);
}

/// Counts beyond which sum_over_ranks exchanges blocks point to point
/// rather than calling MPI_Allreduce.
constexpr std::size_t exchanged_counts = std::size_t{1} << 15;

/// global = the sum of every rank's `local` (n counts) by MPI_Allreduce, in
/// pieces of at most `piece` counts (the same on every rank). Collective
/// over comm (at least one call, also for n = 0); returns MPI's code.
int allreduce_counts(const std::uint64_t* local, std::uint64_t* global, std::size_t n, std::size_t piece,
                     MPI_Comm comm)
{
    int rc = MPI_SUCCESS;
    std::size_t at = 0;
    do {
        const std::size_t m = std::min(piece, n - at);
        rc = MPI_Allreduce(local + at, global + at, static_cast<int>(m), MPI_UINT64_T, MPI_SUM, comm);
        at += m;
    } while (at < n && rc == MPI_SUCCESS);
    return rc;
}

/// Pieces of a sum by MPI_Allreduce between several ranks: small enough
/// for a rank without counts of its own to take part from fixed room.
constexpr std::size_t standby_piece = exchanged_counts;

/// The fixed room of a rank that takes part in a round's sum without counts
/// of its own (refused the memory for them): zeros out, the sums in.
struct standby_room {
    std::mutex busy;
    std::uint64_t out[standby_piece] = {};
    std::uint64_t in[standby_piece] = {};
};

standby_room& standby()
{
    static standby_room room;
    return room;
}

/// This rank's part in a sum of n counts over comm (n the same on every
/// rank, at least 1) when it holds none: zeros, with `last` in the final
/// slot, through the same collectives as sum_over_ranks makes on the other
/// ranks (it refuses the exchange's room, so every rank sums by
/// MPI_Allreduce in pieces). Returns MPI's code; `last_sum` gets the final
/// slot's sum. Several ranks, no allocation.
int stand_in_sum(std::size_t n, std::uint64_t last, std::uint64_t& last_sum, MPI_Comm comm)
{
    standby_room& room = standby();
    const std::lock_guard<std::mutex> hold(room.busy);
    int rc = MPI_SUCCESS;
    if (n >= exchanged_counts) {
        int refused = 0;
        int everywhere = 0;
        rc = MPI_Allreduce(&refused, &everywhere, 1, MPI_INT, MPI_MIN, comm);
    }
    for (std::size_t at = 0; at < n && rc == MPI_SUCCESS;) {
        const std::size_t m = std::min(standby_piece, n - at);
        at += m;
        room.out[m - 1] = at == n ? last : 0;
        rc = MPI_Allreduce(room.out, room.in, static_cast<int>(m), MPI_UINT64_T, MPI_SUM, comm);
        room.out[m - 1] = 0;
        last_sum = room.in[m - 1];
    }
    return rc;
}

/// global = the sum of every rank's `local` (n counts), on every rank.
/// Large sums go as a reduce-scatter of blocks by MPI_Sendrecv (step k:
/// this rank's copy of block rank + k out, rank - k's copy of this rank's
/// block in, into `incoming`) and an MPI_Allgatherv of the summed blocks:
/// this MPICH's MPI_Allreduce of megabytes of integers runs at a few tens
/// of MB/s, its point-to-point messages at gigabytes per second. Integer
/// sums, so the same counts either way. Collective over comm; returns MPI's
/// code (the same path on every rank: n is the same everywhere).
int sum_over_ranks(const std::uint64_t* local, std::uint64_t* global, std::size_t n,
                   std::vector<std::uint64_t>& incoming, MPI_Comm comm)
{
    int ranks = 1;
    int rank = 0;
    MPI_Comm_size(comm, &ranks);
    MPI_Comm_rank(comm, &rank);
    if (ranks == 1) {
        return allreduce_counts(local, global, n, std::size_t{1} << 30, comm);
    }
    if (n < exchanged_counts) {
        return allreduce_counts(local, global, n, standby_piece, comm);
    }
    const auto block = [&](int r) {
        return std::pair<std::size_t, std::size_t>{n * static_cast<std::size_t>(r) / static_cast<std::size_t>(ranks),
                                                   n * static_cast<std::size_t>(r + 1) / static_cast<std::size_t>(ranks)};
    };
    const auto mine = block(rank);
    // The exchange's room, taken before its first message and agreed over
    // the ranks (one int): a rank refused it would leave the others waiting
    // in MPI_Sendrecv. Then every rank sums by MPI_Allreduce, which needs no
    // room of ours, in pieces a rank without counts can take part in (see
    // stand_in_sum). The blocks' places must be counted by an int.
    std::vector<int> counts;
    std::vector<int> displacements;
    int room = n <= static_cast<std::size_t>(std::numeric_limits<int>::max()) ? 1 : 0;
    try {
        if (room != 0) {
            detail::check_allocation("selection: exchange");
            incoming.resize(mine.second - mine.first);
            counts.resize(static_cast<std::size_t>(ranks));
            displacements.resize(static_cast<std::size_t>(ranks));
        }
    } catch (const std::bad_alloc&) {
        room = 0;
    }
    int room_everywhere = 0;
    int rc = MPI_Allreduce(&room, &room_everywhere, 1, MPI_INT, MPI_MIN, comm);
    if (rc != MPI_SUCCESS || room_everywhere == 0) {
        return rc != MPI_SUCCESS ? rc : allreduce_counts(local, global, n, standby_piece, comm);
    }
    std::copy(local + mine.first, local + mine.second, global + mine.first);
    for (int k = 1; k < ranks && rc == MPI_SUCCESS; ++k) {
        const int to = (rank + k) % ranks;
        const int from = (rank - k + ranks) % ranks;
        const auto theirs = block(to);
        rc = MPI_Sendrecv(local + theirs.first, static_cast<int>(theirs.second - theirs.first), MPI_UINT64_T, to, 0,
                          incoming.data(), static_cast<int>(incoming.size()), MPI_UINT64_T, from, 0, comm,
                          MPI_STATUS_IGNORE);
        for (std::size_t i = 0; i < incoming.size(); ++i) {
            global[mine.first + i] += incoming[i];
        }
    }
    for (int r = 0; r < ranks; ++r) {
        const auto b = block(r);
        counts[static_cast<std::size_t>(r)] = static_cast<int>(b.second - b.first);
        displacements[static_cast<std::size_t>(r)] = static_cast<int>(b.first);
    }
    if (rc == MPI_SUCCESS) {
        rc = MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, global, counts.data(), displacements.data(),
                            MPI_UINT64_T, comm);
    }
    return rc;
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

/// One order statistic being sought: its key's bits found so far and its
/// rank among the keys that share them.
struct target {
    std::uint64_t prefix = 0;
    std::uint64_t rank = 0;
};

/// Added to a round's last slot by each rank refused memory since the last
/// round: more than any number of ranks that still need the values.
constexpr std::uint64_t refused_mark = std::uint64_t{1} << 40;

error refused()
{
    return error(error_code::out_of_memory, "selection: some rank was refused the memory a round of the search needs");
}

/// The part of a rank refused memory since the last round in the round's
/// sum of n counts (`flags` in the last slot, refused_mark among them),
/// from fixed room; then it throws refused(), as every rank does on
/// finding the mark in the sum.
[[noreturn]] void stand_in_and_throw(std::size_t n, std::uint64_t flags, MPI_Comm comm)
{
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    std::uint64_t summed_flags = 0;
    if (ranks > 1 && stand_in_sum(n, flags, summed_flags, comm) != MPI_SUCCESS) {
        throw error(error_code::mpi_failure, "selection: the reduction of a round's counts failed");
    }
    throw refused();
}

/// The most a count buffer kept between searches may hold.
constexpr std::size_t kept_bytes = std::size_t{16} << 20;

struct kept_buffers {
    std::vector<std::uint64_t> local, global, spare;
    std::vector<std::uint32_t> scratch;
};

kept_buffers& kept_on_this_thread()
{
    static thread_local kept_buffers kept;
    return kept;
}

} // namespace

struct selection_search::state {
    struct column {
        std::vector<std::uint64_t> distinct; // the distinct ranks sought, ascending
        std::vector<std::size_t> request;    // for each rank asked, its place in `distinct`
        std::vector<target> targets;         // one per distinct rank
        std::vector<std::uint64_t> prefixes; // this round's distinct prefixes, ascending
        std::vector<int> which;              // for each target, its prefix's place
        std::size_t offset = 0;              // this round's counts in the reduction buffer
        std::uint64_t candidates = 0;        // this rank's keys under the prefixes
        std::vector<std::uint64_t> kept;     // the copied keys still in question
        bool gathered = false;
        bool gathering = false; // copying keys during this round's pass
    };

    number_type type;
    std::vector<column> columns;
    digit_widths plan;
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
    // this thread left (up to kept_bytes each, so at most 64 MiB stay held)
    // and go back when it ends: a search of small columns would otherwise
    // spend most of its time faulting in fresh pages for its counts, call
    // after call.
    state() { swap_kept(); }
    ~state()
    {
        const auto trim = [](auto& v) {
            if (v.capacity() * sizeof(v[0]) > kept_bytes) {
                std::decay_t<decltype(v)>().swap(v);
            }
            v.clear();
        };
        trim(local);
        trim(global);
        trim(spare);
        trim(scratch);
        swap_kept();
    }
    state(const state&) = delete;
    state& operator=(const state&) = delete;
    void swap_kept()
    {
        kept_buffers& k = kept_on_this_thread();
        local.swap(k.local);
        global.swap(k.global);
        spare.swap(k.spare);
        scratch.swap(k.scratch);
    }

    int bits() const { return plan.bits[round]; }
    int shift() const { return 64 - consumed - bits(); }
    bool finished() const { return round >= plan.count; }
    void prepare_round();
    std::uint32_t* zeroed_scratch(std::size_t count);
    void count_source(column& c, const key_source& s);
    template <typename T>
    void add_run(column& c, const values_view& v);
    void add_repeated(column& c, std::uint64_t key, std::uint64_t times);
    void narrow(column& c);
};

void selection_search::state::prepare_round()
{
    if (finished()) {
        return;
    }
    const std::size_t width = std::size_t{1} << bits();
    std::size_t offset = 0;
    std::uint64_t candidates = 0;
    std::uint64_t copied_columns = 0;
    bool all_gathered = true;
    for (column& c : columns) {
        c.prefixes.clear();
        c.which.clear();
        if (round > 0) {
            for (const target& t : c.targets) {
                c.prefixes.push_back(t.prefix);
            }
            std::sort(c.prefixes.begin(), c.prefixes.end());
            c.prefixes.erase(std::unique(c.prefixes.begin(), c.prefixes.end()), c.prefixes.end());
            for (const target& t : c.targets) {
                c.which.push_back(static_cast<int>(std::lower_bound(c.prefixes.begin(), c.prefixes.end(), t.prefix) -
                                                   c.prefixes.begin()));
            }
        }
        c.offset = offset;
        offset += (round == 0 ? 1 : c.prefixes.size()) * width;
        candidates += c.gathered ? 0 : c.candidates;
        copied_columns += c.gathered || c.targets.empty() ? 0 : 1;
        all_gathered = all_gathered && (c.gathered || c.targets.empty());
    }
    // Counts, then one slot: whether this rank still needs the values (and
    // whether it was refused memory).
    count_size = offset + 1;
    if (failed) {
        return;
    }
    try {
        if (count_size > local.capacity() || count_size > global.capacity()) {
            detail::check_allocation("selection: counts");
        }
        local.assign(count_size, 0);
        global.resize(count_size);
    } catch (const std::bad_alloc&) {
        failed = true;
        return;
    }
    // Copy the keys still in question during this pass when they fit in the
    // budget with the room past them and are few against the values: a
    // local decision that changes no count (the next round then needs no
    // pass on this rank), also when the room for the copy is refused.
    const bool gather = round > 0 && !all_gathered &&
                        (candidates + copied_columns * gather_room) * sizeof(std::uint64_t) <= budget &&
                        worth_gathering(candidates, local_values);
    for (column& c : columns) {
        c.gathering = gather && !c.gathered && !c.targets.empty();
        if (c.gathering) {
            c.kept.clear();
            try {
                detail::check_allocation("selection: copy");
                c.kept.reserve(static_cast<std::size_t>(c.candidates) + gather_room);
            } catch (const std::bad_alloc&) {
                std::vector<std::uint64_t>().swap(c.kept);
                c.gathering = false;
            }
        }
    }
}

/// Zeroed room for `count` sub-histogram counts.
std::uint32_t* selection_search::state::zeroed_scratch(std::size_t count)
{
    if (count > scratch.capacity()) {
        detail::check_allocation("selection: scratch");
    }
    scratch.resize(count);
    std::memset(scratch.data(), 0, count * sizeof(std::uint32_t));
    return scratch.data();
}

void selection_search::state::count_source(column& c, const key_source& s)
{
    const virda_detail::selection_kernel_table& k = selection_kernels();
    const int b = bits();
    const std::size_t width = std::size_t{1} << b;
    std::uint64_t* counts = local.data() + c.offset;
    if (s.n == 0) {
        return;
    }
    const auto most = static_cast<std::size_t>(detail::most_per_call);
    if (s.n > most) {
        // The kernels count in 32-bit integers.
        const std::size_t size = s.type < 0 ? sizeof(std::uint64_t) : facts_of(static_cast<number_type>(s.type)).size;
        for (std::size_t done = 0; done < s.n; done += most) {
            count_source(c, key_source{s.type, static_cast<const unsigned char*>(s.values) + done * size,
                                       std::min(most, s.n - done)});
        }
        return;
    }
    if (round == 0) {
        const int copies = virda_detail::sub_histogram_copies(s.n, width, width);
        std::uint32_t* sub = zeroed_scratch(copies * width);
        k.count_top(s, b, sub, copies);
        virda_detail::fold_sub_histograms(sub, copies, width, width, counts);
        return;
    }
    const int nprefix = static_cast<int>(c.prefixes.size());
    if (nprefix == 0) {
        return;
    }
    const std::size_t used = static_cast<std::size_t>(nprefix) * width;
    const std::size_t stride = used + 1;
    const int copies = virda_detail::sub_histogram_copies(s.n, stride, stride);
    std::uint32_t* sub = zeroed_scratch(copies * stride);
    k.count_digit(s, shift(), b, c.prefixes.data(), nprefix, sub, copies);
    virda_detail::fold_sub_histograms(sub, copies, stride, used, counts);
}

template <typename T>
void selection_search::state::add_run(column& c, const values_view& v)
{
    if (c.gathered || c.targets.empty() || v.count <= 0) {
        return;
    }
    const virda_detail::selection_kernel_table& k = selection_kernels();
    const auto take = [&](const T* p, std::size_t n) {
        if (c.gathering) {
            // Counted at the end of the round, from the copies.
            for (std::size_t done = 0; done < n;) {
                const std::size_t at = c.kept.size();
                const std::size_t room = c.kept.capacity() - at; // 0 only for values unlike the last pass's
                const std::size_t m = std::min({gather_piece, n - done, room > 0 ? room : gather_piece});
                c.kept.resize(at + m);
                const std::size_t got = k.gather(key_source{static_cast<int>(type), p + done, m}, shift(), bits(),
                                                 c.prefixes.data(), static_cast<int>(c.prefixes.size()),
                                                 c.kept.data() + at);
                c.kept.resize(at + got);
                done += m;
            }
        } else {
            count_source(c, key_source{static_cast<int>(type), p, n});
        }
    };
    const auto* p = static_cast<const unsigned char*>(v.data);
    if (v.stride == 0) {
        // One value counted v.count times: its key goes into its slot once.
        T value;
        std::memcpy(&value, p, sizeof value);
        add_repeated(c, virda_detail::order_key(value), static_cast<std::uint64_t>(v.count));
        return;
    }
    detail::for_each_piece<T>(v, take);
}

void selection_search::state::add_repeated(column& c, std::uint64_t key, std::uint64_t times)
{
    const int b = bits();
    const std::uint64_t digit_mask = (std::uint64_t{1} << b) - 1;
    std::uint64_t* counts = local.data() + c.offset;
    if (round == 0) {
        counts[key >> (64 - b)] += times;
        return;
    }
    // The key is in question when its bits above this digit are one of the
    // round's prefixes; otherwise the kernels would drop it too.
    const std::uint64_t prefix = key >> (shift() + b);
    const auto at = std::lower_bound(c.prefixes.begin(), c.prefixes.end(), prefix);
    if (at == c.prefixes.end() || *at != prefix) {
        return;
    }
    if (c.gathering) {
        // Within the budget: the candidates counted last round include these.
        c.kept.insert(c.kept.end(), static_cast<std::size_t>(times), key);
        return;
    }
    const auto j = static_cast<std::size_t>(at - c.prefixes.begin());
    counts[(j << b) + ((key >> shift()) & digit_mask)] += times;
}

void selection_search::state::narrow(column& c)
{
    const std::size_t width = std::size_t{1} << bits();
    const std::uint64_t* counts = global.data() + c.offset;
    const std::uint64_t* mine = local.data() + c.offset;
    chosen.clear();
    for (std::size_t i = 0; i < c.targets.size(); ++i) {
        target& t = c.targets[i];
        const std::size_t region = round == 0 ? 0 : static_cast<std::size_t>(c.which[i]) * width;
        const std::uint64_t* r = counts + region;
        std::uint64_t below = 0;
        std::size_t d = 0;
        // Whole runs of counts that the rank lies beyond are passed at once,
        // then the walk goes count by count; the region's counts add up to
        // more than the rank, so the walk stops inside it.
        constexpr std::size_t run = 64;
        while (d + run < width) {
            std::uint64_t in_run = 0;
            for (std::size_t k = 0; k < run; ++k) {
                in_run += r[d + k];
            }
            if (below + in_run > t.rank) {
                break;
            }
            below += in_run;
            d += run;
        }
        while (d + 1 < width && below + r[d] <= t.rank) {
            below += r[d];
            ++d;
        }
        t.rank -= below;
        t.prefix = (t.prefix << bits()) | d;
        chosen.push_back(region + d);
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    c.candidates = 0;
    for (const std::size_t slot : chosen) {
        c.candidates += mine[slot];
    }
}

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
        visit_number_type(st.type, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            st.add_run<T>(st.columns[0], v);
        });
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
        visit_number_type(st.type, [&](auto* p) {
            using T = std::remove_pointer_t<decltype(p)>;
            for (std::int64_t j = 0; j < t.columns; ++j) {
                st.add_run<T>(st.columns[static_cast<std::size_t>(j)], column_of(t, j));
            }
        });
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
    // The copies keep only the keys under the new prefixes (in the room
    // taken for the prefixes once; the pruned copy in `spare`).
    try {
        for (state::column& c : st.columns) {
            if (c.gathered && !c.targets.empty()) {
                c.prefixes.clear();
                for (const target& t : c.targets) {
                    c.prefixes.push_back(t.prefix);
                }
                std::sort(c.prefixes.begin(), c.prefixes.end());
                c.prefixes.erase(std::unique(c.prefixes.begin(), c.prefixes.end()), c.prefixes.end());
                if (c.kept.size() > st.spare.capacity()) {
                    detail::check_allocation("selection: pruned copy");
                }
                st.spare.resize(c.kept.size());
                const std::size_t got = selection_kernels().gather(
                    key_source{-1, c.kept.data(), c.kept.size()}, 64 - st.consumed, 0, c.prefixes.data(),
                    static_cast<int>(c.prefixes.size()), st.spare.data());
                st.spare.resize(got);
                c.kept.swap(st.spare);
            }
        }
    } catch (const std::bad_alloc&) {
        st.failed = true; // told to every rank by the next round's sum
    }
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
