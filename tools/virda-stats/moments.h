#ifndef VIRDA_TOOLS_VIRDA_STATS_MOMENTS_H
#define VIRDA_TOOLS_VIRDA_STATS_MOMENTS_H

#include <mpi.h>

class Attribute;

namespace virda_stats {

/// What a data set's values are like at the edges of the doubles.
struct magnitude {
    /// No NaN and no infinity among the values.
    bool finite = true;
    /// The largest absolute value among the finite ones (0 for none).
    double largest = 0.0;
};

/// The magnitude of an attribute's values over all ranks (numbers only).
/// Collective over `comm`: one reduction.
magnitude magnitude_of(const Attribute& a, MPI_Comm comm);

enum class moment { mean, stdev };

/// The library's mean or stdev of x (weighted by *w when w is given).
///
/// The library follows IEEE arithmetic at the edges of the doubles: a total
/// beyond the largest double (1e308 + 1e308) is infinite, and so is the
/// mean, though the mean itself may be representable. When the result is not
/// finite but x (and w) are, it is taken again on x * 2^-e (and w * 2^-f),
/// with 2^e <= max |x| < 2^(e+1), and multiplied back by 2^e: scaling by a
/// power of two is exact (short of values below 2^(e-1074), whose share of
/// the moment is below its last digit), so the result is the one the
/// library's arithmetic gives without overflow. A moment that is truly beyond
/// the doubles stays infinite. `x_magnitude`, when given, is x's (a summary
/// knows it already); otherwise it is found only when needed (one reduction).
///
/// Collective over `comm` (x's communicator, VIRDA_COMM): every rank calls it
/// with the same attributes and gets the same value.
double moment_of(moment m, Attribute& x, Attribute* w, MPI_Comm comm, const magnitude* x_magnitude = nullptr);

} // namespace virda_stats

#endif
