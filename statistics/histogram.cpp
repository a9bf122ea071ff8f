#include "statistics/histogram.h"

#include "framework/runtime/virda_globals.h"
#include "statistics/local_block.h"
#include "statistics/statistics_messages.h"

#include <boost/variant/get.hpp>

#include <iostream>

namespace {

/// Adds this rank's elements to counts[0..nbins). Branch-free: an element
/// that falls in no bin is counted in a spare slot past the end, so the loop
/// has no unpredictable branch whatever the data.
template <typename T>
void count_block(const T* v, int n, double lower, double width, int nbins, std::vector<int>& counts)
{
    std::vector<int> slots(static_cast<std::size_t>(nbins) + 1, 0);
    const double top = nbins;
    for (int i = 0; i < n; ++i) {
        const double x = static_cast<double>(v[i]);
        const double q = (x - lower) / width;
        // Only a value strictly above `lower` whose quotient truncates into
        // 0..nbins-1 is counted; a NaN fails every comparison. The quotient
        // is replaced before it is converted, so that no NaN or huge value
        // ever reaches the conversion to int.
        const bool in = x > lower && q > -1.0 && q < top;
        ++slots[static_cast<int>(in ? q : top)];
    }
    for (int k = 0; k < nbins; ++k) {
        counts[k] += slots[k];
    }
}

} // namespace

std::vector<int> histogram(Attribute& values, double lower, double width, int nbins)
{
    if (nbins < 0) {
        std::cerr << virda_messages::histogram_negative_bins << std::endl;
        return {};
    }
    const int code = values.get_data_type();
    if (code == 0) {
        std::cerr << virda_messages::histogram_no_array << std::endl;
        return std::vector<int>(nbins, 0);
    }
    // Decided from the type code on every rank alike, before any element is
    // read and before the reduction, so that no rank waits in it alone.
    if (!virda_detail::is_real_code(code)) {
        throw boost::bad_get();
    }

    std::vector<int> local(nbins, 0);
    virda_detail::with_local_block(values, [&](const auto* block, int n) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(block)>>;
        if constexpr (virda_detail::is_real<T>) {
            count_block(block, n, lower, width, nbins, local);
        }
    });

    // Only rank 0 receives the counts; the others keep zeros.
    std::vector<int> result(nbins, 0);
    MPI_Reduce(local.data(), VIRDA_ID == 0 ? result.data() : nullptr, nbins, MPI_INT, MPI_SUM, 0, VIRDA_COMM);
    return result;
}
