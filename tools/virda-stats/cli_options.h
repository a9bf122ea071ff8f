#ifndef VIRDA_TOOLS_VIRDA_STATS_CLI_OPTIONS_H
#define VIRDA_TOOLS_VIRDA_STATS_CLI_OPTIONS_H

#include "dataset_shape.h"

#include <cstddef>
#include <string>
#include <vector>

namespace virda_stats {

enum class operation {
    mean,
    stdev,
    histogram,
    bin_data,
    poly_fit,
    quantiles,
    summary,
    histogram2d,
    binned_statistic,
    reduce
};
enum class output_format { text, json };

/// The command-line name of an operation ("bin-data", "poly-fit", ...).
const char* operation_name(operation op);

/// The memory budget of a rank without --memory-budget: 512 MiB.
inline constexpr std::size_t default_memory_budget = std::size_t{512} << 20;
/// The least --memory-budget: 1 MiB.
inline constexpr std::size_t least_memory_budget = std::size_t{1} << 20;

/// What the command line asks for. Options that the operation does not take
/// are rejected while parsing, so every field that matters is set.
struct cli_options {
    bool help = false;
    bool version = false;
    /// Write the sample catalogue to `file` and summarise it.
    bool demo = false;

    std::string file;
    std::string dataset;
    operation op = operation::summary;
    output_format format = output_format::text;

    /// Weights dataset of mean, stdev and poly-fit; empty for none.
    std::string weights;
    /// The dependent dataset of bin-data and poly-fit.
    std::string y;

    // histogram: `bins` bins of width `width` above `lower`.
    double lower = 0.0;
    double width = 0.0;
    int bins = 0;

    // bin-data: `centre_count` bins centred on centre0 + k * centre_step.
    double centre0 = 0.0;
    double centre_step = 0.0;
    int centre_count = 0;

    // histogram2d and binned-statistic: the bins along x (and y), equal in
    // width over `range` (xlo, xhi[, ylo, yhi]; empty: the extremes of the
    // finite values), one count per dimension; binned-statistic's statistic
    // of the dataset `values` per bin.
    std::vector<long long> grid_bins;
    std::vector<double> range;
    std::string values;
    std::string statistic;

    // quantiles: the probabilities, each in [0, 1], in the order given.
    std::vector<double> probabilities;

    // poly-fit: the degree of the polynomial.
    int order = 0;

    /// The column of a table of shape (n, k) that DATASET stands for
    /// (0-based), or -1: every column (summary) or a one-dimensional dataset.
    int column = -1;

    /// --layout: how datasets of two dimensions are read.
    layout_choice layout = layout_choice::automatic;
    /// --raw: the stored values as they are, without the conventions for
    /// missing and packed values.
    bool raw = false;
    /// --skip-nan: NaN values are left out of the statistics too.
    bool skip_nan = false;
    // reduce: the dimensions reduced over (names or 0-based indices, as
    // given), the statistics (mean, std, min, max, sum, count, median, qP),
    // the quantile method (NumPy's names) and the netCDF-4 file written.
    std::vector<std::string> over;
    std::vector<std::string> stats;
    std::string method = "linear";
    std::string output;

    /// --memory-budget: the most bytes a rank uses for the values it reads
    /// at once and the keys of a median or quantile search.
    std::size_t memory_budget = default_memory_budget;
};

/// The sample file that --demo writes when no name is given.
inline constexpr const char* default_demo_file = "virda-demo.h5";

/// Limits on option values: beyond them a run would only waste memory or
/// produce numerical noise (the normal equations of a fit of higher order are
/// hopelessly ill-conditioned in double precision even in the centred
/// variable; below it, fit.h decides from the data whether to warn or refuse).
inline constexpr int max_bins = 1000000;
inline constexpr int max_order = 20;
/// At most this many bins in all in histogram2d and binned-statistic (every
/// rank holds every bin's results): 4096 x 4096.
inline constexpr long long max_grid_bins = 4096LL * 4096;
/// At most this many probabilities in --q.
inline constexpr int max_probabilities = 1000;

/// Parses the arguments after the program name. Throws tool_error with
/// exit_usage_error and a one-line message for anything it cannot accept:
/// unknown operations or options, options the operation does not take,
/// missing or repeated options, values that are not numbers or are out of
/// range, and a wrong number of positional arguments.
cli_options parse_command_line(const std::vector<std::string>& args);

/// The help text of --help.
std::string usage_text();

} // namespace virda_stats

#endif
