#include "engine/bin_location.h"

#include "engine/binning_kernels.h"
#include "engine/error.h"
#include "engine/run_pieces.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace virda::engine {

namespace {

constexpr std::int64_t most_bins = (std::int64_t{1} << 31) - 1;
constexpr std::int64_t most_numbers = std::int64_t{1} << 62;
// Points located at a time over every axis: their numbers (32 KiB) stay in
// the first- or second-level cache from one axis to the next.
constexpr std::int64_t location_block = 4096;

[[noreturn]] void invalid(const std::string& message)
{
    throw error(error_code::invalid_argument, "bins: " + message);
}

} // namespace

// What the location loops need of an axis.
struct bin_location_access {
    static virda_detail::bin_axis_args args(const bin_axis& a, bin_numbering numbering)
    {
        virda_detail::bin_axis_args r;
        r.edges = a.edges_.data();
        r.bins = a.bins();
        r.equal_width = a.equal_width_;
        r.norm = a.norm_;
        r.outliers = numbering == bin_numbering::with_outliers;
        r.decimals = a.last_edge_decimals_;
        if (a.equal_width_ && r.outliers && r.bins < (std::int64_t{1} << 30)) {
            // Whether the kernels may compute the edges instead of loading
            // them (never contracted: this file is built for the baseline
            // instruction set). Only the numbering with outliers of fewer
            // than 2^30 bins uses it; a scan of every edge on each call
            // would otherwise cost callers that locate a block at a time.
            const double* e = r.edges;
            const double step = (e[r.bins] - e[0]) / static_cast<double>(r.bins);
            bool stepped = step > 0;
            for (std::int64_t k = 0; k < r.bins && stepped; ++k) {
                stepped = e[k] == static_cast<double>(k) * step + e[0];
            }
            r.step = stepped ? step : 0;
        }
        return r;
    }
};

bin_axis bin_axis::equal_width(double lower, double upper, std::int64_t bins)
{
    if (!(std::isfinite(lower) && std::isfinite(upper) && lower < upper)) {
        invalid("equal-width bins need finite bounds with lower < upper, not [" + std::to_string(lower) + ", " +
                std::to_string(upper) + "]");
    }
    if (bins < 1 || bins > most_bins) {
        invalid("the number of bins must be between 1 and 2^31 - 1, not " + std::to_string(bins));
    }
    bin_axis a;
    a.equal_width_ = true;
    a.edges_.resize(static_cast<std::size_t>(bins) + 1);
    // numpy.linspace's steps (never contracted into fused multiply-adds:
    // this file is built for the baseline instruction set).
    const double delta = upper - lower;
    const double step = delta / static_cast<double>(bins);
    if (std::isfinite(delta)) {
        for (std::int64_t k = 0; k < bins; ++k) {
            const double t = static_cast<double>(k);
            a.edges_[static_cast<std::size_t>(k)] =
                step == 0 ? t / static_cast<double>(bins) * delta + lower : t * step + lower;
        }
    } else {
        // The distance between the bounds is above the largest double: the
        // same steps at half the scale (exact halvings and doublings, as
        // both bounds are then far above the subnormals).
        const double half_step = (upper / 2 - lower / 2) / static_cast<double>(bins);
        for (std::int64_t k = 0; k < bins; ++k) {
            a.edges_[static_cast<std::size_t>(k)] = 2 * (static_cast<double>(k) * half_step + lower / 2);
        }
    }
    a.edges_.back() = upper;
    a.norm_ = static_cast<double>(bins) / delta;
    // Bins narrower than bins / delta can hold (subnormal widths), or wider
    // than a double can span, have no estimate to start from: their edges
    // are searched, as given ones are.
    a.equal_width_ = std::isfinite(delta) && std::isfinite(a.norm_) && a.norm_ > 0;
    a.settle_widths();
    return a;
}

bin_axis bin_axis::with_edges(std::vector<double> edges)
{
    if (edges.size() < 2 || edges.size() - 1 > static_cast<std::size_t>(most_bins)) {
        invalid("explicit bins need between 2 and 2^31 edges, not " + std::to_string(edges.size()));
    }
    for (std::size_t k = 0; k < edges.size(); ++k) {
        if (std::isnan(edges[k])) {
            invalid("edge " + std::to_string(k) + " is NaN");
        }
        if (k > 0 && edges[k] < edges[k - 1]) {
            invalid("the edges must increase monotonically (edge " + std::to_string(k) + " is below the one before)");
        }
    }
    bin_axis a;
    a.edges_ = std::move(edges);
    a.settle_widths();
    return a;
}

void bin_axis::settle_widths()
{
    smallest_width_ = std::numeric_limits<double>::infinity();
    for (std::size_t k = 1; k < edges_.size(); ++k) {
        smallest_width_ = std::min(smallest_width_, edges_[k] - edges_[k - 1]);
    }
    const double digits = -std::log10(smallest_width_);
    last_edge_decimals_ = smallest_width_ > 0 && std::isfinite(digits) ? static_cast<int>(digits) + 6 : 0;
}

std::int64_t bin_number_count(const std::vector<bin_axis>& axes, bin_numbering numbering)
{
    if (axes.empty()) {
        invalid("at least one axis is needed");
    }
    std::int64_t total = 1;
    for (const bin_axis& a : axes) {
        const std::int64_t n = a.bins() + (numbering == bin_numbering::with_outliers ? 2 : 0);
        if (n > most_numbers / total) {
            invalid("more than 2^62 bins in all");
        }
        total *= n;
    }
    return total;
}

void locate_bins(const std::vector<bin_axis>& axes, const std::vector<values_view>& coordinates,
                 bin_numbering numbering, std::int64_t* out)
{
    bin_number_count(axes, numbering);
    if (coordinates.size() != axes.size()) {
        invalid(std::to_string(coordinates.size()) + " coordinate runs for " + std::to_string(axes.size()) +
                " axes");
    }
    for (std::size_t d = 0; d < axes.size(); ++d) {
        if (coordinates[d].count != coordinates[0].count) {
            invalid("the coordinate runs differ in length");
        }
        if (numbering == bin_numbering::with_outliers && !(axes[d].smallest_width() > 0)) {
            invalid("the smallest edge difference is numerically 0");
        }
    }
    const auto& kernels = virda_detail::binning_kernels();
    std::vector<virda_detail::bin_axis_args> args;
    for (const bin_axis& a : axes) {
        args.push_back(bin_location_access::args(a, numbering));
    }
    // Block after block of points, every axis in turn: a block's numbers
    // stay in cache between the axes, and each coordinate and number is
    // touched in memory once.
    const std::int64_t count = coordinates[0].count;
    for (std::int64_t start = 0; start < count; start += location_block) {
        const std::int64_t m = std::min(location_block, count - start);
        for (std::size_t d = 0; d < axes.size(); ++d) {
            values_view v = coordinates[d];
            v.data = static_cast<const unsigned char*>(v.data) + start * v.stride;
            v.count = m;
            std::int64_t done = start;
            visit_number_type(v.type, [&](auto* t) {
                using T = std::remove_pointer_t<decltype(t)>;
                detail::for_each_piece<T>(v, [&](const T* p, std::size_t n) {
                    kernels.locate(static_cast<int>(v.type), p, n, args[d], d == 0, out + done);
                    done += static_cast<std::int64_t>(n);
                });
            });
        }
    }
}

void locate_bins(const std::vector<bin_axis>& axes, const table_view& points, bin_numbering numbering,
                 std::int64_t* out)
{
    if (points.columns != static_cast<std::int64_t>(axes.size())) {
        invalid(std::to_string(points.columns) + " columns of points for " + std::to_string(axes.size()) + " axes");
    }
    std::vector<values_view> columns;
    for (std::int64_t j = 0; j < points.columns; ++j) {
        columns.push_back(column_of(points, j));
    }
    locate_bins(axes, columns, numbering, out);
}

} // namespace virda::engine
