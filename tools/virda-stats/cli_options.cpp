#include "cli_options.h"

#include "collective_error.h"
#include "option_values.h"

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

struct operation_entry {
    operation op;
    const char* name;
    /// Options it takes; the required ones are marked with a leading '!'.
    std::vector<std::string> options;
};

const std::vector<operation_entry>& operation_table()
{
    static const std::vector<operation_entry> table = {
        {operation::mean, "mean", {"weights"}},
        {operation::stdev, "stdev", {"weights"}},
        {operation::histogram, "histogram", {"!lower", "!width", "!bins"}},
        {operation::bin_data, "bin-data", {"!y", "!centres"}},
        {operation::poly_fit, "poly-fit", {"!y", "!order", "weights"}},
        {operation::quantiles, "quantiles", {"!q"}},
        {operation::summary, "summary", {}},
        {operation::histogram2d, "histogram2d", {"!y", "!bins", "range"}},
        {operation::binned_statistic, "binned-statistic", {"!values", "!statistic", "!bins", "y", "range"}},
        {operation::reduce, "reduce", {"!over", "!stat", "!output", "method"}},
    };
    return table;
}

/// Options that every operation takes (--demo only the first).
const std::set<std::string> general_options = {"format"};
const std::set<std::string> reading_option_names = {"column", "layout", "raw", "skip-nan", "memory-budget"};

/// Every option that takes a value, and the flags, which take none.
const std::set<std::string> valued_options = {"format",  "weights", "y",      "lower", "width", "bins",
                                              "centres", "order",   "column", "q",     "layout",
                                              "memory-budget", "values", "statistic", "range", "over", "stat",
                                              "output", "method"};
const std::set<std::string> flag_options = {"raw", "skip-nan"};

void apply_option(const std::string& name, const std::string& value, cli_options& o)
{
    if (name == "format") {
        if (value == "text") {
            o.format = output_format::text;
        } else if (value == "json") {
            o.format = output_format::json;
        } else {
            usage_failure("--format must be 'text' or 'json', not '" + value + "'");
        }
    } else if (name == "weights" || name == "y") {
        if (value.empty()) {
            usage_failure("--" + name + " needs a dataset name");
        }
        (name == "weights" ? o.weights : o.y) = value;
    } else if (name == "lower") {
        o.lower = parse_real(name, value);
    } else if (name == "width") {
        o.width = parse_real(name, value);
        if (!(o.width > 0.0)) {
            usage_failure("--width must be positive, not " + value);
        }
    } else if (name == "bins" && o.op != operation::histogram) {
        parse_grid_bins(value, o);
    } else if (name == "bins") {
        o.bins = parse_int(name, value, 1, max_bins);
    } else if (name == "range") {
        parse_range(value, o);
    } else if (name == "values") {
        if (value.empty()) {
            usage_failure("--values needs a dataset name");
        }
        o.values = value;
    } else if (name == "statistic") {
        if (!virda::frontend::is_binned_statistic(value)) {
            usage_failure("--statistic must be count, sum, mean, std, min, max or median, not '" + value + "'");
        }
        o.statistic = value;
    } else if (name == "centres") {
        parse_centres(value, o);
    } else if (name == "q") {
        parse_probabilities(value, o);
    } else if (name == "order") {
        o.order = parse_int(name, value, 0, max_order);
    } else if (name == "column") {
        o.column = parse_int(name, value, 0, INT_MAX);
    } else if (name == "layout") {
        if (value == "table") {
            o.layout = layout_choice::table;
        } else if (value == "grid") {
            o.layout = layout_choice::grid;
        } else {
            usage_failure("--layout must be 'table' or 'grid', not '" + value + "'");
        }
    } else if (name == "over" || name == "stat") {
        std::vector<std::string> parts = split_at_commas(value);
        if (parts.empty() || value.back() == ',' ||
            std::any_of(parts.begin(), parts.end(), [](const std::string& p) { return p.empty(); })) {
            usage_failure("--" + name + " needs a comma-separated list, not '" + value + "'");
        }
        (name == "over" ? o.over : o.stats) = std::move(parts);
        if (name == "stat") {
            for (const std::string& stat : o.stats) {
                check_statistic_name(stat);
            }
        }
    } else if (name == "output") {
        if (value.empty()) {
            usage_failure("--output needs a file name");
        }
        o.output = value;
    } else if (name == "method") {
        virda::engine::quantile_method m{};
        if (!virda::engine::quantile_method_named(value, &m)) {
            usage_failure("--method must be one of NumPy's quantile methods (linear, lower, higher, nearest, "
                          "midpoint, hazen, weibull, median_unbiased, normal_unbiased, inverted_cdf, "
                          "averaged_inverted_cdf, closest_observation, interpolated_inverted_cdf), not '" +
                          value + "'");
        }
        o.method = value;
    } else if (name == "memory-budget") {
        o.memory_budget = parse_bytes(name, value);
    } else if (name == "raw") {
        o.raw = true;
    } else if (name == "skip-nan") {
        o.skip_nan = true;
    }
}

} // namespace

const char* operation_name(operation op)
{
    for (const auto& entry : operation_table()) {
        if (entry.op == op) {
            return entry.name;
        }
    }
    return "?";
}

cli_options parse_command_line(const std::vector<std::string>& args)
{
    cli_options o;
    std::vector<std::string> positional;
    std::map<std::string, std::string> given; // option name -> value

    // A request for help is honoured whatever else the line holds.
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            return o;
        }
        if (arg == "--version") {
            o.version = true;
            return o;
        }
    }

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-o") {
            // The one short option: the file reduce writes.
            if (i + 1 >= args.size()) {
                usage_failure("-o needs a file name");
            }
            if (!given.emplace("output", args[++i]).second) {
                usage_failure("--output is given twice");
            }
            continue;
        }
        if (arg == "--demo") {
            o.demo = true;
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            std::string value;
            const auto equals = name.find('=');
            if (equals != std::string::npos) {
                value = name.substr(equals + 1);
                name.erase(equals);
            }
            const bool flag = flag_options.count(name) > 0;
            if (valued_options.count(name) == 0 && !flag) {
                usage_failure("unknown option '--" + name + "'");
            }
            if (flag && equals != std::string::npos) {
                usage_failure("--" + name + " takes no value");
            }
            if (!flag && equals == std::string::npos) {
                if (i + 1 >= args.size()) {
                    usage_failure("--" + name + " needs a value");
                }
                value = args[++i];
            }
            if (!given.emplace(name, value).second) {
                usage_failure("--" + name + " is given twice");
            }
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1])) && arg[1] != '.') {
            usage_failure("unknown option '" + arg + "'");
        }
        positional.push_back(arg);
    }

    std::set<std::string> allowed = general_options;
    std::vector<std::string> required;
    if (o.demo) {
        if (positional.size() > 1) {
            usage_failure("--demo takes at most one file name");
        }
        o.file = positional.empty() ? default_demo_file : positional[0];
    } else {
        if (positional.size() != 3) {
            usage_failure("expected FILE DATASET OPERATION, got " + std::to_string(positional.size()) +
                          " argument" + (positional.size() == 1 ? "" : "s"));
        }
        o.file = positional[0];
        o.dataset = positional[1];
        const auto& table = operation_table();
        auto entry = table.begin();
        while (entry != table.end() && positional[2] != entry->name) {
            ++entry;
        }
        if (entry == table.end()) {
            usage_failure("unknown operation '" + positional[2] +
                          "' (expected mean, stdev, histogram, bin-data, poly-fit, quantiles, summary, histogram2d, "
                          "binned-statistic or reduce)");
        }
        o.op = entry->op;
        allowed.insert(reading_option_names.begin(), reading_option_names.end());
        for (const std::string& option : entry->options) {
            if (option[0] == '!') {
                required.push_back(option.substr(1));
                allowed.insert(option.substr(1));
            } else {
                allowed.insert(option);
            }
        }
    }

    const std::string context = o.demo ? std::string("--demo") : std::string(operation_name(o.op));
    for (const auto& [name, value] : given) {
        if (allowed.count(name) == 0) {
            usage_failure(context + " does not take --" + name);
        }
    }
    for (const std::string& name : required) {
        if (given.count(name) == 0) {
            usage_failure(context + " needs --" + name);
        }
    }
    // --y first: it sets how many dimensions --bins and --range have.
    if (given.count("y") > 0) {
        apply_option("y", given.at("y"), o);
    }
    for (const auto& [name, value] : given) {
        if (name != "y") {
            apply_option(name, value, o);
        }
    }
    return o;
}

} // namespace virda_stats
