#include "statistics/selection.h"

#include "framework/messages.h"
#include "framework/runtime/virda_globals.h"
#include "statistics/local_block.h"
#include "statistics/selection_kernels.h"

#include <boost/variant/get.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>

namespace virda_detail {
namespace {

/// One order statistic being sought: its key's bits found so far (`prefix`)
/// and its rank among the keys that share them.
struct target {
    std::uint64_t prefix = 0;
    std::uint64_t rank = 0;
};

/// Narrows each target whose prefix is prefixes[j] (`which` holds j) to the
/// digit d of region j of `counts` (regions of `width` counts) whose
/// cumulative counts hold its rank, and returns, of `local`, the count of
/// this rank's keys under the new prefixes (each distinct one once).
std::uint64_t narrow(std::vector<target>& targets, const std::vector<int>& which, const std::uint64_t* counts,
                     const std::uint64_t* local, std::size_t width, int bits)
{
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const std::uint64_t* region = counts + static_cast<std::size_t>(which[i]) * width;
        std::uint64_t below = 0;
        std::size_t d = 0;
        // Whole runs of counts that the rank lies beyond are passed at once
        // (the counts are not negative, so the walk below would pass each
        // of them), then the walk goes count by count. The counts of the
        // region add up to more than the rank (it was found inside them), so
        // the walk stops inside it.
        constexpr std::size_t run = 64;
        while (d + run < width) {
            std::uint64_t in_run = 0;
            for (std::size_t k = 0; k < run; ++k) {
                in_run += region[d + k];
            }
            if (below + in_run > targets[i].rank) {
                break;
            }
            below += in_run;
            d += run;
        }
        while (d + 1 < width && below + region[d] <= targets[i].rank) {
            below += region[d];
            ++d;
        }
        targets[i].rank -= below;
        targets[i].prefix = (targets[i].prefix << bits) | d;
        chosen.push_back(static_cast<std::size_t>(which[i]) * width + d);
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    std::uint64_t kept = 0;
    for (const std::size_t slot : chosen) {
        kept += local[slot];
    }
    return kept;
}

/// v holds `count` zeros (one memset; the room is kept).
void zero(std::vector<std::uint64_t>& v, std::size_t count)
{
    v.resize(count);
    std::memset(v.data(), 0, count * sizeof(std::uint64_t));
}

/// v has room for `count` values, left as they are: a reduction writes them.
void make_room(std::vector<std::uint64_t>& v, std::size_t count)
{
    if (v.size() < count) {
        v.resize(count);
    }
}

/// The copies of the keys still in question are kept from call to call up
/// to this many keys (8 MB each); larger ones are given back after the call.
constexpr std::size_t kept_keys_bound = std::size_t{1} << 20;

} // namespace

std::vector<int> digit_plan(std::uint64_t total)
{
    // Few elements: rounds of 256 counts, cheap to clear, reduce and walk,
    // where a first round of 2^16 counts cost more than the whole data. Many:
    // a wide first digit that, with the sign and the exponent, leaves few
    // keys in question after one pass over the block, then 12 bits a round.
    if (total <= (std::uint64_t{1} << 16)) {
        return {8, 8, 8, 8, 8, 8, 8, 8};
    }
    return {16, 12, 12, 12, 12};
}

selected select_order_statistics(int v_type, const void* v, std::size_t n, std::uint64_t count,
                                 const std::vector<std::uint64_t>& ranks, MPI_Comm comm)
{
    selected result;

    // The elements the ranks of comm hold between them, and whether each of
    // them counts the same array: every rank then passes the same count, and
    // the blocks add up to it. A statistic called on arrays distributed over
    // other communicators (each half of the job over its own, say) fails one
    // of the two tests on some rank.
    const std::uint64_t mine[3] = {n, count, 1};
    std::uint64_t all[3] = {};
    MPI_Allreduce(mine, all, 3, MPI_UINT64_T, MPI_SUM, comm);
    const std::uint64_t total = all[0];
    const bool agrees = total == count && all[1] == all[2] * count;
    if (total == 0) {
        // Known to every rank alike: no round follows.
        result.none = true;
        result.disagree = !agrees;
        return result;
    }

    // Every digit width follows from the total, the same on every rank, so
    // every rank reduces counts of the same length even when they disagree.
    const std::vector<int> plan = digit_plan(total);
    std::vector<target> targets(ranks.size());
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        targets[i].rank = ranks[i];
    }

    // Round 1: the top digit of every key; the NaN count and the number of
    // ranks that disagree ride in the same reduction. The count buffers are
    // kept from call to call, as in the counting passes.
    static thread_local std::vector<std::uint64_t> local, global;
    int bits = plan[0];
    const std::size_t top = std::size_t{1} << bits;
    zero(local, top + 2);
    make_room(global, top + 2);
    local[top] = count_top_digits(v_type, v, n, bits, local.data());
    local[top + 1] = agrees ? 0 : 1;
    MPI_Allreduce(local.data(), global.data(), static_cast<int>(top + 2), MPI_UINT64_T, MPI_SUM, comm);
    if (global[top + 1] != 0) {
        result.disagree = true;
        return result;
    }
    if (global[top] != 0) {
        result.nan = true;
        return result;
    }
    std::uint64_t candidates =
        narrow(targets, std::vector<int>(targets.size(), 0), global.data(), local.data(), top, bits);

    // Later rounds: counted over the block, or over the copy of the keys
    // still in question once it is small. The decision to copy is local: it
    // changes no count.
    static thread_local std::vector<std::uint64_t> kept, next;
    kept.clear();
    next.clear();
    bool gathered = false;
    int shift = 64 - bits;
    for (std::size_t round = 1; round < plan.size(); ++round) {
        bits = plan[round];
        shift -= bits;
        std::vector<std::uint64_t> prefixes;
        for (const target& t : targets) {
            prefixes.push_back(t.prefix);
        }
        std::sort(prefixes.begin(), prefixes.end());
        prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
        std::vector<int> which;
        for (const target& t : targets) {
            which.push_back(static_cast<int>(std::lower_bound(prefixes.begin(), prefixes.end(), t.prefix) -
                                             prefixes.begin()));
        }
        const int nprefix = static_cast<int>(prefixes.size());

        if (gathered || worth_gathering(candidates, n)) {
            next.resize(static_cast<std::size_t>(candidates));
            const std::size_t got = gathered ? selection_kernels().gather(key_block, kept.data(), kept.size(), shift,
                                                                          bits, prefixes.data(), nprefix, next.data())
                                             : selection_kernels().gather(v_type, v, n, shift, bits, prefixes.data(),
                                                                          nprefix, next.data());
            next.resize(got);
            kept.swap(next);
            gathered = true;
        }

        const std::size_t width = std::size_t{1} << bits;
        const std::size_t slots = static_cast<std::size_t>(nprefix) * width;
        zero(local, slots);
        make_room(global, slots);
        if (gathered) {
            count_digits(key_block, kept.data(), kept.size(), shift, bits, prefixes.data(), nprefix, local.data());
        } else {
            count_digits(v_type, v, n, shift, bits, prefixes.data(), nprefix, local.data());
        }
        MPI_Allreduce(local.data(), global.data(), static_cast<int>(slots), MPI_UINT64_T, MPI_SUM, comm);
        candidates = narrow(targets, which, global.data(), local.data(), width, bits);
    }

    for (const target& t : targets) {
        result.keys.push_back(t.prefix);
    }
    for (std::vector<std::uint64_t>* copy : {&kept, &next}) {
        if (copy->capacity() > kept_keys_bound) {
            std::vector<std::uint64_t>().swap(*copy);
        }
    }
    return result;
}

double interpolate(double a, double b, double t)
{
    if (t == 0.0 || a == b) {
        return a;
    }
    const double inf = std::numeric_limits<double>::infinity();
    if (std::isinf(a) || std::isinf(b)) {
        if (a == -inf && b == inf) {
            return std::numeric_limits<double>::quiet_NaN();
        }
        return std::isinf(a) ? a : b;
    }
    const double d = b - a;
    double r = 0.0;
    if (std::isfinite(d)) {
        r = t < 0.5 ? a + d * t : b - d * (1.0 - t);
    } else {
        r = (1.0 - t) * a + t * b;
    }
    return std::min(std::max(r, a), b);
}

std::vector<double> quantiles_of(Attribute& x, const std::vector<double>& q, const char* operation)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> result(q.size(), nan);
    if (q.empty()) {
        return result;
    }
    const int code = x.get_data_type();
    if (code == 0) {
        std::cerr << virda_messages::quantile_nan(operation, virda_messages::quantile_no_array) << std::endl;
        return result;
    }
    // Decided from the type code on every rank alike, before any element is
    // read and before the first reduction, so that no rank waits in it alone.
    if (!is_real_code(code)) {
        throw boost::bad_get();
    }
    const std::uint64_t count = static_cast<std::uint64_t>(std::max(0, x.size()));

    // h = (N - 1) p rounded once; the order statistics floor(h) and, where h
    // has a fraction, the one after it.
    std::vector<std::uint64_t> ranks;
    std::vector<double> fraction(q.size(), 0.0);
    std::vector<std::uint64_t> below(q.size(), 0);
    std::vector<bool> usable(q.size(), false);
    for (std::size_t i = 0; i < q.size(); ++i) {
        if (!(q[i] >= 0.0 && q[i] <= 1.0)) {
            std::cerr << virda_messages::quantile_bad_probability << std::endl;
            continue;
        }
        usable[i] = true;
        if (count == 0) {
            continue;
        }
        const double h = static_cast<double>(count - 1) * q[i];
        const double whole = std::floor(h);
        below[i] = static_cast<std::uint64_t>(whole);
        fraction[i] = h - whole;
        ranks.push_back(below[i]);
        if (fraction[i] > 0.0) {
            ranks.push_back(below[i] + 1);
        }
    }
    if (std::find(usable.begin(), usable.end(), true) == usable.end()) {
        return result; // the same probabilities everywhere: no rank communicates
    }
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());

    // Also an array without elements takes part: its ranks learn with the
    // others whether every rank holds the same array.
    selected found;
    with_local_block(x, [&](const auto* block, int n) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(block)>>;
        if constexpr (is_real<T>) {
            found = select_order_statistics(kernel_index<T>, block, static_cast<std::size_t>(std::max(0, n)), count,
                                            ranks, VIRDA_COMM);
        }
    });
    if (found.disagree) {
        std::cerr << virda_messages::quantile_nan(operation, virda_messages::quantile_not_over_comm) << std::endl;
        return result;
    }
    if (found.none) {
        std::cerr << virda_messages::quantile_nan(operation, virda_messages::quantile_no_elements) << std::endl;
        return result;
    }
    auto value_of = [&](std::uint64_t r) {
        const auto at = std::lower_bound(ranks.begin(), ranks.end(), r) - ranks.begin();
        return key_value(found.keys[static_cast<std::size_t>(at)]);
    };
    for (std::size_t i = 0; i < q.size(); ++i) {
        if (usable[i]) {
            result[i] = found.nan ? nan
                                  : fraction[i] > 0.0 ? interpolate(value_of(below[i]), value_of(below[i] + 1), fraction[i])
                                                      : value_of(below[i]);
        }
    }
    return result;
}

} // namespace virda_detail
