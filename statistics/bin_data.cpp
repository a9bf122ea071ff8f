#include "statistics/bin_data.h"

#include "framework/runtime/virda_globals.h"
#include "engine/bin_means.h"
#include "statistics/local_block.h"
#include "statistics/messages.h"

#include <boost/variant/apply_visitor.hpp>

#include <algorithm>
#include <iostream>
#include <new>
#include <limits>
#include <vector>

namespace {

/// This rank's block of the attribute's array as global indices, in the
/// array's own communicator (which need not number the processes as
/// VIRDA_COMM does), without the last rank's extra rows, which are no part
/// of the array.
va_range own_elements(const Attribute& a)
{
    va_range r = boost::apply_visitor([](const auto& v) { return v.va_local_range(); }, *a.held());
    r.count = std::max(0, std::min(r.count, a.size() - r.first));
    return r;
}

/// Points `out` at x's elements of `want`: straight at this rank's block when
/// that block provably holds them (x holds doubles and its own block starts
/// at the same index and reaches as far), otherwise into `buffer` through the
/// range read, which fetches what other ranks hold. Returns false (after the
/// read's own message) when x's elements cannot be had as doubles.
bool read_x(Attribute& x, va_range want, std::vector<double>& buffer, const double** out)
{
    if (x.get_data_type() == type_code<double>::value && x.size() > 0) {
        const va_range own = own_elements(x);
        if (own.first == want.first && own.count >= want.count) {
            virda_detail::with_local_block(x, [&](const auto* block, int) {
                if constexpr (std::is_same_v<std::remove_const_t<std::remove_pointer_t<decltype(block)>>, double>) {
                    *out = block;
                }
            });
            return true;
        }
    }
    buffer.assign(static_cast<std::size_t>(want.count), std::numeric_limits<double>::quiet_NaN());
    x.get<double>(want.first, want.first + want.count - 1, buffer.data());
    *out = buffer.data();
    return x.get_data_type() == type_code<double>::value;
}

} // namespace

template <typename T>
std::vector<double> bin_data_template(Attribute& x, Attribute& y, std::vector<double> centres, T)
{
    if (centres.size() < 2) {
        virda_messages::report(virda_messages::bin_data_few_centres);
        return centres;
    }
    const int nbins = static_cast<int>(centres.size());
    const double c0 = centres[0];
    const double w = centres[1] - centres[0];
    std::vector<double> result(nbins, 0.0);

    // The pairs of this rank are those whose y elements its block holds.
    const va_range pairs = y.size() > 0 ? own_elements(y) : va_range{};

    // This rank's per-bin sums and counts from the engine's binning; the two
    // reductions are this function's own.
    virda::engine::bin_means bins(c0, w, nbins);
    if (bins.failed()) {
        throw std::bad_alloc();
    }

    if (pairs.count > 0) {
        std::vector<double> x_buffer;
        const double* xs = nullptr;
        const bool have_x = read_x(x, pairs, x_buffer, &xs);
        if (have_x) {
            virda_detail::with_local_block(y, [&](const auto* block, int) {
                if constexpr (std::is_same_v<std::remove_const_t<std::remove_pointer_t<decltype(block)>>, T>) {
                    bins.add(virda::engine::values_of(xs, pairs.count), virda::engine::values_of(block, pairs.count));
                }
            });
        }
    }

    // A rank holds fewer than 2^31 pairs: its counts fit an int.
    std::vector<double> global_sums(nbins);
    std::vector<int> global_counts(nbins);
    const std::vector<int> local_counts(bins.local_counts().begin(), bins.local_counts().begin() + nbins);
    MPI_Allreduce(bins.local_sums().data(), global_sums.data(), nbins, MPI_DOUBLE, MPI_SUM, VIRDA_COMM);
    MPI_Allreduce(local_counts.data(), global_counts.data(), nbins, MPI_INT, MPI_SUM, VIRDA_COMM);
    for (int i = 0; i < nbins; ++i) {
        result[i] = global_counts[i] < 1 ? 0.0 : global_sums[i] / static_cast<double>(global_counts[i]);
    }
    return result;
}

#define VIRDA_INSTANTIATE_BIN_DATA(T) \
    template std::vector<double> bin_data_template<T>(Attribute&, Attribute&, std::vector<double>, T);
VIRDA_FOR_EACH_REAL_TYPE(VIRDA_INSTANTIATE_BIN_DATA)
#undef VIRDA_INSTANTIATE_BIN_DATA

std::vector<double> bin_data(Attribute& x, Attribute& y, std::vector<double> centres)
{
    if (centres.size() < 2) { // before the dispatch: also for a y the workers do not take
        virda_messages::report(virda_messages::bin_data_few_centres);
        return centres;
    }
    switch (y.get_data_type()) {
#define VIRDA_BIN_DATA_CASE(T)  \
    case type_code<T>::value: \
        return bin_data_template<T>(x, y, centres, T{});
        VIRDA_FOR_EACH_REAL_TYPE(VIRDA_BIN_DATA_CASE)
#undef VIRDA_BIN_DATA_CASE
    default:
        return centres;
    }
}
