#ifndef VIRDA_ENGINE_RUN_PIECES_H
#define VIRDA_ENGINE_RUN_PIECES_H

// A run of values handed to the counting kernels in contiguous pieces: the
// kernels count in 32-bit integers, so no piece is longer than 2^30 values,
// and a run that is strided or unaligned is copied a chunk at a time. Not
// installed.

#include "engine/views.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace virda::engine::detail {

// Values per kernel call: the kernels count in 32-bit integers.
constexpr std::int64_t most_per_call = std::int64_t{1} << 30;
// Values copied at a time from a run that is not contiguous.
constexpr std::size_t copy_chunk = 4096;

/// Calls f(pointer, n) for contiguous pieces of a run (n <= most_per_call):
/// the run itself where it is contiguous and aligned, else copies.
template <typename T, typename F>
void for_each_piece(const values_view& v, F f)
{
    const auto* p = static_cast<const unsigned char*>(v.data);
    if (v.stride == static_cast<std::int64_t>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(p) % alignof(T) == 0) {
        for (std::int64_t done = 0; done < v.count; done += most_per_call) {
            f(reinterpret_cast<const T*>(p) + done,
              static_cast<std::size_t>(std::min(most_per_call, v.count - done)));
        }
        return;
    }
    T copy[copy_chunk];
    for (std::int64_t done = 0; done < v.count;) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(v.count - done, copy_chunk));
        const unsigned char* q = p + done * v.stride;
        for (std::size_t i = 0; i < m; ++i, q += v.stride) {
            std::memcpy(&copy[i], q, sizeof(T));
        }
        f(static_cast<const T*>(copy), m);
        done += static_cast<std::int64_t>(m);
    }
}

} // namespace virda::engine::detail

#endif
