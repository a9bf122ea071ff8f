#ifndef VIRDA_STATISTICS_HISTOGRAM_H
#define VIRDA_STATISTICS_HISTOGRAM_H

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
/// every rank before any communication. A negative `nbins` writes one line and
/// gives an empty vector, with no communication.
///
/// Collective over VIRDA_COMM (one MPI_Reduce): every rank calls it with the
/// same arguments.
std::vector<int> histogram(Attribute& values, double lower, double width, int nbins);

#endif
