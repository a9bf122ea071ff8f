#ifndef VIRDA_STATISTICS_POLY_FIT_H
#define VIRDA_STATISTICS_POLY_FIT_H

#include "statistics/function.h"

#include <vector>

class Attribute;

/// \file
/// poly_fit: weighted linear least-squares fits of a polynomial of degree
/// `order` to the points (x, y) with weights w, by the normal equations A c = b
/// with A(i, k) = sum w x^(i+k) and b(i) = sum w y x^i, solved by one explicit
/// inversion. The result is a new type-0 function (coefficients in ascending
/// powers) that the caller deletes. A singular system gives NaN coefficients,
/// and so does an attribute fit whose temporary arrays could not all be made
/// (no block on some rank, no window: the creation's line is written on every
/// rank, and every rank gets the NaN polynomial of the requested order). A
/// negative order writes `poly_fit_negative_order` and gives the zero
/// polynomial of order 0, with no communication (on every rank alike, when
/// every rank passes the same order).

/// Fit on this rank's vectors (no communication); the loops run over the
/// entries of x. y or w shorter than x writes `poly_fit_short_input` and gives
/// the zero polynomial of the requested order; entries beyond x's length are
/// ignored.
function* poly_fit(std::vector<double>& x, std::vector<double>& y, std::vector<double>& w, int order);
/// As above with every weight 1.
function* poly_fit(std::vector<double>& x, std::vector<double>& y, int order);

/// Fit on distributed attributes of equal shape and distribution, every total
/// taken over all ranks with the framework's sum; every rank gets the same
/// polynomial. Collective over the attributes' communicator: every rank calls
/// it with the same order, in the same order of calls. Elements must be
/// double, float or int (others raise boost::bad_get on every rank).
function* poly_fit(Attribute& x, Attribute& y, Attribute& w, int order);
/// As above with the weights x * 0.0 + 1.0 (so a NaN or infinite x makes every
/// coefficient NaN). Collective.
function* poly_fit(Attribute& x, Attribute& y, int order);

#endif
