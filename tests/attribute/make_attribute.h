#ifndef VIRDA_TESTS_ATTRIBUTE_MAKE_ATTRIBUTE_H
#define VIRDA_TESTS_ATTRIBUTE_MAKE_ATTRIBUTE_H

#include "virdastatistics.h"

#include <vector>

namespace virda_test {

/// An attribute holding a new array of T with these extents over VIRDA_COMM,
/// element g = f(g). Collective.
template <class T, class F>
Attribute make_attribute(const std::vector<int>& dims, F f)
{
    return attribute_from_global<T>(dims, VIRDA_COMM, f);
}

/// The array of element type T that `at` holds (the attribute must hold one).
template <class T>
const va<T>& held_array(const Attribute& at)
{
    return boost::get<va<T>>(*at.held());
}

} // namespace virda_test

#endif
