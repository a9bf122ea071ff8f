#ifndef VIRDA_FRAMEWORK_ARRAY_VA_IMPL_H
#define VIRDA_FRAMEWORK_ARRAY_VA_IMPL_H

// Member definitions of va<T>, one concern per header. Included by the one
// source that instantiates the element types (and by the arithmetic, which
// makes arrays of its own); programs use those instantiations.
#include "framework/array/va_lifetime_impl.h"
#include "framework/array/va_reads_impl.h"
#include "framework/array/va_rows_impl.h"
#include "framework/array/va_window_impl.h"

#endif
