#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_SCALAR_VARIANT_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_SCALAR_VARIANT_H

/// \file
/// scalar_variant, the scalar operand of attribute arithmetic.

#include "framework/types/element_types.h"

#include <boost/variant.hpp>

/// The scalar operand of attribute-with-scalar arithmetic: double, float, int
/// or fftw_complex, in that order (a fixed interface order).
using scalar_variant = boost::variant<double, float, int, fftw_complex>;
static_assert(virda_detail::same_types<virda_detail::scalar_type_list, scalar_variant>::value,
              "scalar_variant must hold each scalar operand type of the element table once");

#endif
