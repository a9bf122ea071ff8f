#ifndef VIRDA_ENGINE_EXTREMES_SCAN_H
#define VIRDA_ENGINE_EXTREMES_SCAN_H

// The scans of an extremes accumulator: the least and greatest of a block
// of values (a run, or a tile of rows per column) in the type they are
// compared in, their NaN count and the signs of their zeros. Not installed.

#include "engine/moment_kernels.h"
#include "engine/order_keys.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace virda::engine::extremes_detail {

// Order keys with the zeros alike (their signs are counted apart, in `zeros`).
inline std::uint64_t key_of(double x) { return detail::key_of(x == 0.0 ? 0.0 : x); }
inline std::uint64_t key_of(std::int64_t v) { return detail::key_of(v); }
inline std::uint64_t key_of(std::uint64_t v) { return v; }

/// The type values of T are compared in.
template <typename T>
using compared_t = std::conditional_t<std::is_floating_point_v<T>, double,
                                      std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>>;

template <typename A>
constexpr A highest()
{
    return std::is_floating_point_v<A> ? std::numeric_limits<A>::infinity() : std::numeric_limits<A>::max();
}
template <typename A>
constexpr A lowest()
{
    return std::is_floating_point_v<A> ? -std::numeric_limits<A>::infinity() : std::numeric_limits<A>::lowest();
}

template <typename T>
T value_at(const char* p, std::int64_t i, std::int64_t stride)
{
    T x;
    std::memcpy(&x, p + i * stride, sizeof x);
    return x;
}

/// The zeros' signs among m values.
template <typename T>
std::uint64_t zero_signs(const char* p, std::int64_t m, std::int64_t stride)
{
    std::uint64_t z = 0;
    for (std::int64_t i = 0; i < m; ++i) {
        const T x = value_at<T>(p, i, stride);
        if (x == 0) {
            z |= std::signbit(x) ? 1u : 2u;
        }
    }
    return z;
}

/// The extremes and NaN count of m values; the zeros' signs when an
/// extreme is zero.
template <typename T>
void scan(const char* q, std::int64_t m, std::int64_t stride, compared_t<T>* least,
                 compared_t<T>* greatest, std::int64_t* nans, std::uint64_t* zeros)
{
    using A = compared_t<T>;
    A l = highest<A>();
    A g = lowest<A>();
    std::int64_t nan = 0;
    for (std::int64_t i = 0; i < m; ++i) {
        const A x = static_cast<A>(value_at<T>(q, i, stride));
        nan += x != x ? 1 : 0;
        l = x < l ? x : l;
        g = x > g ? x : g;
    }
    if constexpr (std::is_floating_point_v<T>) {
        if (l == 0 || g == 0) {
            *zeros = zero_signs<T>(q, m, stride);
        }
    }
    *least = l;
    *greatest = g;
    *nans = nan;
}

/// The extremes and NaN counts of rows [0, m) of a tile, per column:
/// only comparisons and selections, which the compiler vectorises along
/// a row of contiguous values.
template <typename T>
void scan_tile(const char* base, std::int64_t m, std::int64_t row_stride, std::size_t ncol,
                      compared_t<T>* __restrict least, compared_t<T>* __restrict greatest,
                      std::int64_t* __restrict nans)
{
    using A = compared_t<T>;
    for (std::size_t j = 0; j < ncol; ++j) {
        least[j] = highest<A>();
        greatest[j] = lowest<A>();
        nans[j] = 0;
    }
    for (std::int64_t i = 0; i < m; ++i) {
        const T* row = reinterpret_cast<const T*>(base + i * row_stride);
        for (std::size_t j = 0; j < ncol; ++j) {
            const A x = static_cast<A>(row[j]);
            nans[j] += x != x ? 1 : 0;
            least[j] = x < least[j] ? x : least[j];
            greatest[j] = x > greatest[j] ? x : greatest[j];
        }
    }
}

/// Per column of a tile of m rows, `row_stride` bytes apart, from `base`
/// (columns `column_stride` bytes apart): the extremes and NaN count, by the
/// vectorised pass where the columns are contiguous (doubles aligned to
/// their size: the engine's tile kernel), else column by column.
template <typename T>
void scan_columns(const char* base, std::int64_t m, std::int64_t row_stride, std::int64_t column_stride,
                  std::size_t ncol, compared_t<T>* least, compared_t<T>* greatest, std::int64_t* nans)
{
    const bool contiguous = column_stride == static_cast<std::int64_t>(sizeof(T));
    if constexpr (std::is_same_v<T, double>) {
        if (contiguous && row_stride % static_cast<std::int64_t>(sizeof(double)) == 0) {
            virda_detail::moment_kernels().tile_extremes(
                reinterpret_cast<const double*>(base), static_cast<std::size_t>(m),
                static_cast<std::ptrdiff_t>(row_stride / static_cast<std::int64_t>(sizeof(double))), ncol, least,
                greatest, nans);
            return;
        }
    }
    if (contiguous) {
        scan_tile<T>(base, m, row_stride, ncol, least, greatest, nans);
        return;
    }
    for (std::size_t j = 0; j < ncol; ++j) {
        std::uint64_t ignored = 0;
        scan<T>(base + static_cast<std::int64_t>(j) * column_stride, m, row_stride, &least[j], &greatest[j],
                &nans[j], &ignored);
    }
}

} // namespace virda::engine::extremes_detail

#endif
