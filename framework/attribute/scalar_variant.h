#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_SCALAR_VARIANT_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_SCALAR_VARIANT_H

#include "framework/types/element_types.h"

#include <boost/variant.hpp>

/// The scalar operand of attribute-with-scalar arithmetic: double, float, int
/// or fftw_complex, in that order.
using scalar_variant = boost::variant<double, float, int, fftw_complex>;

#endif
