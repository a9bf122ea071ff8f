// What every form of a run's report shares.

#include "report.h"

#include <string>
#include <variant>
#include <vector>

namespace virda_stats {

std::string held_from_stored(const dataset_ref& d)
{
    const bool natural = d.stored.empty() || (d.type == "double" && d.stored == "float64") ||
                         (d.type == "float" && d.stored == "float32") || (d.type == "int" && d.stored == "int32") ||
                         ((d.type == "Vector2" || d.type == "Vector3") && d.stored == "float64");
    return natural ? d.type : d.type + " from " + d.stored;
}

std::vector<std::string> warnings_of(const report& r)
{
    std::vector<std::string> lines;
    if (const auto* f = std::get_if<fit_result>(&r.result); f != nullptr && !f->warning.empty()) {
        lines.push_back(f->warning);
    }
    return lines;
}

} // namespace virda_stats
