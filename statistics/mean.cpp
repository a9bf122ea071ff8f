#include "statistics/mean.h"

#include "framework/attribute/attribute.h"
#include "framework/runtime/attribute_functions.h"
#include "statistics/temporaries.h"

// Every total comes from the framework's sum; the calls run in this fixed
// order on every rank because sum may be collective.

double mean(Attribute& x)
{
    const double s = sum(x);
    const double n = x.size();
    return s / n;
}

double mean(Attribute& x, Attribute& w)
{
    const double weight = sum(w); // the weight total first
    return virda_detail::weighted_total(x, w) / weight;
}
