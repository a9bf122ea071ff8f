#include "statistics/quantile.h"

#include "statistics/selection.h"


std::vector<double> quantile(Attribute& x, std::vector<double> q)
{
    return virda_detail::quantiles_of(x, q, "quantile");
}
