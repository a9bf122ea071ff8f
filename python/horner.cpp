// Built with -ffp-contract=off (python/CMakeLists.txt): a product and a sum
// contracted into one fused multiply-add would round differently from
// NumPy's separate multiply and add.
#include "horner.h"

#include "engine/values_as_doubles.h"

#include <algorithm>
#include <cstdint>

namespace virda_python {

namespace {

/// Elements per step: the x and y of a chunk stay in the first-level cache
/// while every coefficient is applied, and the inner loop has a fixed trip
/// count with no aliasing, which the compiler vectorises at -O2.
constexpr std::size_t chunk = 256;

} // namespace

void horner(const std::vector<double>& p, const virda::engine::values_view& x, double* out)
{
    double xs[chunk];
    double ys[chunk];
    const auto n = static_cast<std::size_t>(x.count);
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t m = std::min(chunk, n - start);
        // The last chunk is padded with zeros; only its m values are kept.
        std::fill(xs + m, xs + chunk, 0.0);
        virda::engine::detail::as_doubles(x, static_cast<std::int64_t>(start), m, xs);
        std::fill(ys, ys + chunk, 0.0);
        for (const double c : p) {
            for (std::size_t j = 0; j < chunk; ++j) {
                ys[j] = ys[j] * xs[j] + c;
            }
        }
        std::copy(ys, ys + m, out + start);
    }
}

void horner(const std::vector<double>& p, const double* x, double* out, std::size_t n)
{
    horner(p, virda::engine::values_of(x, static_cast<std::int64_t>(n)), out);
}

} // namespace virda_python
