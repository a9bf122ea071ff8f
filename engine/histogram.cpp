#include "engine/histogram.h"

#include "engine/binning_kernels.h"
#include "engine/allocation_failures.h"
#include "engine/binning_support.h"
#include "framework/simd/sub_histograms.h"

#include <new>

namespace virda_detail {

const binning_kernel_table& binning_kernels()
{
    return VIRDA_ACTIVE_PATH_TABLE(binning_kernel_table, binning_table);
}

} // namespace virda_detail

namespace virda::engine {

using namespace detail;

equal_width_histogram::equal_width_histogram(double lower, double width, std::int64_t bins)
    : lower_(lower), width_(width), bins_(bins)
{
    check_bins(bins, "histogram");
    try {
        check_allocation();
        counts_.assign(static_cast<std::size_t>(bins), 0);
    } catch (const std::bad_alloc&) {
        failed_ = true;
    }
}

void equal_width_histogram::add(const values_view& v)
{
    if (failed_ || bins_ == 0 || v.count <= 0) {
        return;
    }
    const int nbins = static_cast<int>(bins_);
    const std::size_t stride = static_cast<std::size_t>(nbins) + 1;
    if (v.stride == 0 && v.count > 1) {
        // One value repeated: its bin once, at the cost of one.
        equal_width_histogram one(lower_, width_, bins_);
        one.add(values_view{v.data, v.type, 1, 0});
        for (std::size_t k = 0; k < counts_.size(); ++k) {
            counts_[k] += one.counts_[k] * v.count;
        }
        return;
    }
    try {
        visit_number_type(v.type, [&](auto* t) {
            using T = std::remove_pointer_t<decltype(t)>;
            for_each_piece<T>(v, [&](const T* p, std::size_t n) {
                // Four copies of at most 4096 counts stay in the first-level cache.
                const int copies = virda_detail::sub_histogram_copies(n, stride, 4096);
                std::vector<int> sub(copies * stride, 0);
                virda_detail::binning_kernels().histogram(static_cast<int>(v.type), p, n, lower_, width_, nbins,
                                                          sub.data(), copies);
                virda_detail::fold_sub_histograms(sub.data(), copies, stride, static_cast<std::size_t>(nbins),
                                                  counts_.data());
            });
        });
    } catch (const std::bad_alloc&) {
        failed_ = true;
    }
}

void equal_width_histogram::add(const table_view& t)
{
    for_each_run(t, [&](const values_view& run) { add(run); });
}

std::vector<std::int64_t> equal_width_histogram::finish(MPI_Comm comm) const
{
    // The totals are allocated before the agreement, so that a rank short of
    // memory stops every rank there, not in the reduction.
    std::vector<std::int64_t> total;
    bool short_of_memory = false;
    try {
        check_allocation();
        total = counts_;
    } catch (const std::bad_alloc&) {
        short_of_memory = true;
    }
    agree(comm, failed_ || short_of_memory,
          detail::mix(detail::mix(bits_of(lower_), bits_of(width_)), static_cast<std::uint64_t>(bins_)), "histogram");
    if (!allreduce_in_pieces(total.data(), total.size(), MPI_INT64_T, comm)) {
        throw error(error_code::mpi_failure, "histogram: the reduction of the counts failed");
    }
    return total;
}

} // namespace virda::engine
