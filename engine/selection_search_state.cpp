#include "engine/selection_search_state.h"

#include "engine/allocation_failures.h"

#include <algorithm>
#include <new>
#include <type_traits>

namespace virda::engine {
namespace {

using detail::gather_room;
using detail::target;
using detail::worth_gathering;
using virda_detail::key_source;
using virda_detail::selection_kernels;

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

// The count buffers and the scratch come from those the last search on
// this thread left (up to kept_bytes each, so at most 64 MiB stay held)
// and go back when it ends: a search of small columns would otherwise
// spend most of its time faulting in fresh pages for its counts, call
// after call.
void selection_search::state::column::take_prefixes()
{
    prefixes.clear();
    for (const target& t : targets) {
        prefixes.push_back(t.prefix);
    }
    std::sort(prefixes.begin(), prefixes.end());
    prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
}

selection_search::state::state()
{
    swap_kept();
}

selection_search::state::~state()
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

void selection_search::state::swap_kept()
{
    kept_buffers& k = kept_on_this_thread();
    local.swap(k.local);
    global.swap(k.global);
    spare.swap(k.spare);
    scratch.swap(k.scratch);
}

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
        c.which.clear();
        if (round == 0) {
            c.prefixes.clear();
        } else {
            c.take_prefixes();
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

/// The copies keep only the keys under the new prefixes (in the room taken
/// for the prefixes once; the pruned copy in `spare`).
void selection_search::state::prune_copies()
{
    try {
        for (column& c : columns) {
            if (c.gathered && !c.targets.empty()) {
                c.take_prefixes();
                if (c.kept.size() > spare.capacity()) {
                    detail::check_allocation("selection: pruned copy");
                }
                spare.resize(c.kept.size());
                const std::size_t got = selection_kernels().gather(
                    key_source{-1, c.kept.data(), c.kept.size()}, 64 - consumed, 0, c.prefixes.data(),
                    static_cast<int>(c.prefixes.size()), spare.data());
                spare.resize(got);
                c.kept.swap(spare);
            }
        }
    } catch (const std::bad_alloc&) {
        failed = true; // told to every rank by the next round's sum
    }
}

} // namespace virda::engine
