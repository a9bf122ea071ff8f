#ifndef VIRDA_STATISTICS_SELECTION_H
#define VIRDA_STATISTICS_SELECTION_H

// Exact order statistics over a distributed block by radix selection, and
// the interpolation of quantiles between them (statistics/quantile.h says
// what they compute). Not installed.

#include <mpi.h>

#include <cstdint>
#include <vector>

class Attribute;

namespace virda_detail {

/// Whether selection copies the `candidates` keys still in question out of a
/// block of n elements and counts only the copy in later rounds: when they
/// are at most an eighth of the block, or at most 2^20 and half the block.
/// Later rounds then read a few keys instead of the whole block again.
inline bool worth_gathering(std::uint64_t candidates, std::size_t n)
{
    return 8 * candidates <= n || (candidates <= (std::uint64_t{1} << 20) && 2 * candidates <= n);
}

/// The result of a selection: the order keys of the requested order
/// statistics (in the order of `ranks`), or, with keys unset, why there are
/// none: some element of some rank is NaN; the ranks hold no elements
/// between them; or they do not hold one array between them (some rank's
/// count differs, or the blocks do not add up to it). Every rank gets the
/// same answer.
struct selected {
    std::vector<std::uint64_t> keys;
    bool nan = false;
    bool none = false;
    bool disagree = false;
};

/// The digit widths of a selection over `total` elements, from the top of
/// the key down, adding up to 64: narrow digits for few elements, a wide first
/// one for many.
std::vector<int> digit_plan(std::uint64_t total);

/// The elements of global ranks `ranks` (0-based, each below `count`, sorted
/// ascending, distinct) of the blocks v[0..n) of all ranks of `comm`, v_type
/// 0 double, 1 float, 2 int, where the blocks together hold `count`
/// elements. Collective over comm: one small MPI_Allreduce that checks the
/// count, then one per digit of digit_plan (after the first only when no
/// element is NaN and the ranks agree), whatever the data; every rank passes
/// the same ranks and count.
selected select_order_statistics(int v_type, const void* v, std::size_t n, std::uint64_t count,
                                 const std::vector<std::uint64_t>& ranks, MPI_Comm comm);

/// The interpolation between neighbouring order statistics a <= b at
/// fraction t in [0, 1), as quantile.h defines it.
double interpolate(double a, double b, double t);

/// quantile(x, q), with `operation` ("quantile" or "median") naming the
/// caller in messages. Collective over VIRDA_COMM.
std::vector<double> quantiles_of(Attribute& x, const std::vector<double>& q, const char* operation);

} // namespace virda_detail

#endif
