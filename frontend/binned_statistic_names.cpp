#include "frontend/binned_statistic_names.h"

#include <algorithm>
#include <stdexcept>

namespace virda::frontend {

const std::vector<std::string>& binned_statistic_names()
{
    static const std::vector<std::string> names{"count", "sum", "mean", "std", "median", "min", "max"};
    return names;
}

bool is_binned_statistic(const std::string& name)
{
    const std::vector<std::string>& names = binned_statistic_names();
    return std::find(names.begin(), names.end(), name) != names.end();
}

engine::binned_statistics_wanted wanted_for(const std::string& name)
{
    engine::binned_statistics_wanted w;
    w.sum = name == "sum";
    w.mean = name == "mean";
    w.std = name == "std";
    w.min = name == "min";
    w.max = name == "max";
    w.median = name == "median";
    return w;
}

const std::vector<double>& values_named(const engine::binned_statistics_result& r, const std::string& name)
{
    if (name == "sum") {
        return r.sum;
    }
    if (name == "mean") {
        return r.mean;
    }
    if (name == "std") {
        return r.std;
    }
    if (name == "min") {
        return r.min;
    }
    if (name == "max") {
        return r.max;
    }
    if (name == "median") {
        return r.median;
    }
    throw std::invalid_argument("no per-bin values are named '" + name + "'");
}

} // namespace virda::frontend
