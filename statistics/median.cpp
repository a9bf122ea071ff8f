#include "statistics/median.h"

#include "statistics/selection.h"

double median(Attribute& x)
{
    return virda_detail::quantiles_of(x, {0.5}, "median")[0];
}
