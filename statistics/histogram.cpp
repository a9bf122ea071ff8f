#include "statistics/histogram.h"

#include "framework/runtime/virda_globals.h"
#include "engine/histogram.h"
#include "statistics/local_block.h"
#include "statistics/messages.h"

#include <boost/variant/get.hpp>

#include <algorithm>
#include <iostream>
#include <new>

std::vector<int> histogram(Attribute& values, double lower, double width, int nbins)
{
    if (nbins < 0) {
        virda_messages::report(virda_messages::histogram_negative_bins);
        return {};
    }
    const int code = values.get_data_type();
    if (code == 0) {
        virda_messages::report(virda_messages::histogram_no_array);
        return std::vector<int>(nbins, 0);
    }
    // Decided from the type code on every rank alike, before any element is
    // read and before the reduction, so that no rank waits in it alone.
    if (!virda_detail::is_real_code(code)) {
        throw boost::bad_get();
    }

    // This rank's counts from the engine's binning; the reduction is this
    // function's own, the one it has always made.
    virda::engine::equal_width_histogram bins(lower, width, nbins);
    if (bins.failed()) {
        throw std::bad_alloc();
    }
    virda_detail::with_local_block(values, [&](const auto* block, int n) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(block)>>;
        if constexpr (virda_detail::is_real<T>) {
            bins.add(virda::engine::values_of(block, std::max(0, n)));
        }
    });
    // A rank holds fewer than 2^31 elements: its counts fit an int.
    const std::vector<int> local(bins.local_counts().begin(), bins.local_counts().end());

    // Only rank 0 receives the counts; the others keep zeros.
    std::vector<int> result(nbins, 0);
    MPI_Reduce(local.data(), VIRDA_ID == 0 ? result.data() : nullptr, nbins, MPI_INT, MPI_SUM, 0, VIRDA_COMM);
    return result;
}
