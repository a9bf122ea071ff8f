#ifndef VIRDA_PYTHON_QUANTILE_FUNCTIONS_H
#define VIRDA_PYTHON_QUANTILE_FUNCTIONS_H

// The six order-statistic functions (median, quantile, percentile and their
// NaN-omitting forms) as the facts that set them apart.

namespace virda_python {

/// Which of the six functions is called.
struct function_kind {
    const char* name;
    bool omit;    // the nan* forms: NaN values are left out
    bool percent; // q in percent
    bool median;
};

inline constexpr function_kind median_kind{"median", false, false, true};
inline constexpr function_kind nanmedian_kind{"nanmedian", true, false, true};
inline constexpr function_kind quantile_kind{"quantile", false, false, false};
inline constexpr function_kind nanquantile_kind{"nanquantile", true, false, false};
inline constexpr function_kind percentile_kind{"percentile", false, true, false};
inline constexpr function_kind nanpercentile_kind{"nanpercentile", true, true, false};

} // namespace virda_python

#endif
