#ifndef VIRDA_PYTHON_SCALED_POLYFIT_H
#define VIRDA_PYTHON_SCALED_POLYFIT_H

// polyfit's least-squares polynomial over distributed data, fitted in the
// centred, scaled variable t = (x - centre) / scale that maps the finite
// range of x onto [-1, 1] (the variable virda-stats fits in), from exact
// totals, and converted back to powers of x.

#include "communicator.h"

#include "engine/views.h"

#include <cstdint>
#include <vector>

namespace virda_python {

/// What a fit gives, the same bits on every rank and at any rank count.
struct polyfit_outcome {
    /// The coefficients in powers of x, highest first (numpy.polyfit's
    /// order); all NaN when a total is not finite.
    std::vector<double> coefficients;
    /// The numerical rank of the normal equations in t (order + 1 when the
    /// data determine every coefficient).
    int rank = 0;
    /// Whether every total was finite (no NaN or infinite x, y or weight).
    bool finite = true;
    /// How much evaluating `coefficients` in powers of x magnifies rounding
    /// over the data's range, against evaluating in t
    /// (virda_detail::power_basis_growth).
    double growth = 1.0;
};

/// Runs of x, y and the weights (unused without weights) of one length,
/// element by element.
struct fit_run {
    virda::engine::values_view x;
    virda::engine::values_view y;
    virda::engine::values_view w;
};

/// Fits y against x with weights multiplying the squared residuals (none:
/// all 1, unless `weighted`) by one pass over each rank's runs (`points`
/// elements of x over all ranks): the power sums
/// sum w t^k (k <= 2 order) and sum w y t^k (k <= order) are exact totals,
/// and the normal equations they make are solved for the least-squares
/// solution with the fewest coefficients (eigenvalues below what double
/// precision resolves count as zero, as a least-squares solver drops small
/// singular values). x, y and weights have one shape over one communicator;
/// `points` > 0. Every rank allocates the order's buffers before the
/// first reduction, and whether each could rides in it: MemoryError on every
/// rank, naming the rank, when one could not. Collective over comm: one
/// MPI_Allreduce (the finite extremes of x), then one of
/// the exact totals.
polyfit_outcome scaled_polyfit(const std::vector<fit_run>& runs, bool weighted, std::int64_t points, int order,
                               const communicator& comm);

} // namespace virda_python

#endif
