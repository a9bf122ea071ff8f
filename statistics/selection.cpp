#include "statistics/selection.h"

#include "engine/error.h"
#include "engine/order_statistics.h"
#include "statistics/messages.h"
#include "framework/runtime/virda_globals.h"
#include "statistics/local_block.h"

#include <boost/variant/get.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <limits>

namespace virda_detail {

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
        virda_messages::report(virda_messages::quantile_nan(operation, virda_messages::quantile_no_array));
        return result;
    }
    // Decided from the type code on every rank alike, before any element is
    // read and before the first reduction, so that no rank waits in it alone.
    if (!is_real_code(code)) {
        throw boost::bad_get();
    }
    const std::int64_t count = std::max(0, x.size());

    std::vector<bool> usable(q.size(), false);
    for (std::size_t i = 0; i < q.size(); ++i) {
        usable[i] = q[i] >= 0.0 && q[i] <= 1.0;
        if (!usable[i]) {
            virda_messages::report(virda_messages::quantile_bad_probability);
        }
    }
    if (std::find(usable.begin(), usable.end(), true) == usable.end()) {
        return result; // the same probabilities everywhere: no rank communicates
    }

    // This rank's block, read in place. The engine's count checks that the
    // ranks of VIRDA_COMM hold one array of `count` elements between them
    // (every rank expects the same count and the blocks add up to it); also
    // an array without elements takes part.
    virda::engine::value_counts counts;
    std::vector<virda::engine::number> found;
    bool disagree = false;
    bool any_nan = false;
    std::vector<std::uint64_t> below(q.size(), 0);
    std::vector<double> fraction(q.size(), 0.0);
    with_local_block(x, [&](const auto* block, int n) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(block)>>;
        if constexpr (is_real<T>) {
            virda::engine::order_statistics statistics(virda::engine::number_type_of<T>::value);
            statistics.add(virda::engine::values_of(block, std::max(0, n)));
            try {
                counts = statistics.count(VIRDA_COMM, count);
            } catch (const virda::engine::error& e) {
                if (e.code() != virda::engine::error_code::ranks_disagree) {
                    throw;
                }
                disagree = true;
                return;
            }
            any_nan = counts.nans[0] > 0;
            if (count == 0 || any_nan) {
                return;
            }
            // h = (N - 1) p rounded once; the order statistics floor(h) and,
            // where h has a fraction, the one after it.
            std::vector<std::uint64_t> ranks;
            for (std::size_t i = 0; i < q.size(); ++i) {
                if (!usable[i]) {
                    continue;
                }
                const double h = static_cast<double>(count - 1) * q[i];
                const double whole = std::floor(h);
                below[i] = static_cast<std::uint64_t>(whole);
                fraction[i] = h - whole;
                ranks.push_back(below[i]);
                ranks.push_back(fraction[i] > 0.0 ? below[i] + 1 : below[i]);
            }
            found = statistics.select(counts, {ranks}, VIRDA_COMM)[0];
        }
    });
    if (disagree) {
        virda_messages::report(virda_messages::quantile_nan(operation, virda_messages::quantile_not_over_comm));
        return result;
    }
    if (count == 0) {
        virda_messages::report(virda_messages::quantile_nan(operation, virda_messages::quantile_no_elements));
        return result;
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < q.size(); ++i) {
        if (!usable[i] || any_nan) {
            continue;
        }
        const double a = found[k].as_double() + 0.0;
        const double b = found[k + 1].as_double() + 0.0;
        k += 2;
        result[i] = fraction[i] > 0.0 ? interpolate(a, b, fraction[i]) : a;
    }
    return result;
}

} // namespace virda_detail
