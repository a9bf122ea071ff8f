#include "moments.h"

#include "framework/attribute/attribute.h"
#include "statistics/mean.h"
#include "statistics/stdev.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace virda_stats {

namespace {

/// This rank's part of magnitude_of: {1 if any value is NaN or infinite,
/// the largest finite |value|}.
struct local_magnitude : boost::static_visitor<magnitude> {
    template <typename T>
    magnitude operator()(const va<T>& data) const
    {
        magnitude m;
        if constexpr (std::is_arithmetic_v<T>) {
            const T* block = data.va_local_data();
            const int n = data.va_local_count();
            for (int i = 0; i < n; ++i) {
                const double v = std::fabs(static_cast<double>(block[i]));
                if (std::isfinite(v)) {
                    m.largest = std::max(m.largest, v);
                } else {
                    m.finite = false;
                }
            }
        }
        return m;
    }
};

double library_moment(moment m, Attribute& x, Attribute* w)
{
    if (m == moment::mean) {
        return w != nullptr ? mean(x, *w) : mean(x);
    }
    return w != nullptr ? stdev(x, *w) : stdev(x);
}

/// The exponent e with 2^e <= largest < 2^(e+1), for finite data that have
/// a largest value above 0; false otherwise.
bool scale_exponent(const magnitude& m, int& e)
{
    if (!m.finite || !(m.largest > 0.0)) {
        return false;
    }
    e = std::ilogb(m.largest);
    return true;
}

} // namespace

magnitude magnitude_of(const Attribute& a, MPI_Comm comm)
{
    const array_variant* held = a.held();
    const magnitude mine = held != nullptr ? boost::apply_visitor(local_magnitude(), *held) : magnitude{};
    // One MPI_MAX over {any value not finite, largest finite magnitude}.
    double both[2] = {mine.finite ? 0.0 : 1.0, mine.largest};
    MPI_Allreduce(MPI_IN_PLACE, both, 2, MPI_DOUBLE, MPI_MAX, comm);
    return magnitude{both[0] == 0.0, both[1]};
}

double moment_of(moment m, Attribute& x, Attribute* w, MPI_Comm comm, const magnitude* x_magnitude)
{
    const double value = library_moment(m, x, w);
    if (std::isfinite(value)) {
        return value;
    }
    // The same value on every rank: every rank goes on here, or none.
    int ex = 0;
    if (!scale_exponent(x_magnitude != nullptr ? *x_magnitude : magnitude_of(x, comm), ex)) {
        return value; // NaN or infinite data, or none: the library's answer stands
    }
    int ew = 0;
    if (w != nullptr && !scale_exponent(magnitude_of(*w, comm), ew)) {
        return value;
    }
    Attribute scaled_x = x * scalar_variant(std::ldexp(1.0, -ex));
    if (w == nullptr) {
        return std::ldexp(library_moment(m, scaled_x, nullptr), ex);
    }
    // The weights' scale cancels in sum(x w) / sum(w).
    Attribute scaled_w = *w * scalar_variant(std::ldexp(1.0, -ew));
    return std::ldexp(library_moment(m, scaled_x, &scaled_w), ex);
}

} // namespace virda_stats
