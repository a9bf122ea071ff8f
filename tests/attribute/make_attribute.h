#ifndef VIRDA_TESTS_ATTRIBUTE_MAKE_ATTRIBUTE_H
#define VIRDA_TESTS_ATTRIBUTE_MAKE_ATTRIBUTE_H

#include "virdastatistics.h"

#include <utility>
#include <vector>

namespace virda_test {

/// An attribute holding a new array of T with these extents over VIRDA_COMM,
/// element g = f(g). Collective.
template <class T, class F>
Attribute make_attribute(const std::vector<int>& dims, F f)
{
    va<T> a(dims, VIRDA_COMM);
    const int first = a.va_distribution_index(VIRDA_ID)[0];
    for (int i = 0; i < a.va_local_count(); ++i) {
        a.va_set(i, f(first + i));
    }
    a.va_sync();
    Attribute at;
    at.set_attribute(array_variant(std::move(a)));
    return at;
}

/// The array of element type T that `at` holds (the attribute must hold one).
template <class T>
const va<T>& held_array(const Attribute& at)
{
    return boost::get<va<T>>(*at.held());
}

} // namespace virda_test

#endif
