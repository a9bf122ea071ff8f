#include "statistics/bin_data.h"

#include "framework/runtime/virda_globals.h"
#include "statistics/local_block.h"
#include "statistics/statistics_messages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>

namespace {

constexpr int chunk = 256;
constexpr int lanes = 4; // interleaved partial sums and counts per bin

/// Points `out` at x's elements first..last: straight at this rank's block when
/// x holds double elements distributed like the range (the usual case, x and
/// y of equal shape), otherwise into `buffer` through the range read, which
/// fetches what other ranks hold. Returns false (after the read's own
/// message) when x's elements cannot be had as doubles.
bool read_x(Attribute& x, int rank, int first, int last, double* buffer, const double** out)
{
    int own_first = 0;
    int own_last = -1;
    if (x.get_data_type() == 3) {
        x.get_gen_distribution_index(rank, &own_first, &own_last);
    }
    if (x.get_data_type() == 3 && own_first == first && own_last >= last) {
        virda_detail::with_local_block(x, [&](const auto* block, int) {
            if constexpr (std::is_same_v<std::remove_const_t<std::remove_pointer_t<decltype(block)>>, double>) {
                *out = block;
            }
        });
        return true;
    }
    const int m = last - first + 1;
    std::fill(buffer, buffer + m, std::numeric_limits<double>::quiet_NaN());
    x.get<double>(first, last, buffer);
    *out = buffer;
    return x.get_data_type() == 3;
}

/// Adds the pairs (x[p], y[p]), p < m, to the per-bin sums and counts of
/// `lanes` interleaved sub-accumulators of nbins + 1 slots (the last slot
/// takes the dropped pairs). Bin indices are computed a chunk at a time in a
/// loop that vectorises: k = floor(t) + (t - floor(t) >= 1/2) is floor(t + 1/2)
/// without the rounding of t + 1/2 (t - floor(t) is exact).
template <typename T>
void accumulate(const double* x, const T* y, int m, double c0, double w, int nbins, double* sums, int* counts)
{
    const int slots = nbins + 1;
    const double top = nbins;
    int index[chunk];
    for (int start = 0; start < m; start += chunk) {
        const int len = std::min(chunk, m - start);
        for (int i = 0; i < len; ++i) {
            const double t = (x[start + i] - c0) / w;
            const double f = std::floor(t);
            const double k = f + ((t - f) >= 0.5 ? 1.0 : 0.0);
            // NaN fails both comparisons; out-of-range bins never reach the
            // conversion to int.
            index[i] = static_cast<int>((k >= 0.0 && k < top) ? k : top);
        }
        int i = 0;
        for (; i + lanes <= len; i += lanes) {
            for (int l = 0; l < lanes; ++l) {
                const int s = l * slots + index[i + l];
                sums[s] += static_cast<double>(y[start + i + l]);
                ++counts[s];
            }
        }
        for (; i < len; ++i) {
            sums[index[i]] += static_cast<double>(y[start + i]);
            ++counts[index[i]];
        }
    }
    for (int l = 1; l < lanes; ++l) {
        for (int k = 0; k < nbins; ++k) {
            sums[k] += sums[l * slots + k];
            counts[k] += counts[l * slots + k];
        }
    }
}

} // namespace

template <typename T>
std::vector<double> bin_data_template(Attribute& x, Attribute& y, std::vector<double> centres, T)
{
    const int nbins = static_cast<int>(centres.size());
    const double c0 = centres[0];
    const double w = centres[1] - centres[0];
    std::vector<double> result(nbins, 0.0);

    // The pairs of this rank are those whose y elements it holds.
    int rank = 0;
    MPI_Comm_rank(VIRDA_COMM, &rank);
    int first = 0;
    int last = -1;
    if (y.size() > 0) { // an array without elements has no range to ask for
        y.get_gen_distribution_index(rank, &first, &last);
    }
    // Elements beyond the array's size (extra rows of the last rank) are no
    // part of it.
    last = std::min(last, y.size() - 1);
    const int m = std::max(last - first + 1, 0);

    const int slots = nbins + 1;
    auto* local_sums = static_cast<double*>(std::calloc(static_cast<std::size_t>(lanes) * slots, sizeof(double)));
    auto* local_counts = static_cast<int*>(std::calloc(static_cast<std::size_t>(lanes) * slots, sizeof(int)));
    auto* global_sums = static_cast<double*>(std::malloc(nbins * sizeof(double) + 1));
    auto* global_counts = static_cast<int*>(std::malloc(nbins * sizeof(int) + 1));

    if (m > 0) {
        auto* x_buffer = static_cast<double*>(std::malloc(static_cast<std::size_t>(m) * sizeof(double)));
        const double* xs = nullptr;
        const bool have_x = read_x(x, rank, first, last, x_buffer, &xs);
        if (have_x) {
            virda_detail::with_local_block(y, [&](const auto* block, int) {
                if constexpr (std::is_same_v<std::remove_const_t<std::remove_pointer_t<decltype(block)>>, T>) {
                    accumulate(xs, block, m, c0, w, nbins, local_sums, local_counts);
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

template std::vector<double> bin_data_template<int>(Attribute&, Attribute&, std::vector<double>, int);
template std::vector<double> bin_data_template<float>(Attribute&, Attribute&, std::vector<double>, float);
template std::vector<double> bin_data_template<double>(Attribute&, Attribute&, std::vector<double>, double);

std::vector<double> bin_data(Attribute& x, Attribute& y, std::vector<double> centres)
{
    if (centres.size() < 2) {
        std::cerr << virda_messages::bin_data_few_centres << std::endl;
        return centres;
    }
    switch (y.get_data_type()) {
    case 1:
        return bin_data_template<int>(x, y, centres, 0);
    case 2:
        return bin_data_template<float>(x, y, centres, 0.0f);
    case 3:
        return bin_data_template<double>(x, y, centres, 0.0);
    default:
        return centres;
    }
}
