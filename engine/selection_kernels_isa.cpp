// Selection passes for one instruction set; built once per path by
// virda_add_isa_kernels, with VIRDA_KERNEL_ISA naming the path. Everything
// here but the table has internal linkage, so that no code built for one
// path can serve another.
#include "framework/simd/kernel_isa.h"
#include "engine/selection_kernels.h"

#include <cstdint>
#include <type_traits>

namespace virda_detail::VIRDA_KERNEL_ISA {
namespace {

/// Calls f with a null pointer to the values' type: a number type, or
/// std::uint64_t for keys already made (marked by `keys` true).
template <typename F>
void with_source_type(const key_source& s, F f)
{
    if (s.type < 0) {
        f(static_cast<std::uint64_t*>(nullptr), std::true_type{});
        return;
    }
    virda::engine::visit_number_type(static_cast<virda::engine::number_type>(s.type),
                                     [&](auto* t) { f(t, std::false_type{}); });
}

/// The keys of v[0..m) (m <= kernel_block) into `keys`.
template <typename T>
void make_keys(const T* __restrict v, std::size_t m, std::uint64_t* __restrict keys)
{
    for (std::size_t i = 0; i < m; ++i) {
        keys[i] = order_key(v[i]);
    }
}

/// Calls f(keys, m) for each block of up to kernel_block keys of the source:
/// the source itself when it holds keys.
template <typename T, bool Keys, typename F>
void for_each_key_block(const T* v, std::size_t n, F f)
{
    std::uint64_t keys[kernel_block];
    for_each_block(n, [&](std::size_t start, std::size_t m) {
        if constexpr (Keys) {
            f(v + start, m);
        } else {
            make_keys(v + start, m, keys);
            f(static_cast<const std::uint64_t*>(keys), m);
        }
    });
}

void count_top(key_source s, int bits, std::uint32_t* sub, int copies)
{
    with_source_type(s, [&](auto* t, auto keys) {
        using T = std::remove_pointer_t<decltype(t)>;
        const int shift = 64 - bits;
        std::uint32_t slots[kernel_block];
        for_each_key_block<T, decltype(keys)::value>(static_cast<const T*>(s.values), s.n,
                                                     [&](const std::uint64_t* k, std::size_t m) {
                                                         for (std::size_t i = 0; i < m; ++i) {
                                                             slots[i] = static_cast<std::uint32_t>(k[i] >> shift);
                                                         }
                                                         count_into(slots, m, sub, std::size_t{1} << bits, copies);
                                                     });
    });
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

void count_digit(key_source s, int shift, int bits, const std::uint64_t* prefixes, int nprefix, std::uint32_t* sub,
                 int copies)
{
    const std::uint32_t dump = static_cast<std::uint32_t>(nprefix) << bits;
    with_source_type(s, [&](auto* t, auto keys) {
        using T = std::remove_pointer_t<decltype(t)>;
        std::uint32_t slots[kernel_block];
        for_each_key_block<T, decltype(keys)::value>(
            static_cast<const T*>(s.values), s.n, [&](const std::uint64_t* k, std::size_t m) {
                slots_of(k, m, shift, bits, prefixes, nprefix, dump, slots);
                count_into(slots, m, sub, std::size_t{dump} + 1, copies);
            });
    });
}

// The matching keys are few against the values when selection copies them,
// so the branch that keeps one is rarely taken and well predicted.
std::size_t gather(key_source s, int shift, int bits, const std::uint64_t* prefixes, int nprefix,
                   std::uint64_t* __restrict out)
{
    const std::uint32_t dump = static_cast<std::uint32_t>(nprefix) << bits;
    std::size_t kept = 0;
    with_source_type(s, [&](auto* t, auto keys) {
        using T = std::remove_pointer_t<decltype(t)>;
        std::uint32_t slots[kernel_block];
        for_each_key_block<T, decltype(keys)::value>(static_cast<const T*>(s.values), s.n,
                                                     [&](const std::uint64_t* k, std::size_t m) {
                                                         slots_of(k, m, shift, bits, prefixes, nprefix, dump, slots);
                                                         for (std::size_t i = 0; i < m; ++i) {
                                                             if (slots[i] != dump) {
                                                                 out[kept++] = k[i];
                                                             }
                                                         }
                                                     });
    });
    return kept;
}

} // namespace

extern const selection_kernel_table selection_table;
const selection_kernel_table selection_table = {&count_top, &count_digit, &gather};

} // namespace virda_detail::VIRDA_KERNEL_ISA
