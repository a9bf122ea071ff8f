// Selection passes for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage, and no library template is
// instantiated, so that no code built for one path can serve another.
#include "framework/simd/kernel_isa.h"
#include "statistics/selection_kernels.h"

#include <cstdint>

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

/// The order key of element i (a block of keys is returned as it is).
template <typename T>
inline std::uint64_t key_of(const T* v, std::size_t i)
{
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        return v[i];
    } else {
        return order_key(static_cast<double>(v[i]));
    }
}

/// Calls f with a null pointer to the element type numbered t: 0 double,
/// 1 float, 2 int, key_block keys.
template <typename F>
void with_block_type(int t, F f)
{
    if (t == key_block) {
        f(static_cast<std::uint64_t*>(nullptr));
    } else {
        with_type(t, f);
    }
}

template <typename T>
std::size_t top_block(const T* __restrict v, std::size_t m, int bits, std::uint32_t* __restrict slots)
{
    std::size_t nan = 0;
    const int shift = 64 - bits;
    for (std::size_t i = 0; i < m; ++i) {
        const double x = static_cast<double>(v[i]);
        nan += x != x ? 1 : 0;
        slots[i] = static_cast<std::uint32_t>(key_of(v, i) >> shift);
    }
    return nan;
}

template <typename T>
std::size_t count_top(const T* v, std::size_t n, int bits, std::uint32_t* sub, int copies)
{
    std::uint32_t slots[kernel_block];
    std::size_t nan = 0;
    for_each_block(n, [&](std::size_t start, std::size_t m) {
        nan += top_block(v + start, m, bits, slots);
        count_into(slots, m, sub, std::size_t{1} << bits, copies);
    });
    return nan;
}

/// The keys of v[0..m) (m <= kernel_block) into `keys`.
template <typename T>
void make_keys(const T* __restrict v, std::size_t m, std::uint64_t* __restrict keys)
{
    for (std::size_t i = 0; i < m; ++i) {
        keys[i] = key_of(v, i);
    }
}

// Slot of a key: j * 2^bits + digit for the prefix j it matches (at most
// one: the prefixes are distinct), else `dump`. One simple loop per prefix,
// each of selects only, so that every loop vectorises. shift + bits < 64.
void slots_of(const std::uint64_t* __restrict keys, std::size_t m, int shift, int bits,
              const std::uint64_t* prefixes, int nprefix, std::uint32_t dump, std::uint32_t* __restrict slots)
{
    const int high = shift + bits;
    const std::uint32_t mask = (1u << bits) - 1;
    for (std::size_t i = 0; i < m; ++i) {
        slots[i] = dump;
    }
    for (int j = 0; j < nprefix; ++j) {
        const std::uint64_t p = prefixes[j];
        const std::uint32_t base = static_cast<std::uint32_t>(j) << bits;
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint32_t digit = static_cast<std::uint32_t>(keys[i] >> shift) & mask;
            slots[i] = (keys[i] >> high) == p ? base + digit : slots[i];
        }
    }
}

/// Calls f(keys, slots, m, dump) for each block of up to kernel_block
/// elements of v, in order: the block's keys (v itself for a block of keys)
/// and each key's slot as slots_of gives it.
template <typename T, typename F>
void for_each_slot_block(const T* v, std::size_t n, int shift, int bits, const std::uint64_t* prefixes, int nprefix,
                         F f)
{
    const std::uint32_t dump = static_cast<std::uint32_t>(nprefix) << bits;
    std::uint64_t keys[kernel_block];
    std::uint32_t slots[kernel_block];
    for_each_block(n, [&](std::size_t start, std::size_t m) {
        const std::uint64_t* k = keys;
        if constexpr (std::is_same_v<T, std::uint64_t>) {
            k = v + start;
        } else {
            make_keys(v + start, m, keys);
        }
        slots_of(k, m, shift, bits, prefixes, nprefix, dump, slots);
        f(k, slots, m, dump);
    });
}

template <typename T>
void count_digit(const T* v, std::size_t n, int shift, int bits, const std::uint64_t* prefixes, int nprefix,
                 std::uint32_t* sub, int copies)
{
    for_each_slot_block(v, n, shift, bits, prefixes, nprefix,
                        [&](const std::uint64_t*, const std::uint32_t* slots, std::size_t m, std::uint32_t dump) {
                            count_into(slots, m, sub, std::size_t{dump} + 1, copies);
                        });
}

// The matching keys are few against the block when selection copies them,
// so the branch that keeps one is rarely taken and well predicted.
template <typename T>
std::size_t gather(const T* v, std::size_t n, int shift, int bits, const std::uint64_t* prefixes, int nprefix,
                   std::uint64_t* __restrict out)
{
    std::size_t kept = 0;
    for_each_slot_block(v, n, shift, bits, prefixes, nprefix,
                        [&](const std::uint64_t* k, const std::uint32_t* slots, std::size_t m, std::uint32_t dump) {
                            for (std::size_t i = 0; i < m; ++i) {
                                if (slots[i] != dump) {
                                    out[kept++] = k[i];
                                }
                            }
                        });
    return kept;
}

std::size_t any_count_top(int v_type, const void* v, std::size_t n, int bits, std::uint32_t* sub, int copies)
{
    std::size_t nan = 0;
    with_type(v_type, [&](auto* tv) {
        using T = std::remove_pointer_t<decltype(tv)>;
        nan = count_top(static_cast<const T*>(v), n, bits, sub, copies);
    });
    return nan;
}

void any_count_digit(int v_type, const void* v, std::size_t n, int shift, int bits, const std::uint64_t* prefixes,
                     int nprefix, std::uint32_t* sub, int copies)
{
    with_block_type(v_type, [&](auto* tv) {
        using T = std::remove_pointer_t<decltype(tv)>;
        count_digit(static_cast<const T*>(v), n, shift, bits, prefixes, nprefix, sub, copies);
    });
}

std::size_t any_gather(int v_type, const void* v, std::size_t n, int shift, int bits, const std::uint64_t* prefixes,
                       int nprefix, std::uint64_t* out)
{
    std::size_t kept = 0;
    with_block_type(v_type, [&](auto* tv) {
        using T = std::remove_pointer_t<decltype(tv)>;
        kept = gather(static_cast<const T*>(v), n, shift, bits, prefixes, nprefix, out);
    });
    return kept;
}

} // namespace

extern const selection_kernel_table selection_table;
const selection_kernel_table selection_table = {&any_count_top, &any_count_digit, &any_gather};

} // namespace virda_detail::VIRDA_KERNEL_ISA
