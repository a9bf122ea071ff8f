#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_FROM_GLOBAL_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_FROM_GLOBAL_H

/// \file
/// attribute_from_global: a new attribute filled from a function of the global index.

#include "framework/array/va_from_global.h"
#include "framework/attribute/attribute.h"

#include <utility>

/// An attribute (with a context of its own) holding va_from_global<T>(dims,
/// comm, f, extra_rows): element g is f(g). Collective over `comm`, as
/// va_from_global; the array moves into the attribute without another window.
template <typename T, typename F>
Attribute attribute_from_global(const std::vector<int>& dims, MPI_Comm comm, F&& f, int extra_rows = 0)
{
    Attribute attribute;
    attribute.set_attribute(array_variant(va_from_global<T>(dims, comm, std::forward<F>(f), extra_rows)));
    return attribute;
}

#endif
