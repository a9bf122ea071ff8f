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

/// a + b for an element a of the left array and an element b of the right
/// array, of result type R. Only for the defined pairs.
template <typename R, typename A, typename B>
R element_sum(const A& a, const B& b)
{
    if constexpr (is_plain<A> && is_plain<B>) {
        if constexpr (std::is_same_v<R, int>) {
            return wrap_add(a, b);
        } else {
            return static_cast<R>(a) + static_cast<R>(b);
        }
    } else if constexpr (is_complex<A> && is_plain<B>) {
        return a + static_cast<double>(b); // (re + b, im)
    } else if constexpr (is_plain<A> && is_complex<B>) {
        return static_cast<double>(a) + b; // (a + re, 0 + im)
    } else {
        return a + b; // complex with complex, or a vector with the same vector
    }
}

template <typename R, typename A, typename B>
R element_product(const A& a, const B& b)
{
    if constexpr (is_plain<A> && is_plain<B>) {
        if constexpr (std::is_same_v<R, int>) {
            return wrap_mul(a, b);
        } else {
            return static_cast<R>(a) * static_cast<R>(b);
        }
    } else if constexpr (is_complex<A> && is_plain<B>) {
        return a * static_cast<double>(b); // (re b, im b)
    } else if constexpr (is_plain<A> && is_complex<B>) {
        return static_cast<double>(a) * b; // (a re, a im)
    } else if constexpr (std::is_same_v<A, Vector2>) {
        return Vector2(a * b); // the dot product in both components
    } else {
        return a * b; // complex product, or the dot product of two Vector3
    }
}

/// a + s for an element a of the array and the scalar s. Only for defined pairs.
template <typename R, typename A, typename S>
R element_scalar_sum(const A& a, const S& s)
{
    if constexpr (is_plain<A> && is_complex<S>) {
        return s + static_cast<double>(a); // (s.re + a, s.im)
    } else if constexpr (is_vector<A>) {
        return static_cast<double>(s) + a; // s added to every component
    } else {
        return element_sum<R>(a, s);
    }
}

template <typename R, typename A, typename S>
R element_scalar_product(const A& a, const S& s)
{
    if constexpr (is_plain<A> && is_complex<S>) {
        return s * static_cast<double>(a); // (s.re a, s.im a)
    } else if constexpr (is_vector<A>) {
        return static_cast<double>(s) * a; // every component times s
    } else {
        return element_product<R>(a, s);
    }
}

/// Writes the lines of an undefined operation; a product with a scalar writes
/// only the first.
inline void report_undefined(bool product, bool with_array)
{
    if (product) {
        std::cerr << virda_messages::product_undefined << std::endl;
        if (with_array) {
            std::cerr << virda_messages::product_gives_zero << std::endl;
        }
    } else {
        std::cerr << virda_messages::sum_undefined << std::endl;
        std::cerr << virda_messages::sum_gives_zero << std::endl;
    }
}

/// The sum: its element rules and whether it is a product (for the messages).
struct sum_operation {
    static constexpr bool product = false;
    template <typename R, typename A, typename B>
    static R with_array(const A& a, const B& b) { return element_sum<R>(a, b); }
    template <typename R, typename A, typename S>
    static R with_scalar(const A& a, const S& s) { return element_scalar_sum<R>(a, s); }
};

/// The product, as sum_operation.
struct product_operation {
    static constexpr bool product = true;
    template <typename R, typename A, typename B>
    static R with_array(const A& a, const B& b) { return element_product<R>(a, b); }
    template <typename R, typename A, typename S>
    static R with_scalar(const A& a, const S& s) { return element_scalar_product<R>(a, s); }
};

// Both create the result with the left operand's extents and communicator
// (one collective window creation), fill this rank's block from the operands'
// blocks at the same local offsets, and publish it with va_sync before
// returning, so any rank may read any element of the result at once.
// Collective over the left operand's communicator.

/// left OP right, element by element, as a new array of R.
template <typename Operation, typename R, typename T, typename U>
va<R> combine(const va<T>& left, const va<U>& right)
{
    const std::vector<int> dims = left.va_get_dimensions();
    va<R> result(dims, left.va_get_comm());
    if (result.va_local_count() != left.va_local_count()) {
        return result; // not created, on every rank alike (it said so)
    }
    const int n = left.va_local_count();
    R* out = result.va_local_data();
    if constexpr (array_pair_defined<T, U>) {
        // Equal extents over the same communicator mean equal distributions;
        // the block sizes are compared as well so that arrays over different
        // communicators can never be read past their blocks.
        if (dims != right.va_get_dimensions() || right.va_local_count() != n) {
            std::cerr << virda_messages::dimension_mismatch << std::endl;
            std::fill(out, out + n, R{});
        } else {
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
        }
    } else {
        std::fill(out, out + n, R{});
        report_undefined(Operation::product, true);
    }
    result.va_sync();
    return result;
}

/// left OP s for every element, as a new array of R.
template <typename Operation, typename R, typename T, typename S>
va<R> combine(const va<T>& left, S s)
{
    va<R> result(left.va_get_dimensions(), left.va_get_comm());
    if (result.va_local_count() != left.va_local_count()) {
        return result; // not created, on every rank alike (it said so)
    }
    const int n = left.va_local_count();
    R* out = result.va_local_data();
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
        std::fill(out, out + n, R{});
        report_undefined(Operation::product, false);
    }
    result.va_sync();
    return result;
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
