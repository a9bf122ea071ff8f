#ifndef VIRDA_FRAMEWORK_ARRAY_VA_ARITHMETIC_H
#define VIRDA_FRAMEWORK_ARRAY_VA_ARITHMETIC_H

// Elementwise sum and product of arrays, with arrays or with scalars.
// Included by the one source that instantiates every pair of element types.
#include "framework/messages.h"
#include "framework/array/va_impl.h"
#include "framework/simd/array_kernels.h"

#include <algorithm>
#include <iostream>

namespace virda_detail {

/// Wrapping int arithmetic: an int result that overflows wraps around instead
/// of being undefined.
inline int wrap_add(int a, int b) { return static_cast<int>(static_cast<unsigned>(a) + static_cast<unsigned>(b)); }
inline int wrap_mul(int a, int b) { return static_cast<int>(static_cast<unsigned>(a) * static_cast<unsigned>(b)); }

/// x + y for a sum, x * y for a product.
template <bool Product, typename X, typename Y>
auto apply(const X& x, const Y& y)
{
    if constexpr (Product) {
        return x * y;
    } else {
        return x + y;
    }
}

/// a OP b for an element a of the left array and an element b of the right
/// array, of result type R. Only for the defined pairs.
template <bool Product, typename R, typename A, typename B>
R element_combine(const A& a, const B& b)
{
    if constexpr (is_plain<A> && is_plain<B>) {
        if constexpr (std::is_same_v<R, int>) {
            return Product ? wrap_mul(a, b) : wrap_add(a, b);
        } else {
            return apply<Product>(static_cast<R>(a), static_cast<R>(b));
        }
    } else if constexpr (is_complex<A> && is_plain<B>) {
        return apply<Product>(a, static_cast<double>(b)); // sum (re + b, im); product (re b, im b)
    } else if constexpr (is_plain<A> && is_complex<B>) {
        return apply<Product>(static_cast<double>(a), b); // sum (a + re, 0 + im); product (a re, a im)
    } else if constexpr (Product && std::is_same_v<A, Vector2>) {
        return Vector2(a * b); // the dot product in both components
    } else {
        // Sum: complex with complex, or a vector with the same vector.
        // Product: the complex product, or the dot product of two Vector3.
        return apply<Product>(a, b);
    }
}

/// a OP s for an element a of the array and the scalar s. Only for defined pairs.
template <bool Product, typename R, typename A, typename S>
R element_scalar_combine(const A& a, const S& s)
{
    if constexpr (is_plain<A> && is_complex<S>) {
        return apply<Product>(s, static_cast<double>(a)); // sum (s.re + a, s.im); product (s.re a, s.im a)
    } else if constexpr (is_vector<A>) {
        return apply<Product>(static_cast<double>(s), a); // s added to, or times, every component
    } else {
        return element_combine<Product, R>(a, s);
    }
}

/// Writes the lines of an undefined operation; a product with a scalar writes
/// only the first.
inline void report_undefined(bool product, bool with_array)
{
    if (product) {
        virda_messages::report(virda_messages::product_undefined);
        if (with_array) {
            virda_messages::report(virda_messages::product_gives_zero);
        }
    } else {
        virda_messages::report(virda_messages::sum_undefined);
        virda_messages::report(virda_messages::sum_gives_zero);
    }
}

/// The sum (Product false) or the product: its element rules and which it is
/// (for the messages and the kernels).
template <bool Product>
struct operation {
    static constexpr bool product = Product;
    template <typename R, typename A, typename B>
    static R with_array(const A& a, const B& b) { return element_combine<Product, R>(a, b); }
    template <typename R, typename A, typename S>
    static R with_scalar(const A& a, const S& s) { return element_scalar_combine<Product, R>(a, s); }
};
using sum_operation = operation<false>;
using product_operation = operation<true>;

// Both create the result with the left operand's extents and communicator
// (one collective window creation), fill this rank's block from the operands'
// blocks at the same local offsets, and publish it with va_sync before
// returning, so any rank may read any element of the result at once.
// Collective over the left operand's communicator.

/// A new array of R shaped as `left` whose local block fill(out, n) writes,
/// published. An array that could not be created is returned as it is.
template <typename R, typename T, typename Fill>
va<R> new_result(const va<T>& left, Fill fill)
{
    va<R> result(left.va_get_dimensions(), left.va_get_comm());
    if (result.va_local_count() != left.va_local_count()) {
        return result; // not created, on every rank alike (it said so)
    }
    fill(result.va_local_data(), left.va_local_count());
    result.va_sync();
    return result;
}

/// An undefined pair's result block: zeros, and the operation's messages.
template <typename R>
void fill_undefined(R* out, int n, bool product, bool with_array)
{
    std::fill(out, out + n, R{});
    report_undefined(product, with_array);
}

/// left OP right, element by element, as a new array of R.
template <typename Operation, typename R, typename T, typename U>
va<R> combine(const va<T>& left, const va<U>& right)
{
    return new_result<R>(left, [&](R* out, int n) {
        if constexpr (array_pair_defined<T, U>) {
            // Equal extents over the same communicator mean equal
            // distributions; the block sizes are compared as well so that
            // arrays over different communicators can never be read past
            // their blocks.
            if (left.va_get_dimensions() != right.va_get_dimensions() || right.va_local_count() != n) {
                virda_messages::report(virda_messages::dimension_mismatch);
                std::fill(out, out + n, R{});
                return;
            }
            const T* a = left.va_local_data();
            const U* b = right.va_local_data();
            if constexpr (is_kernel_type<T> && is_kernel_type<U>) {
                // double, float and int: the vectorised loop of the host's path.
                static_assert(std::is_same_v<R, kernel_result_t<T, U>>, "plain pairs promote as the kernels do");
                run_array_kernel<Operation::product>(a, b, out, static_cast<std::size_t>(n));
            } else {
                for (int i = 0; i < n; ++i) {
                    out[i] = Operation::template with_array<R>(a[i], b[i]);
                }
            }
        } else {
            fill_undefined(out, n, Operation::product, true);
        }
    });
}

/// left OP s for every element, as a new array of R.
template <typename Operation, typename R, typename T, typename S>
va<R> combine(const va<T>& left, S s)
{
    return new_result<R>(left, [&](R* out, int n) {
        if constexpr (scalar_pair_defined<T, S>) {
            const T* a = left.va_local_data();
            if constexpr (is_kernel_type<T> && is_kernel_type<S>) {
                static_assert(std::is_same_v<R, kernel_result_t<T, S>>, "plain pairs promote as the kernels do");
                run_scalar_kernel<Operation::product>(a, s, out, static_cast<std::size_t>(n));
            } else {
                for (int i = 0; i < n; ++i) {
                    out[i] = Operation::template with_scalar<R>(a[i], s);
                }
            }
        } else {
            fill_undefined(out, n, Operation::product, false);
        }
    });
}

} // namespace virda_detail

template <typename T>
template <typename U>
va<typename promote_trait<T, U>::T_promote> va<T>::operator+(const va<U>& other) const
{
    return virda_detail::combine<virda_detail::sum_operation, typename promote_trait<T, U>::T_promote>(*this, other);
}

template <typename T>
template <typename U>
va<typename promote_trait<T, U>::T_promote_pr> va<T>::operator*(const va<U>& other) const
{
    return virda_detail::combine<virda_detail::product_operation, typename promote_trait<T, U>::T_promote_pr>(*this,
                                                                                                            other);
}

template <typename T>
template <typename U, typename>
va<typename promote_trait<T, U>::T_promote> va<T>::operator+(U s) const
{
    return virda_detail::combine<virda_detail::sum_operation, typename promote_trait<T, U>::T_promote>(*this, s);
}

template <typename T>
template <typename U, typename>
va<typename promote_trait<T, U>::T_promote_pr> va<T>::operator*(U s) const
{
    return virda_detail::combine<virda_detail::product_operation, typename promote_trait<T, U>::T_promote_pr>(*this,
                                                                                                            s);
}

#endif
