// A selection round's pass over the values: counting each key's digit under
// the round's prefixes, or copying the keys still in question.

#include "engine/allocation_failures.h"
#include "engine/run_pieces.h"
#include "engine/selection_search_state.h"
#include "framework/simd/sub_histograms.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace virda_detail {

const selection_kernel_table& selection_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(selection_kernel_table, selection_table);
}

} // namespace virda_detail

namespace virda::engine {
namespace {

using detail::gather_piece;
using virda_detail::key_source;
using virda_detail::selection_kernels;

} // namespace

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

/// Counts a few keys straight into the column's counts: for fewer keys
/// than a sub-histogram has slots, zeroing and folding one would cost more
/// than the counting (a slab gives each column of a wide table a few
/// hundred values at a time).
void selection_search::state::count_directly(column& c, const key_source& s)
{
    const int b = bits();
    const int low = round == 0 ? 64 - b : shift();
    const std::uint64_t digit_mask = (std::uint64_t{1} << b) - 1;
    std::uint64_t* counts = local.data() + c.offset;
    const std::uint64_t* prefixes = c.prefixes.data();
    const std::size_t nprefix = c.prefixes.size();
    const auto add = [&](std::uint64_t key) {
        if (round == 0) {
            ++counts[key >> low];
            return;
        }
        const std::uint64_t prefix = key >> (low + b);
        for (std::size_t j = 0; j < nprefix; ++j) {
            if (prefixes[j] == prefix) {
                ++counts[(j << b) + ((key >> low) & digit_mask)];
                return;
            }
        }
    };
    if (s.type < 0) {
        const auto* keys = static_cast<const std::uint64_t*>(s.values);
        for (std::size_t i = 0; i < s.n; ++i) {
            add(keys[i]);
        }
        return;
    }
    visit_number_type(static_cast<number_type>(s.type), [&](auto* t) {
        using T = std::remove_pointer_t<decltype(t)>;
        const auto* v = static_cast<const T*>(s.values);
        for (std::size_t i = 0; i < s.n; ++i) {
            add(virda_detail::order_key(v[i]));
        }
    });
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
    if (s.n < detail::direct_keys && (round == 0 || c.prefixes.size() <= detail::direct_prefixes)) {
        count_directly(c, s);
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

/// Counts (or copies) the run `v` of values of the search's number type for
/// column c.
void selection_search::state::add_values(column& c, const values_view& v)
{
    visit_number_type(type, [&](auto* t) {
        using T = std::remove_pointer_t<decltype(t)>;
        add_run<T>(c, v);
    });
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

} // namespace virda::engine
