#include "statistics/histogram.h"

#include "framework/runtime/virda_globals.h"
#include "statistics/binning_kernels.h"
#include "statistics/local_block.h"
#include "framework/messages.h"

#include <boost/variant/get.hpp>

#include <iostream>

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
            virda_detail::count_histogram(block, n, lower, width, nbins, local.data());
        }
    });

    // Only rank 0 receives the counts; the others keep zeros.
    std::vector<int> result(nbins, 0);
    MPI_Reduce(local.data(), VIRDA_ID == 0 ? result.data() : nullptr, nbins, MPI_INT, MPI_SUM, 0, VIRDA_COMM);
    return result;
}
