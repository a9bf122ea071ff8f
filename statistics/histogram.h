#ifndef VIRDA_STATISTICS_HISTOGRAM_H
#define VIRDA_STATISTICS_HISTOGRAM_H

/// \file
/// histogram: counts of an attribute's elements in equal bins.

#include <vector>

class Attribute;

/// Counts of the elements of `values` in `nbins` bins of width `width` above
/// `lower`, over all ranks, gathered on rank 0.
///
/// Bin 0 is (lower, lower + width): the lower edge itself is never counted;
/// bin k >= 1 is [lower + k width, lower + (k + 1) width) as the quotient
/// (v - lower) / width decides. NaN, values at or below `lower` and values at
/// or above the top edge are not counted. A negative width counts the values
/// in (lower, lower + |width|) in bin 0 and nothing else; a zero width counts
/// nothing.
///
/// Rank 0 gets the counts; every other rank gets `nbins` zeros. Elements must
/// be double, float or int: any other element type raises boost::bad_get on
/// every rank before any communication. A negative `nbins` writes
/// `histogram_negative_bins` and gives an empty vector; an attribute that holds
/// no array writes `histogram_no_array` and gives `nbins` zeros. Both decide on
/// every rank alike (from the arguments and the type code) and make no
/// communication.
///
/// Collective over VIRDA_COMM (one MPI_Reduce): every rank calls it with the
/// same arguments. Each rank counts the elements of its own block, whatever
/// the attribute's communicator: when parts of the job call it each with an
/// attribute distributed over that part, rank 0 of VIRDA_COMM gets the
/// counts of all their elements together (one histogram of the union).
/// A rank that cannot get memory for its `nbins` counts throws
/// std::bad_alloc before the reduction, on that rank only: the single
/// reduction is the whole of the call's communication, so nothing agrees it.
/// Left uncaught it ends the job; a program that catches it must call
/// MPI_Abort rather than go on to another collective.
std::vector<int> histogram(Attribute& values, double lower, double width, int nbins);

#endif
