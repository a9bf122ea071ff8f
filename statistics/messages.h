#ifndef VIRDA_STATISTICS_MESSAGES_H
#define VIRDA_STATISTICS_MESSAGES_H

#include "framework/messages.h"

#include <string>

// Every line the statistics write to standard error, by report() of
// framework/messages.h, on every rank that meets the condition.
namespace virda_messages {

inline constexpr const char* histogram_negative_bins = "ERROR in histogram:negative number of bins.Empty histogram returned";
inline constexpr const char* histogram_no_array = "ERROR in histogram:attribute holds no array.Zero counts returned";
inline constexpr const char* bin_data_few_centres = "ERROR in bin_data:fewer than two bin centres.Centres returned";
inline constexpr const char* function_negative_order = "ERROR in function:negative order.Order left unchanged";
inline constexpr const char* poly_fit_negative_order = "ERROR in poly_fit:negative order.Zero polynomial returned";
inline constexpr const char* poly_fit_short_input =
    "ERROR in poly_fit:y or w shorter than x.Zero polynomial returned";
inline constexpr const char* quantile_bad_probability =
    "ERROR in quantile:probability outside [0, 1] or NaN.NaN returned for it";

/// The line of quantile or median (`operation`: "quantile", "median") that
/// gives NaN for every entry, for one of the reasons below.
inline std::string quantile_nan(const char* operation, const char* reason)
{
    return std::string("ERROR in ") + operation + ":" + reason + ".NaN returned";
}
/// An Empty attribute; an array of no elements; an attribute that the ranks
/// of VIRDA_COMM do not hold between them (one over another communicator).
inline constexpr const char* quantile_no_array = "attribute holds no array";
inline constexpr const char* quantile_no_elements = "attribute has no elements";
inline constexpr const char* quantile_not_over_comm = "attribute not distributed over VIRDA_COMM";

} // namespace virda_messages

#endif
