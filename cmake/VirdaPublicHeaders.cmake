# The public headers, the one list of them: the umbrella header and what it
# includes, and the reference runtime's session. The install rules install
# exactly these (VirdaInstall.cmake) and the API reference documents exactly
# these (VirdaDocs.cmake); the implementation headers (va_impl.h, the kernels,
# the registry, the message texts, ...) stay in the source tree. A new public
# header goes here.
include_guard(GLOBAL)
set(VIRDA_PUBLIC_HEADERS
  virdastatistics.h
  engine/bin_location.h
  engine/bin_means.h
  engine/binned_statistics.h
  engine/call_agreement.h
  engine/error.h
  engine/exact_sum.h
  engine/extremes.h
  engine/histogram.h
  engine/histogram_dd.h
  engine/moments.h
  engine/number.h
  engine/number_type.h
  engine/order_statistics.h
  engine/power_sums.h
  engine/quantile_method.h
  engine/views.h
  engine/weighted_moments.h
  engine/weighted_quantiles.h
  framework/array/va.h
  framework/array/va_from_global.h
  framework/attribute/array_variant.h
  framework/attribute/attribute.h
  framework/attribute/attribute_from_global.h
  framework/attribute/attribute_visitors.h
  framework/attribute/scalar_variant.h
  framework/attribute/vv1.h
  framework/runtime/attribute_functions.h
  framework/runtime/context.h
  framework/runtime/matrix.h
  framework/runtime/virda_globals.h
  framework/types/complex_operators.h
  framework/types/element_types.h
  framework/types/mpi_type_trait.h
  framework/types/non_c_d_md.h
  framework/types/promote_trait.h
  framework/types/vector2.h
  framework/types/vector3.h
  statistics/bin_data.h
  statistics/function.h
  statistics/histogram.h
  statistics/median.h
  statistics/mean.h
  statistics/poly_fit.h
  statistics/quantile.h
  statistics/stdev.h
  reference_runtime/virda_session.h)
