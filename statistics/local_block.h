#ifndef VIRDA_STATISTICS_LOCAL_BLOCK_H
#define VIRDA_STATISTICS_LOCAL_BLOCK_H

#include "framework/attribute/attribute.h"
#include "framework/attribute/attribute_visitors.h"

#include <boost/variant/get.hpp>

#include <type_traits>

namespace virda_detail {

// is_real<T> and is_real_code(code) come from the element type table.

/// Calls f(block, count) with a read-only view of this rank's block of the
/// attribute's array, in its own element type. No communication. The
/// attribute must hold an array.
template <typename F>
void with_local_block(const Attribute& a, F&& f)
{
    Attribute_local_block_visitor<F> visitor(f);
    boost::apply_visitor(visitor, *a.held());
}

} // namespace virda_detail

#endif
