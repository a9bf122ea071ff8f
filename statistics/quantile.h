#ifndef VIRDA_STATISTICS_QUANTILE_H
#define VIRDA_STATISTICS_QUANTILE_H

/// \file
/// quantile: exact quantiles of an attribute's elements over all ranks.

#include <vector>

class Attribute;

/// The quantiles of every element of x over all ranks, one for each
/// probability of q, in the order given.
///
/// With the N elements sorted as v[0] <= ... <= v[N - 1] (compared as
/// doubles: float and int elements convert exactly; -0.0 equals +0.0 and
/// gives +0.0; infinities are ordinary values), the quantile of p in [0, 1]
/// is the linear interpolation between the order statistics around
/// h = (N - 1) p:
///
///   a = v[floor(h)], b = v[floor(h) + 1] (b = a where floor(h) = N - 1),
///   t = h - floor(h), result = a + t (b - a).
///
/// The order statistics are exact. h is (N - 1) * p rounded once to double;
/// t is then exact. The interpolation is computed in one fixed way, so the
/// result is the same bits at any rank count and any distribution of the
/// data:
///   - t = 0 gives a itself, and a = b gives a (so infinities of one sign
///     interpolate to themselves);
///   - otherwise, with d = b - a rounded once: a + d * t for t < 1/2, and
///     b - d * (1 - t) for t >= 1/2 (1 - t is exact), each product and sum
///     rounded once; where d overflows, (1 - t) a + t b instead;
///   - a = -inf with b finite gives -inf, a finite with b = +inf gives +inf
///     (the limits of the line), a = -inf with b = +inf gives NaN;
///   - the result is clamped into [a, b], so quantiles never decrease with p.
/// For finite data this is the interpolation of numpy.quantile's default
/// "linear" method, step for step.
///
/// Any NaN element makes every result NaN. Elements must be double, float or
/// int: any other element type raises boost::bad_get on every rank, decided
/// from the type code before any communication. An attribute that holds no
/// array writes `quantile_nan(quantile_no_array)` (no communication), one that
/// holds no elements `quantile_nan(quantile_no_elements)`, and both give NaN
/// for every probability; a probability outside [0, 1], or NaN, writes
/// `quantile_bad_probability` and gives NaN for that entry. The lines are
/// written on every rank, and when no probability is usable no communication
/// takes place.
///
/// The ranks of VIRDA_COMM must hold one array between them: x distributed over
/// VIRDA_COMM, or over a communicator of the same processes in another order.
/// The first reduction checks that every rank counts the same N and that the
/// blocks add up to it; where they do not (x distributed over part of the job,
/// each part calling with its own array), every rank writes
/// `quantile_nan(quantile_not_over_comm)` and gets NaN for every probability.
///
/// The order statistics are found by radix selection on the elements' order
/// keys (64 bits): rounds of counting the digits of the keys that share the
/// prefix found so far, every requested order statistic in the same rounds.
/// The digit widths follow from N alone: eight rounds of 8 bits for at most
/// 2^16 elements, else 16 bits, then four times 12. Each round makes one
/// MPI_Allreduce of 64-bit counts, after the small one that checks N, and no
/// data moves between ranks. Memory per rank: the counts (2^8 or 2^16, then
/// 2^8 or 2^12 per distinct prefix), kept between calls, and, once the
/// candidates left on a rank are at most an eighth of its block (or at most
/// 2^20 and half of it), a copy of their keys.
///
/// Collective over VIRDA_COMM: every rank calls it with the same arguments;
/// every rank gets the same values.
std::vector<double> quantile(Attribute& x, std::vector<double> q);

#endif
