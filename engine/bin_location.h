#ifndef VIRDA_ENGINE_BIN_LOCATION_H
#define VIRDA_ENGINE_BIN_LOCATION_H

/// \file
/// The bins of points in any number of dimensions: the bins along each
/// dimension, and each point's bin as one number in C order.

#include "engine/views.h"

#include <cstdint>
#include <vector>

namespace virda::engine {

/// The bins along one dimension: bins() bins between bins() + 1 edges that
/// never decrease. Every bin holds [e_k, e_k+1) but the last, which holds
/// [e_n-1, e_n]. A bin of equal edges holds nothing (a value on a repeated
/// edge goes to the last bin that starts there).
class bin_axis {
public:
    /// `bins` bins of equal width from lower to upper (finite, lower <
    /// upper, 1 <= bins <= 2^31 - 1; else error(invalid_argument)). Edge k is
    /// lower + k * step with step = (upper - lower) / bins, the last edge
    /// upper itself (where step underflows to 0, lower + (k / bins) * (upper -
    /// lower)): the edges numpy.linspace(lower, upper, bins + 1) gives. A
    /// value's bin is first estimated as trunc((v - lower) * (bins / (upper -
    /// lower))) and then moved by one where the edges say otherwise.
    static bin_axis equal_width(double lower, double upper, std::int64_t bins);

    /// Bins between explicit edges: at least 2 edges, none NaN, never
    /// decreasing, at most 2^31 (else error(invalid_argument)). A value's bin
    /// is found by a binary search of the edges.
    static bin_axis with_edges(std::vector<double> edges);

    /// How many bins.
    std::int64_t bins() const { return static_cast<std::int64_t>(edges_.size()) - 1; }
    /// The bins() + 1 edges.
    const std::vector<double>& edges() const { return edges_; }
    /// Whether the bins were made by equal_width() and a value's bin is
    /// estimated from its distance to the first edge: false for bins so
    /// narrow that bins / (upper - lower) overflows, whose edges are searched.
    bool is_equal_width() const { return equal_width_; }

    /// For bin_numbering::with_outliers: a value at or above the last edge
    /// whose rounding to this many decimal places equals the last edge's is
    /// taken as on the last edge. Defaults to trunc(-log10(d)) + 6, d the
    /// smallest difference of neighbouring edges (0 when d is 0: such an
    /// axis cannot be numbered with outliers).
    int last_edge_decimals() const { return last_edge_decimals_; }
    /// Replaces last_edge_decimals() (for a caller that computes d in
    /// another precision than double).
    void set_last_edge_decimals(int decimals) { last_edge_decimals_ = decimals; }
    /// The smallest difference of neighbouring edges.
    double smallest_width() const { return smallest_width_; }

private:
    bin_axis() = default;
    void settle_widths();

    std::vector<double> edges_;
    bool equal_width_ = false;
    double norm_ = 0; // bins / (upper - lower), for equal_width
    double smallest_width_ = 0;
    int last_edge_decimals_ = 0;

    friend struct bin_location_access;
};

/// How points' bins are numbered.
enum class bin_numbering {
    /// Only the bins between the edges, numbered in C order (the last
    /// dimension's bin varies fastest): bin (k_0, ..., k_d-1) is
    /// ((k_0 * n_1 + k_1) * n_2 + ...). A point outside the edges of any
    /// dimension, or NaN in any, gets no_bin.
    within_edges,
    /// Every dimension extended by one outlier bin on each side: index 0 for
    /// values below the first edge, n + 1 for values above the last edge and
    /// NaN, 1..n for the bins between, numbered in C order over n + 2 per
    /// dimension. A value equal to the last edge, or above it but equal to it
    /// when both are rounded to last_edge_decimals() places, is in the last
    /// bin. Every point gets a number. An axis with a bin of zero width
    /// cannot be numbered so (error(invalid_argument)).
    with_outliers,
};

/// The bin number of a point in no bin (bin_numbering::within_edges).
inline constexpr std::int64_t no_bin = -1;

/// How many bin numbers there are: the product over the axes of bins()
/// (within_edges) or bins() + 2 (with_outliers). error(invalid_argument) if
/// there are no axes or the product exceeds 2^62.
std::int64_t bin_number_count(const std::vector<bin_axis>& axes, bin_numbering numbering);

/// Writes the bin number of each point to out[0..count). Point i has
/// coordinate coordinates[d] value i along axis d; every run has the same
/// count, one run per axis, each of any number type (integers are compared
/// as doubles). No communication. error(invalid_argument) when the runs do
/// not match the axes. The numbers are the same on every instruction set.
void locate_bins(const std::vector<bin_axis>& axes, const std::vector<values_view>& coordinates,
                 bin_numbering numbering, std::int64_t* out);

/// The same for a table of points, one row per point and one column per
/// axis.
void locate_bins(const std::vector<bin_axis>& axes, const table_view& points, bin_numbering numbering,
                 std::int64_t* out);

} // namespace virda::engine

#endif
