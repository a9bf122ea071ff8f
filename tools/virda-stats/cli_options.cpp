#include "cli_options.h"

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

[[noreturn]] void usage_failure(const std::string& message)
{
    throw tool_error(message, exit_usage_error);
}

/// The number `text` stands for, rounded to the nearest double: a value
/// too small for a double (1e-999) is 0 (strtod's ERANGE on underflow is no
/// reason to refuse it). One too large for a double rounds to an infinity,
/// which is refused unless `infinite_allowed` (the caller then judges it);
/// NaN and text that is not a number are refused.
double parse_real(const std::string& option, const std::string& text, bool infinite_allowed = false)
{
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || std::isnan(value) ||
        (std::isinf(value) && !infinite_allowed)) {
        usage_failure("--" + option + " needs a finite number, not '" + text + "'");
    }
    return value;
}

/// A number of bytes: digits with an optional suffix K, M, G or T (powers
/// of 1024), at least least_memory_budget.
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

/// The comma-separated fields of an option's value ("a,,b" has an empty one;
/// a trailing comma adds none, so callers check for it).
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

/// --q p1,p2,...: one or more probabilities, each a number in [0, 1].
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

/// The dimensions of histogram2d (2) or binned-statistic (1, or 2 with --y).
std::size_t grid_dimensions(const cli_options& o)
{
    return o.op == operation::histogram2d || !o.y.empty() ? 2 : 1;
}

/// --bins of histogram2d and binned-statistic: N (every dimension) or one
/// count per dimension.
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

/// --range of histogram2d and binned-statistic: lo,hi per dimension, finite,
/// lo < hi.
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

/// A statistic of reduce: mean, std, min, max, sum, count, median or qP
/// with P a probability in [0, 1] (q0.9).
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

std::string usage_text()
{
    return R"(Usage: mpiexec -n N virda-stats FILE DATASET OPERATION [options]
       mpiexec -n N virda-stats --demo [FILE]

Statistics of one dataset of an HDF5 file, read in parallel: every rank reads
only its own rows. DATASET is a path inside the file (a leading / is optional)
of integers or floats of any width and byte order, of any number of
dimensions. A netCDF variable (a dataset with dimension scales) and any
dataset of three or more dimensions is a grid: statistics over all its values.
Other two-dimensional datasets are tables of shape (n, k): summary reports
every column (floats of width 2 or 3 as vector components), the other
operations take one column with --column K. 8- to 32-bit integers are held as
int (unsigned: up to 16 bits), wider ones as double (exact up to 2^53), floats
of up to 32 bits as float, wider ones as double.

Values equal to the attribute _FillValue or missing_value, or outside
valid_min/valid_max/valid_range, are missing: left out of every statistic and
counted. Values with scale_factor/add_offset are unpacked (v * scale_factor +
add_offset, as double). NaN values are kept (the statistics that see them are
NaN) unless --skip-nan.

Operations:
  mean        [--weights W]             mean, or weighted mean
  stdev       [--weights W]             population standard deviation
  histogram   --lower L --width W --bins N
                                        counts in N bins of width W above L
                                        (values at or below L are not counted)
  bin-data    --y Y --centres c0,w,n    mean of Y in n bins of DATASET centred
                                        on c0, c0 + w, ...
  poly-fit    --y Y --order N [--weights W]
                                        least-squares polynomial Y(DATASET),
                                        fitted in x' = (x - centre) / scale;
                                        warns or refuses when ill-conditioned
  quantiles   --q p1,p2,...             quantiles of the probabilities (in
                                        [0, 1]), interpolated linearly between
                                        the exact order statistics; NaN if
                                        any value is NaN
  summary                               count, mean, stdev, min, max, median,
                                        NaNs (and missing values)
  histogram2d --y Y --bins N[,M] [--range xlo,xhi,ylo,yhi]
                                        counts of the pairs (DATASET, Y) in
                                        N x M bins of equal width (default
                                        range: the extremes of the finite
                                        values); every bin holds its lower
                                        edges, the last ones their upper too
  binned-statistic --values V --statistic S --bins N[,M] [--y Y] [--range ...]
                                        S (count, sum, mean, std, min, max or
                                        median) of V per bin of DATASET (and
                                        Y), bins as histogram2d's; sums exact
  reduce      --over D1[,D2...] --stat S1[,S2...] -o OUT.nc [--method M]
                                        statistics along dimensions (names of
                                        the file's dimension scales, or 0-based
                                        indices) of a grid, written as a netCDF-4
                                        file over the remaining dimensions, one
                                        variable per statistic: mean, std, min,
                                        max, sum, count, median, qP (q0.9); the
                                        quantiles exact, by NumPy's method M
                                        (default linear)

Options:
  --column K           column K (0-based) of a table DATASET of shape (n, k)
  --layout table|grid  read a two-dimensional dataset per column (table) or
                       all its values together (grid)
  --raw                the stored values: no missing values, no unpacking
  --skip-nan           leave NaN values out too (they are still counted)
  --memory-budget B    the most memory a rank uses for the values it reads at
                       once and for a median or quantile search: bytes, or
                       with a suffix K, M, G or T (default 512M, at least 1M)
  --format text|json   output format (default text); printed by rank 0
  --demo [FILE]        write a sample catalogue (default virda-demo.h5) and
                       summarise every dataset in it
  --help, --version

Paired datasets (W, Y, V) must have as many rows as DATASET (a grid: the same
shape); a row missing in one of them is left out of all. On any error every
rank stops, rank 0 prints one message, and the exit status is 1 (input) or 2
(command line).
)";
}

} // namespace virda_stats
