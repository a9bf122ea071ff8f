// How histogram2d and binned-statistic print their bins: text lists the
// bins that hold pairs, JSON every bin.

#include "report.h"

#include <cstddef>
#include <iomanip>
#include <string>

namespace virda_stats {

namespace {

/// Bin k of an axis as "[from, to)", or "[from, to]" for the last.
std::string bin_text(const std::vector<double>& edges, std::size_t k)
{
    return "[" + text_number(edges[k]) + ", " + text_number(edges[k + 1]) + (k + 2 == edges.size() ? "]" : ")");
}

} // namespace

void write_grid_text(std::ostream& out, const grid_result& g)
{
    long long counted = 0;
    long long filled = 0;
    for (const long long c : g.counts) {
        counted += c;
        filled += c > 0;
    }
    out << '\n' << (g.statistic.empty() ? "histogram2d" : "binned-statistic " + g.statistic) << ": ";
    for (std::size_t d = 0; d < g.edges.size(); ++d) {
        out << (d ? " x " : "") << g.edges[d].size() - 1;
    }
    out << " bins, " << counted << " pairs counted, " << g.outside << " outside; " << filled
        << " bins hold pairs:\n\n";
    const char* names[] = {"x bin", "y bin"};
    for (std::size_t d = 0; d < g.edges.size(); ++d) {
        out << std::left << std::setw(34) << names[d];
    }
    out << std::right << std::setw(12) << "count";
    if (!g.statistic.empty()) {
        out << "  " << g.statistic;
    }
    out << '\n';
    const std::size_t inner = g.edges.size() == 2 ? g.edges[1].size() - 1 : 1;
    for (std::size_t b = 0; b < g.counts.size(); ++b) {
        if (g.counts[b] == 0) {
            continue;
        }
        out << std::left << std::setw(34) << bin_text(g.edges[0], b / inner);
        if (g.edges.size() == 2) {
            out << std::setw(34) << bin_text(g.edges[1], b % inner);
        }
        out << std::right << std::setw(12) << g.counts[b];
        if (!g.statistic.empty()) {
            out << "  " << text_number(g.values[b]);
        }
        out << '\n';
    }
}

void write_grid_json(std::ostream& out, const grid_result& g)
{
    const char* names[] = {"x_edges", "y_edges"};
    for (std::size_t d = 0; d < g.edges.size(); ++d) {
        out << ",\n  \"" << names[d] << "\": [";
        for (std::size_t k = 0; k < g.edges[d].size(); ++k) {
            out << (k ? ", " : "") << json_number(g.edges[d][k]);
        }
        out << "]";
    }
    out << ",\n  \"outside\": " << g.outside;
    // Rows of the y bins for two dimensions, one row for one.
    const std::size_t inner = g.edges.size() == 2 ? g.edges[1].size() - 1 : g.counts.size();
    const auto rows = [&](const char* key, auto&& format) {
        out << ",\n  \"" << key << "\": " << (g.edges.size() == 2 ? "[" : "");
        for (std::size_t b = 0; b < g.counts.size(); ++b) {
            out << (b % inner == 0 ? (b ? "], [" : "[") : ", ") << format(b);
        }
        out << "]" << (g.edges.size() == 2 ? "]" : "");
    };
    rows("counts", [&](std::size_t b) { return std::to_string(g.counts[b]); });
    if (!g.statistic.empty()) {
        out << ",\n  \"statistic\": " << json_string(g.statistic);
        rows("statistic_values", [&](std::size_t b) { return json_number(g.values[b]); });
    }
}

} // namespace virda_stats
