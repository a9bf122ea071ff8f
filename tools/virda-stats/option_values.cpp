#include "option_values.h"

#include "collective_error.h"

#include "engine/quantile_method.h"
#include "frontend/binned_statistic_names.h"

#include <algorithm>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

namespace virda_stats {

namespace {

/// The dimensions of histogram2d (2) or binned-statistic (1, or 2 with --y).
std::size_t grid_dimensions(const cli_options& o)
{
    return o.op == operation::histogram2d || !o.y.empty() ? 2 : 1;
}

} // namespace

[[noreturn]] void usage_failure(const std::string& message)
{
    throw tool_error(message, exit_usage_error);
}

double parse_real(const std::string& option, const std::string& text, bool infinite_allowed)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || std::isnan(value) ||
        (std::isinf(value) && !infinite_allowed)) {
        usage_failure("--" + option + " needs a finite number, not '" + text + "'");
    }
    return value;
}

std::size_t parse_bytes(const std::string& option, const std::string& text)
{
    const auto refuse = [&] {
        usage_failure("--" + option + " needs a number of bytes, optionally with a suffix K, M, G or T (at least " +
                      "1M), not '" + text + "'");
    };
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        ++digits;
    }
    if (digits == 0 || digits > 15 || text.size() > digits + 1) {
        refuse();
    }
    unsigned long long bytes = std::stoull(text.substr(0, digits));
    if (text.size() == digits + 1) {
        const std::string suffixes = "KMGT";
        const std::size_t power =
            suffixes.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text.back()))));
        if (power == std::string::npos) {
            refuse();
        }
        for (std::size_t p = 0; p <= power; ++p) {
            if (bytes > (~0ULL >> 11)) {
                refuse();
            }
            bytes *= 1024;
        }
    }
    if (bytes < least_memory_budget) {
        refuse();
    }
    return static_cast<std::size_t>(bytes);
}

int parse_int(const std::string& option, const std::string& text, long lowest, long highest)
{
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || end != text.c_str() + text.size()) {
        usage_failure("--" + option + " needs a whole number, not '" + text + "'");
    }
    if (errno == ERANGE || value < lowest || value > highest) {
        std::ostringstream s;
        s << "--" << option << " must be between " << lowest << " and " << highest << ", not " << text;
        usage_failure(s.str());
    }
    return static_cast<int>(value);
}

std::vector<std::string> split_at_commas(const std::string& text)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, ',')) {
        parts.push_back(part);
    }
    return parts;
}

void parse_centres(const std::string& text, cli_options& o)
{
    const std::vector<std::string> parts = split_at_commas(text);
    if (parts.size() != 3 || text.back() == ',') {
        usage_failure("--centres needs three values c0,w,n (first centre, spacing, number of bins), not '" + text +
                      "'");
    }
    o.centre0 = parse_real("centres", parts[0]);
    o.centre_step = parse_real("centres", parts[1]);
    if (!(o.centre_step > 0.0)) {
        usage_failure("--centres: the spacing w must be positive, not " + parts[1]);
    }
    o.centre_count = parse_int("centres", parts[2], 2, max_bins);
}

void parse_probabilities(const std::string& text, cli_options& o)
{
    const std::vector<std::string> parts = split_at_commas(text);
    if (parts.empty() || text.back() == ',') {
        usage_failure("--q needs probabilities p1,p2,... in [0, 1], not '" + text + "'");
    }
    if (parts.size() > static_cast<std::size_t>(max_probabilities)) {
        usage_failure("--q takes at most " + std::to_string(max_probabilities) + " probabilities");
    }
    o.probabilities.clear();
    for (const std::string& p : parts) {
        // What rounds into [0, 1] is a probability (1e-999 is 0, and -0 is
        // taken as 0); 1e999 rounds to infinity, outside.
        const double value = parse_real("q", p, true);
        if (!(value >= 0.0 && value <= 1.0)) {
            usage_failure("--q: a probability must lie in [0, 1], not " + p);
        }
        o.probabilities.push_back(value + 0.0);
    }
}

void parse_grid_bins(const std::string& text, cli_options& o)
{
    const std::vector<std::string> parts = split_at_commas(text);
    const std::size_t dims = grid_dimensions(o);
    if (parts.size() != 1 && parts.size() != dims) {
        usage_failure("--bins needs one number or " + std::to_string(dims) + ", not '" + text + "'");
    }
    long long total = 1;
    for (std::size_t d = 0; d < dims; ++d) {
        const long long n = parse_int("bins", parts[parts.size() == 1 ? 0 : d], 1, max_grid_bins);
        o.grid_bins.push_back(n);
        total *= n;
        if (total > max_grid_bins) {
            usage_failure("--bins: " + text + " makes more than " + std::to_string(max_grid_bins) + " bins");
        }
    }
}

void parse_range(const std::string& text, cli_options& o)
{
    const std::vector<std::string> parts = split_at_commas(text);
    const std::size_t dims = grid_dimensions(o);
    if (parts.size() != 2 * dims) {
        usage_failure("--range needs " + std::string(dims == 1 ? "lo,hi" : "xlo,xhi,ylo,yhi") + ", not '" + text + "'");
    }
    for (const std::string& part : parts) {
        o.range.push_back(parse_real("range", part));
    }
    for (std::size_t d = 0; d < dims; ++d) {
        if (!(o.range[2 * d] < o.range[2 * d + 1])) {
            usage_failure("--range: the lower end must be below the upper, not '" + text + "'");
        }
    }
}

void check_statistic_name(const std::string& stat)
{
    static const std::set<std::string> named = {"mean", "std", "min", "max", "sum", "count", "median"};
    if (named.count(stat) > 0) {
        return;
    }
    if (stat.size() > 1 && stat[0] == 'q') {
        char* end = nullptr;
        const std::string p = stat.substr(1);
        const double value = std::strtod(p.c_str(), &end);
        if (end == p.c_str() + p.size() && value >= 0.0 && value <= 1.0) {
            return;
        }
    }
    usage_failure("--stat: unknown statistic '" + stat +
                  "' (expected mean, std, min, max, sum, count, median or qP with P in [0, 1], e.g. q0.9)");
}

} // namespace virda_stats
