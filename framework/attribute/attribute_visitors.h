#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_VISITORS_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_VISITORS_H

/// \file
/// The visitors through which an Attribute reaches the array it holds. Each
/// dispatches on the element type and forwards to the array; apply them with
/// boost::apply_visitor to Attribute::held() (the second operand of the
/// two-operand ones is an index_variant, an array_variant or a scalar_variant).
#include "framework/attribute/array_variant.h"
#include "framework/attribute/vv1.h"

#include <boost/variant.hpp>

#include <vector>

/// The element count of the held array over all ranks.
class Attribute_size_visitor : public boost::static_visitor<int> {
public:
    /// va_size() of the array. Local.
    template <typename T>
    int operator()(const va<T>& a) const
    {
        return a.va_size();
    }
};

/// Global element i of the held array, wrapped in a VV1 in its own type.
class Attribute_bracket2_visitor : public boost::static_visitor<VV1> {
public:
    /// a[i], as va::operator[] (not collective; its message for a bad index).
    template <typename T>
    VV1 operator()(const va<T>& a, int i) const
    {
        return VV1(element_variant(a[i]));
    }
};

/// {first, last}: the global indices that rank r holds.
class Attribute_distributionIndex_visitor : public boost::static_visitor<std::vector<int>> {
public:
    /// a.va_distribution_index(r), with its messages. Local.
    template <typename T>
    std::vector<int> operator()(const va<T>& a, int r) const
    {
        return a.va_distribution_index(r);
    }
};

/// The elementwise sum of the held array with another array (any element
/// type) or with a scalar; the result array moves into the returned variant.
class Attribute_plusII_visitor : public boost::static_visitor<array_variant> {
public:
    /// a + b, as va::operator+ (collective, with its messages).
    template <typename T, typename U>
    array_variant operator()(const va<T>& a, const U& b) const
    {
        return array_variant(a + b);
    }
};

/// The elementwise product, as Attribute_plusII_visitor.
class Attribute_times_visitor : public boost::static_visitor<array_variant> {
public:
    /// a * b, as va::operator* (collective, with its messages).
    template <typename T, typename U>
    array_variant operator()(const va<T>& a, const U& b) const
    {
        return array_variant(a * b);
    }
};

/// A read-only view of this rank's block: the callable receives a pointer to
/// the first element and the local element count, in the array's own type.
template <typename F>
class Attribute_local_block_visitor : public boost::static_visitor<void> {
public:
    /// Calls `f`, which must outlive the visitor.
    explicit Attribute_local_block_visitor(F& f) : f_(f) {}

    /// f(a.va_local_data(), a.va_local_count()). Local.
    template <typename T>
    void operator()(const va<T>& a) const
    {
        f_(a.va_local_data(), a.va_local_count());
    }

private:
    F& f_;
};

#endif
