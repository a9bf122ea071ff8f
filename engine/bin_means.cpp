#include "engine/bin_means.h"

#include "engine/binning_kernels.h"
#include "engine/allocation_failures.h"
#include "engine/binning_support.h"
#include "engine/values_as_doubles.h"

#include <new>

namespace virda::engine {

using namespace detail;

bin_means::bin_means(double c0, double w, std::int64_t bins) : c0_(c0), w_(w), bins_(bins)
{
    check_bins(bins, "bin_means");
    try {
        check_allocation();
        sums_.assign(static_cast<std::size_t>(bins) + 1, 0.0);
        counts_.assign(static_cast<std::size_t>(bins) + 1, 0);
    } catch (const std::bad_alloc&) {
        failed_ = true;
    }
}

void bin_means::add(const values_view& x, const values_view& y)
{
    if (x.count != y.count) {
        throw error(error_code::invalid_argument, "bin_means: x and y must have the same length");
    }
    if (failed_ || bins_ == 0 || x.count <= 0) {
        return;
    }
    // x as doubles, piece by piece, each paired with its y values (as a run
    // starting at the same place).
    const int nbins = static_cast<int>(bins_);
    double xs[copy_chunk];
    for (std::int64_t done = 0; done < x.count;) {
        const std::size_t m = static_cast<std::size_t>(std::min<std::int64_t>(x.count - done, copy_chunk));
        as_doubles(x, done, m, xs);
        const values_view ys{static_cast<const unsigned char*>(y.data) + done * y.stride, y.type,
                             static_cast<std::int64_t>(m), y.stride};
        visit_number_type(y.type, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            std::size_t at = 0;
            for_each_piece<T>(ys, [&](const T* p, std::size_t n) {
                virda_detail::binning_kernels().bin_pairs(static_cast<int>(y.type), xs + at, p, n, c0_, w_, nbins,
                                                          sums_.data(), counts_.data());
                at += n;
            });
        });
        done += static_cast<std::int64_t>(m);
    }
}

bin_means::result bin_means::finish(MPI_Comm comm) const
{
    // Everything the finish holds is allocated before the agreement, so that
    // a rank short of memory stops every rank there, not in the reduction.
    const auto n = static_cast<std::size_t>(bins_);
    std::vector<double> both;
    result r;
    bool short_of_memory = false;
    try {
        check_allocation();
        both.resize(2 * n);
        r.sums.resize(n);
        r.counts.resize(n);
        r.means.resize(n);
    } catch (const std::bad_alloc&) {
        short_of_memory = true;
    }
    agree(comm, failed_ || short_of_memory,
          detail::mix(detail::mix(bits_of(c0_), bits_of(w_)), static_cast<std::uint64_t>(bins_)), "bin_means");
    std::copy(sums_.begin(), sums_.begin() + static_cast<std::ptrdiff_t>(n), both.begin());
    for (std::size_t k = 0; k < n; ++k) {
        both[n + k] = static_cast<double>(counts_[k]);
    }
    if (!allreduce_in_pieces(both.data(), both.size(), MPI_DOUBLE, comm)) {
        throw error(error_code::mpi_failure, "bin_means: the reduction of the sums failed");
    }
    for (std::size_t k = 0; k < n; ++k) {
        r.sums[k] = both[k];
        r.counts[k] = static_cast<std::int64_t>(both[n + k]);
        r.means[k] = r.counts[k] < 1 ? 0.0 : r.sums[k] / both[n + k];
    }
    return r;
}

} // namespace virda::engine
