#ifndef VIRDA_TOOLS_VIRDA_STATS_REPORT_H
#define VIRDA_TOOLS_VIRDA_STATS_REPORT_H

#include "cli_options.h"

#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace virda_stats {

/// A dataset that took part in a run.
struct dataset_ref {
    std::string name;
    std::string type; ///< held element type: double, float, int, Vector2, Vector3
    long long rows = 0;
    /// The stored number type ("int64", "float16", ...); empty when unknown.
    std::string stored;
    /// 0 for a one-dimensional dataset; k for a table of shape (rows, k).
    int columns = 0;
    /// The column of a table that was read, or -1.
    int column = -1;
    /// For 64-bit integers read as double: how many values had a magnitude
    /// of 2^53 or more (doubles hold every integer only up to 2^53, so these
    /// may be rounded); -1 when the stored type needs no such count.
    long long beyond_exact = -1;
    /// The extents (empty for a single value).
    std::vector<long long> shape;
    /// "table" or "grid" for a dataset of two or more dimensions, with why;
    /// "" for one-dimensional datasets.
    std::string layout;
    std::string layout_reason;
    /// The missing and packed values' attributes that apply, as
    /// value_rules::describe gives them; "" for none.
    std::string conventions;
    /// Values missing by those attributes, and NaN values left out
    /// (--skip-nan), in an operation other than summary (whose lines say it
    /// per column); -1 when not counted.
    long long missing = -1;
    long long nan_skipped = -1;
    /// Values (rows, for paired datasets) the statistic took; -1 when not
    /// counted (every row).
    long long used = -1;
};

/// mean or stdev: one number.
struct value_result {
    double value = 0.0;
};

struct histogram_result {
    double lower = 0.0;
    double width = 0.0;
    std::vector<long long> counts;
};

struct binned_result {
    std::vector<double> centres;
    std::vector<double> means;
};

/// histogram2d and binned-statistic: per bin of equal width along x (and
/// y), in C order (y's bin varies fastest), the pairs counted and, for
/// binned-statistic, the statistic of the values.
struct grid_result {
    std::vector<std::vector<double>> edges; ///< per dimension, bins + 1 edges
    std::vector<long long> counts;          ///< per bin
    std::string statistic;                  ///< empty for histogram2d
    std::vector<double> values;             ///< per bin (count: the counts)
    long long outside = 0;                  ///< pairs taken but in no bin
};

/// A polynomial fitted in the centred and scaled variable
/// x' = (x - centre) / scale (see fit.h).
struct fit_result {
    int order = 0;
    std::vector<double> coefficients;        ///< ascending powers of x
    std::vector<double> scaled_coefficients; ///< ascending powers of x', as fitted
    double centre = 0.0;
    double scale = 1.0;
    /// 2-norm condition number of the normal matrix in x'.
    double condition = 1.0;
    /// One line when the condition number makes the coefficients doubtful;
    /// empty otherwise.
    std::string warning;
};

/// quantiles: one value per probability, in the order given.
struct quantiles_result {
    std::vector<double> probabilities;
    std::vector<double> values;
};

/// reduce: the file written and what it holds.
struct reduced_result {
    std::string output;
    /// The dimensions reduced over and those kept, by name.
    std::vector<std::string> over;
    std::vector<std::string> kept;
    /// The variables written, one per statistic.
    std::vector<std::string> variables;
    /// How often each rank read its rows, and in how many groups of cells
    /// the accumulators were filled one after the other.
    int passes = 0;
    int cell_groups = 0;
};

/// One line of a summary: a dataset, or one component of a vector dataset.
struct summary_row {
    std::string dataset;
    std::string component; ///< "x", "y", "z", or empty for numbers
    int column = -1;       ///< the column of a table, or -1
    std::string type;
    /// Values the statistics took: not missing (NaN included unless skipped).
    long long count = 0;
    double mean = 0.0;
    double stdev = 0.0;
    double min = 0.0; ///< over the values that are not NaN; NaN when there are none
    double max = 0.0;
    double median = 0.0; ///< NaN when any value is NaN
    /// NaN values among those not missing, once unpacked (taken, unless --skip-nan).
    long long nan_count = 0;
    /// Values missing by the conventions' attributes (not counted in count).
    long long missing_count = 0;
    /// Whether the dataset has attributes of the conventions for missing or
    /// packed values (a summary then shows the missing counts).
    bool conventions = false;
};

struct summary_result {
    std::vector<summary_row> rows;
};

/// Everything a run prints.
struct report {
    std::string file;
    int ranks = 1;
    operation op = operation::summary;
    /// The dataset operated on; absent for the summary of the demo catalogue.
    std::optional<dataset_ref> dataset;
    std::optional<dataset_ref> weights;
    std::optional<dataset_ref> y;
    /// binned-statistic's values.
    std::optional<dataset_ref> values;
    std::variant<value_result, histogram_result, binned_result, fit_result, quantiles_result, summary_result,
                 grid_result, reduced_result>
        result;
};

/// The type a dataset is held in, with the stored type when that is another
/// ("double from int64"), as write_text prints it.
std::string held_from_stored(const dataset_ref& d);

/// The warnings of a run (one line each, without the "virda-stats: warning: "
/// prefix); rank 0 prints them to standard error.
std::vector<std::string> warnings_of(const report& r);

/// What write_text and write_json print of a grid_result (grid_report.cpp).
///@{
void write_grid_text(std::ostream& out, const grid_result& g);
void write_grid_json(std::ostream& out, const grid_result& g);
///@}

/// A readable table (the histogram as a bar chart).
void write_text(std::ostream& out, const report& r);

/// One JSON object; numbers with 17 significant digits so that they read
/// back exactly, NaN and infinities as the strings "NaN", "Infinity" and
/// "-Infinity" (see json_number).
void write_json(std::ostream& out, const report& r);

/// A number for people, as write_text writes it: `digits` significant
/// digits; "nan", "inf", "-inf".
std::string text_number(double v, int digits = 10);

/// A number as write_json writes it: a JSON number when finite, otherwise
/// the string "NaN", "Infinity" or "-Infinity". JSON has no literal for
/// them: null would make the three alike, and bare NaN and Infinity tokens
/// are not JSON (strict parsers refuse the whole document). These strings
/// keep every document valid, and Python's float(), NumPy, pandas' astype
/// and JavaScript's Number() all read them as the value ("inf" would be NaN
/// to Number()).
std::string json_number(double v);

/// A string as a JSON string literal, quotes included.
std::string json_string(const std::string& s);

} // namespace virda_stats

#endif
