#ifndef VIRDA_TOOLS_VIRDA_STATS_OPTION_VALUES_H
#define VIRDA_TOOLS_VIRDA_STATS_OPTION_VALUES_H

// The values of the command line's options: numbers, byte counts, lists and
// the grids' bins and ranges, refused with a usage error (exit status 2)
// when they do not parse. Local.

#include "cli_options.h"

#include <cstddef>
#include <string>
#include <vector>

namespace virda_stats {

/// Throws the usage error (exit status 2) that `message` describes.
[[noreturn]] void usage_failure(const std::string& message);

/// The number `text` stands for, rounded to the nearest double: a value
/// too small for a double (1e-999) is 0 (strtod's ERANGE on underflow is no
/// reason to refuse it). One too large for a double rounds to an infinity,
/// which is refused unless `infinite_allowed` (the caller then judges it);
/// NaN and text that is not a number are refused.
double parse_real(const std::string& option, const std::string& text, bool infinite_allowed = false);

/// A number of bytes: digits with an optional suffix K, M, G or T (powers
/// of 1024), at least least_memory_budget.
std::size_t parse_bytes(const std::string& option, const std::string& text);

int parse_int(const std::string& option, const std::string& text, long lowest, long highest);

/// The comma-separated fields of an option's value ("a,,b" has an empty one;
/// a trailing comma adds none, so callers check for it).
std::vector<std::string> split_at_commas(const std::string& text);

void parse_centres(const std::string& text, cli_options& o);

/// --q p1,p2,...: one or more probabilities, each a number in [0, 1].
void parse_probabilities(const std::string& text, cli_options& o);

/// --bins of histogram2d and binned-statistic: N (every dimension) or one
/// count per dimension.
void parse_grid_bins(const std::string& text, cli_options& o);

/// --range of histogram2d and binned-statistic: lo,hi per dimension, finite,
/// lo < hi.
void parse_range(const std::string& text, cli_options& o);

/// A statistic of reduce: mean, std, min, max, sum, count, median or qP
/// with P a probability in [0, 1] (q0.9).
void check_statistic_name(const std::string& stat);

} // namespace virda_stats

#endif // VIRDA_TOOLS_VIRDA_STATS_OPTION_VALUES_H
