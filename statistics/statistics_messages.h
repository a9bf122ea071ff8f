#ifndef VIRDA_STATISTICS_STATISTICS_MESSAGES_H
#define VIRDA_STATISTICS_STATISTICS_MESSAGES_H

// The lines that the statistics write to standard error when they reject
// their arguments. Every rank writes its own copy.
namespace virda_messages {
inline constexpr const char* histogram_negative_bins = "ERROR in histogram:negative number of bins.Empty histogram returned";
inline constexpr const char* histogram_no_array = "ERROR in histogram:attribute holds no array.Zero counts returned";
inline constexpr const char* bin_data_few_centres = "ERROR in bin_data:fewer than two bin centres.Centres returned";
inline constexpr const char* function_negative_order = "ERROR in function:negative order.Order left unchanged";
inline constexpr const char* poly_fit_negative_order = "ERROR in poly_fit:negative order.Zero polynomial returned";
inline constexpr const char* poly_fit_short_input =
    "ERROR in poly_fit:y or w shorter than x.Zero polynomial returned";
} // namespace virda_messages

#endif
