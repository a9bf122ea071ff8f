#include "reduction.h"

#include "reduction_paths.h"

#include <algorithm>
#include <cstdlib>

namespace virda_stats {

std::vector<statistic> statistics_named(const std::vector<std::string>& names)
{
    std::vector<statistic> out;
    for (const std::string& name : names) {
        statistic s;
        s.name = name;
        if (name == "mean") {
            s.kind = statistic_kind::mean;
        } else if (name == "std") {
            s.kind = statistic_kind::std;
        } else if (name == "min") {
            s.kind = statistic_kind::min;
        } else if (name == "max") {
            s.kind = statistic_kind::max;
        } else if (name == "sum") {
            s.kind = statistic_kind::sum;
        } else if (name == "count") {
            s.kind = statistic_kind::count;
        } else if (name == "median") {
            s.kind = statistic_kind::quantile;
            s.probability = 0.5;
        } else {
            s.kind = statistic_kind::quantile;
            s.probability = std::strtod(name.c_str() + 1, nullptr);
        }
        out.push_back(s);
    }
    return out;
}

std::string cell_method_of(const statistic& s)
{
    switch (s.kind) {
    case statistic_kind::mean:
        return "mean";
    case statistic_kind::std:
        return "standard_deviation";
    case statistic_kind::min:
        return "minimum";
    case statistic_kind::max:
        return "maximum";
    case statistic_kind::sum:
        return "sum";
    case statistic_kind::count:
        return "point (number of values)";
    case statistic_kind::quantile:
        break;
    }
    return s.probability == 0.5 ? "median" : "point (quantile " + s.name.substr(1) + ")";
}

reduced_field reduce_grid(const h5_input& in, const dataset_shape& s, const std::vector<int>& reduced,
                          const std::vector<statistic>& stats, virda::engine::quantile_method method,
                          std::size_t memory_budget, MPI_Comm comm)
{
    const bool rows_kept = std::find(reduced.begin(), reduced.end(), s.row_axis) == reduced.end();
    return rows_kept ? reduce_within_rows(in, s, reduced, stats, method, memory_budget, comm)
                     : reduce_over_rows(in, s, reduced, stats, method, memory_budget, comm);
}

} // namespace virda_stats
