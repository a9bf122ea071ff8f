#ifndef VIRDA_ENGINE_VALUES_AS_DOUBLES_H
#define VIRDA_ENGINE_VALUES_AS_DOUBLES_H

// A piece of a run of any number type converted to doubles, for the
// statistics that take their values as doubles. Not installed.

#include "engine/views.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace virda::engine::detail {

/// Values done .. done + m - 1 of run v, as doubles, into out.
inline void as_doubles(const values_view& v, std::int64_t done, std::size_t m, double* out)
{
    visit_number_type(v.type, [&](auto* t) {
        using T = std::remove_pointer_t<decltype(t)>;
        const auto* q = static_cast<const unsigned char*>(v.data) + done * v.stride;
        for (std::size_t i = 0; i < m; ++i, q += v.stride) {
            T value;
            std::memcpy(&value, q, sizeof value);
            out[i] = static_cast<double>(value);
        }
    });
}

} // namespace virda::engine::detail

#endif
