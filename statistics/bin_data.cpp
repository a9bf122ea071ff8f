#include "statistics/bin_data.h"

#include "framework/runtime/virda_globals.h"
#include "statistics/binning_kernels.h"
#include "statistics/local_block.h"
#include "framework/messages.h"

#include <boost/variant/apply_visitor.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <limits>

namespace {

/// This process's rank in the communicator of the attribute's array: the
/// number under which its block appears in the array's distribution.
int own_rank(const Attribute& a)
{
    const MPI_Comm comm = boost::apply_visitor([](const auto& v) { return v.va_get_comm(); }, *a.held());
    int rank = 0;
    MPI_Comm_rank(comm, &rank);
    return rank;
}

/// Points `out` at x's elements first..last: straight at this rank's block
/// when that block provably holds exactly those elements (x holds doubles and
/// its range for this process's rank in x's own communicator starts at
/// `first` and reaches `last` inside the array), otherwise into `buffer`
/// through the range read, which fetches what other ranks hold. Returns false
/// (after the read's own message) when x's elements cannot be had as doubles.
bool read_x(Attribute& x, int first, int last, double* buffer, const double** out)
{
    if (x.get_data_type() == type_code<double>::value && x.size() > 0) {
        int own_first = 0;
        int own_last = -1;
        x.get_gen_distribution_index(own_rank(x), &own_first, &own_last);
        if (own_first == first && std::min(own_last, x.size() - 1) >= last) {
            virda_detail::with_local_block(x, [&](const auto* block, int) {
                if constexpr (std::is_same_v<std::remove_const_t<std::remove_pointer_t<decltype(block)>>, double>) {
                    *out = block;
                }
            });
            return true;
        }
    }
    const int m = last - first + 1;
    std::fill(buffer, buffer + m, std::numeric_limits<double>::quiet_NaN());
    x.get<double>(first, last, buffer);
    *out = buffer;
    return x.get_data_type() == type_code<double>::value;
}

} // namespace

template <typename T>
std::vector<double> bin_data_template(Attribute& x, Attribute& y, std::vector<double> centres, T)
{
    if (centres.size() < 2) {
        std::cerr << virda_messages::bin_data_few_centres << std::endl;
        return centres;
    }
    const int nbins = static_cast<int>(centres.size());
    const double c0 = centres[0];
    const double w = centres[1] - centres[0];
    std::vector<double> result(nbins, 0.0);

    // The pairs of this rank are those whose y elements its block holds: the
    // range of its rank in y's own communicator, which need not number the
    // processes as VIRDA_COMM does.
    int first = 0;
    int last = -1;
    if (y.size() > 0) { // an array without elements has no range to ask for
        y.get_gen_distribution_index(own_rank(y), &first, &last);
    }
    // Elements beyond the array's size (extra rows of the last rank) are no
    // part of it.
    last = std::min(last, y.size() - 1);
    const int m = std::max(last - first + 1, 0);

    // One spare slot past the bins takes the dropped pairs.
    auto* local_sums = static_cast<double*>(std::calloc(static_cast<std::size_t>(nbins) + 1, sizeof(double)));
    auto* local_counts = static_cast<int*>(std::calloc(static_cast<std::size_t>(nbins) + 1, sizeof(int)));
    auto* global_sums = static_cast<double*>(std::malloc(nbins * sizeof(double) + 1));
    auto* global_counts = static_cast<int*>(std::malloc(nbins * sizeof(int) + 1));

    if (m > 0) {
        auto* x_buffer = static_cast<double*>(std::malloc(static_cast<std::size_t>(m) * sizeof(double)));
        const double* xs = nullptr;
        const bool have_x = read_x(x, first, last, x_buffer, &xs);
        if (have_x) {
            virda_detail::with_local_block(y, [&](const auto* block, int) {
                if constexpr (std::is_same_v<std::remove_const_t<std::remove_pointer_t<decltype(block)>>, T>) {
                    virda_detail::count_bin_pairs(xs, block, m, c0, w, nbins, local_sums, local_counts);
                }
            });
        }
        std::free(x_buffer);
    }

    MPI_Allreduce(local_sums, global_sums, nbins, MPI_DOUBLE, MPI_SUM, VIRDA_COMM);
    MPI_Allreduce(local_counts, global_counts, nbins, MPI_INT, MPI_SUM, VIRDA_COMM);
    for (int i = 0; i < nbins; ++i) {
        result[i] = global_counts[i] < 1 ? 0.0 : global_sums[i] / static_cast<double>(global_counts[i]);
    }

    std::free(global_counts);
    std::free(global_sums);
    std::free(local_counts);
    std::free(local_sums);
    return result;
}

#define VIRDA_INSTANTIATE_BIN_DATA(T) \
    template std::vector<double> bin_data_template<T>(Attribute&, Attribute&, std::vector<double>, T);
VIRDA_FOR_EACH_REAL_TYPE(VIRDA_INSTANTIATE_BIN_DATA)
#undef VIRDA_INSTANTIATE_BIN_DATA

std::vector<double> bin_data(Attribute& x, Attribute& y, std::vector<double> centres)
{
    if (centres.size() < 2) { // before the dispatch: also for a y the workers do not take
        std::cerr << virda_messages::bin_data_few_centres << std::endl;
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
