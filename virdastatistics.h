#ifndef VIRDASTATISTICS_H
#define VIRDASTATISTICS_H

/// \file
/// Everything a framework program calls: element types and traits, the
/// distributed array, the attribute handle, the statistics, the engine
/// (statistics over each rank's blocks with an explicit communicator) and the
/// framework runtime's declarations. A program that uses the reference runtime's
/// virda_session also includes "reference_runtime/virda_session.h".
#include "engine/bin_location.h"
#include "engine/bin_means.h"
#include "engine/binned_statistics.h"
#include "engine/call_agreement.h"
#include "engine/error.h"
#include "engine/exact_sum.h"
#include "engine/extremes.h"
#include "engine/histogram.h"
#include "engine/histogram_dd.h"
#include "engine/moments.h"
#include "engine/number.h"
#include "engine/number_type.h"
#include "engine/order_statistics.h"
#include "engine/power_sums.h"
#include "engine/quantile_method.h"
#include "engine/views.h"
#include "engine/weighted_moments.h"
#include "engine/weighted_quantiles.h"
#include "framework/array/va.h"
#include "framework/array/va_from_global.h"
#include "framework/attribute/attribute.h"
#include "framework/attribute/attribute_from_global.h"
#include "framework/attribute/attribute_visitors.h"
#include "framework/attribute/vv1.h"
#include "framework/runtime/attribute_functions.h"
#include "framework/runtime/context.h"
#include "framework/runtime/matrix.h"
#include "framework/runtime/virda_globals.h"
#include "framework/types/element_types.h"
#include "framework/types/mpi_type_trait.h"
#include "framework/types/promote_trait.h"
#include "statistics/bin_data.h"
#include "statistics/function.h"
#include "statistics/histogram.h"
#include "statistics/median.h"
#include "statistics/mean.h"
#include "statistics/poly_fit.h"
#include "statistics/quantile.h"
#include "statistics/stdev.h"

#endif
