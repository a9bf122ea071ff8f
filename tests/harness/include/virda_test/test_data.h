// Test data built from the global index: every element is a function of its
// global index g, so each rank knows the whole array, and the whole expected
// answer, without communication.
#ifndef VIRDA_TEST_TEST_DATA_H
#define VIRDA_TEST_TEST_DATA_H

#include "virdastatistics.h"

#include <cstdint>
#include <vector>

namespace virda_test {

/// An attribute holding a new array of T with these extents over VIRDA_COMM,
/// element g = f(g). The last rank's `extra` rows past the first extent hold
/// f(g) as well: they are no part of the array and must never be read.
/// Collective.
template <class T, class F>
Attribute make_attribute(const std::vector<int>& dims, F f, int extra = 0)
{
    return attribute_from_global<T>(dims, VIRDA_COMM, f, extra);
}

/// The array of element type T that `at` holds (the attribute must hold one).
template <class T>
const va<T>& held_array(const Attribute& at)
{
    return boost::get<va<T>>(*at.held());
}

/// An element read from an attribute as a double (boost::bad_get for an
/// element type that does not convert).
inline double num(const VV1& v)
{
    return static_cast<double>(v);
}

/// A deterministic value in [0, 1) for (seed, g) (splitmix64).
inline double uniform(std::uint64_t seed, int g)
{
    std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + static_cast<std::uint64_t>(g) * 0xD1B54A32D192ED03ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1.0p-53;
}

/// Elements 0..n-1 of the generator `make`, as every rank sees them.
template <typename T, typename Make>
std::vector<T> values(int n, Make make)
{
    std::vector<T> v;
    for (int g = 0; g < n; ++g) {
        v.push_back(static_cast<T>(make(g)));
    }
    return v;
}

} // namespace virda_test

#endif
