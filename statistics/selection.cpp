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

} // namespace

selected select_order_statistics(int v_type, const void* v, std::size_t n, const std::vector<std::uint64_t>& ranks,
                                 MPI_Comm comm)
{
    selected result;
    std::vector<target> targets(ranks.size());
    for (std::size_t i = 0; i < ranks.size(); ++i) {
        targets[i].rank = ranks[i];
    }

    // Round 1: the top digit of every key, and the NaN count in the same
    // reduction.
    // The count buffers are kept from call to call (about a megabyte for
    // the first round), as in the counting passes.
    static thread_local std::vector<std::uint64_t> local, global;
    const std::size_t top = std::size_t{1} << top_digit_bits;
    zero(local, top + 1);
    zero(global, top + 1);
    local[top] = count_top_digits(v_type, v, n, local.data());
    MPI_Allreduce(local.data(), global.data(), static_cast<int>(top + 1), MPI_UINT64_T, MPI_SUM, comm);
    if (global[top] != 0) {
        result.nan = true;
        return result;
    }
    std::uint64_t candidates = narrow(targets, std::vector<int>(targets.size(), 0), global.data(), local.data(),
                                      top, top_digit_bits);

    // Rounds 2 to 5: 12 bits each, counted over the block, or over the copy
    // of the keys still in question once it is small. The decision to copy
    // is local: it changes no count.
    std::vector<std::uint64_t> kept, next;
    bool gathered = false;
    const std::size_t width = std::size_t{1} << digit_bits;
    for (int shift = 64 - top_digit_bits - digit_bits; shift >= 0; shift -= digit_bits) {
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
                                                                          prefixes.data(), nprefix, next.data())
                                             : selection_kernels().gather(v_type, v, n, shift, prefixes.data(),
                                                                          nprefix, next.data());
            next.resize(got);
            kept.swap(next);
            gathered = true;
        }

        const std::size_t slots = static_cast<std::size_t>(nprefix) * width;
        zero(local, slots);
        zero(global, slots);
        if (gathered) {
            count_digits(key_block, kept.data(), kept.size(), shift, prefixes.data(), nprefix, local.data());
        } else {
            count_digits(v_type, v, n, shift, prefixes.data(), nprefix, local.data());
        }
        MPI_Allreduce(local.data(), global.data(), static_cast<int>(slots), MPI_UINT64_T, MPI_SUM, comm);
        candidates = narrow(targets, which, global.data(), local.data(), width, digit_bits);
    }

    for (const target& t : targets) {
        result.keys.push_back(t.prefix);
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
        std::cerr << virda_messages::quantile_no_array(operation) << std::endl;
        return result;
    }
    // Decided from the type code on every rank alike, before any element is
    // read and before the first reduction, so that no rank waits in it alone.
    if (!is_real_code(code)) {
        throw boost::bad_get();
    }
    const std::uint64_t count = static_cast<std::uint64_t>(std::max(0, x.size()));
    if (count == 0) {
        std::cerr << virda_messages::quantile_no_elements(operation) << std::endl;
        return result;
    }

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
        const double h = static_cast<double>(count - 1) * q[i];
        const double whole = std::floor(h);
        usable[i] = true;
        below[i] = static_cast<std::uint64_t>(whole);
        fraction[i] = h - whole;
        ranks.push_back(below[i]);
        if (fraction[i] > 0.0) {
            ranks.push_back(below[i] + 1);
        }
    }
    if (ranks.empty()) {
        return result;
    }
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());

    selected found;
    with_local_block(x, [&](const auto* block, int n) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(block)>>;
        if constexpr (is_real<T>) {
            found = select_order_statistics(kernel_index<T>, block, static_cast<std::size_t>(std::max(0, n)), ranks,
                                            VIRDA_COMM);
        }
    });
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
