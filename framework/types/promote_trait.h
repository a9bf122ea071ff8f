#ifndef VIRDA_FRAMEWORK_TYPES_PROMOTE_TRAIT_H
#define VIRDA_FRAMEWORK_TYPES_PROMOTE_TRAIT_H

/// \file
/// promote_trait: the element types of the results of array arithmetic.

#include "framework/types/element_types.h"

#include <type_traits>

namespace virda_detail {

/// The element table's facts that arithmetic depends on: a plain type's
/// position in char < int < float < double (-1 for the composite types), and
/// which composites are vectors (no scalar operand) and which complex.
template <typename T>
constexpr int plain_rank = element_traits<T>::plain_rank;
template <typename T>
constexpr bool is_plain = plain_rank<T> >= 0;
template <typename T>
constexpr bool is_vector = !is_plain<T> && !element_traits<T>::is_scalar;
template <typename T>
constexpr bool is_complex = !is_plain<T> && element_traits<T>::is_scalar;

/// The plain element type whose rank (the table's rank column) is k: void
/// when the table has none.
template <int k, typename List>
struct plain_of_rank_in {
    using type = void;
};
template <int k, typename First, typename... Rest>
struct plain_of_rank_in<k, type_list<First, Rest...>> {
    using type =
        std::conditional_t<plain_rank<First> == k, First, typename plain_of_rank_in<k, type_list<Rest...>>::type>;
};
template <int k>
using plain_of_rank = typename plain_of_rank_in<k, element_type_list>::type;

/// Whether no two plain rows of the table share a rank: a shared rank would
/// make the result of arithmetic with the second of them the first's type.
template <typename List>
struct plain_ranks_distinct;
template <typename... Ts>
struct plain_ranks_distinct<type_list<Ts...>> {
    static constexpr bool value = ((!is_plain<Ts> || std::is_same_v<plain_of_rank<plain_rank<Ts>>, Ts>)&&...);
};
static_assert(plain_ranks_distinct<element_type_list>::value,
              "each plain element type needs a rank of its own in the element table");

/// Result element type of T + U, by these rules, in order:
///  - two plain types: the plain type of the higher rank of the two, at
///    least int's (so char with char or int gives int);
///  - a vector type on either side: that vector type, except Vector2 with
///    Vector3, which gives the right operand's type;
///  - fftw_complex on either side (the other plain or complex): fftw_complex.
template <typename T, typename U>
struct sum_type {
    static constexpr int plain_max = plain_rank<T> > plain_rank<U> ? plain_rank<T> : plain_rank<U>;
    static constexpr int result_rank = plain_max > plain_rank<int> ? plain_max : plain_rank<int>;
    using type = std::conditional_t<
        is_plain<T> && is_plain<U>, plain_of_rank<result_rank>,
        std::conditional_t<is_vector<T> && is_vector<U>, U,
                           std::conditional_t<is_vector<T>, T, std::conditional_t<is_vector<U>, U, fftw_complex>>>>;
    static_assert(!std::is_void_v<type>, "every rank of a plain type names one plain element type");
};

/// Result element type of T * U: as for the sum, except that the product of
/// two Vector3 is their dot product, a double.
template <typename T, typename U>
struct product_type {
    using type = std::conditional_t<std::is_same_v<T, Vector3> && std::is_same_v<U, Vector3>, double,
                                    typename sum_type<T, U>::type>;
};

} // namespace virda_detail

/// Element types of the results of elementwise arithmetic between an array of
/// T (left) and an array or scalar of U (right): T_promote for the sum,
/// T_promote_pr for the product. Defined for every ordered pair of the seven
/// element types, whether or not the operation itself is defined for the pair.
template <typename T, typename U>
struct promote_trait {
    static_assert(virda_detail::is_element_type<T> && virda_detail::is_element_type<U>,
                  "promote_trait is defined for the seven array element types only");
    /// Element type of T + U: for two of double, float, int, char the higher of
    /// char < int < float < double and at least int; with a vector type on
    /// either side that vector type (Vector2 with Vector3 gives the right
    /// operand's); otherwise fftw_complex.
    using T_promote = typename virda_detail::sum_type<T, U>::type;
    /// Element type of T * U: as T_promote, except that Vector3 * Vector3 is
    /// their dot product, a double.
    using T_promote_pr = typename virda_detail::product_type<T, U>::type;
};

namespace virda_detail {

/// The element types whose arrays take part in arithmetic with numbers: the
/// plain types that are also scalar operands (double, float, int; not char)
/// and the complex type.
template <typename T>
constexpr bool is_arithmetic_element = element_traits<T>::is_scalar;

/// Whether elementwise sum and product of an array of T with an array of U
/// compute anything: both arithmetic elements (double, float, int,
/// fftw_complex), or the same vector type on both sides. Every other pair
/// gives an all-zero result.
template <typename T, typename U>
constexpr bool array_pair_defined = is_arithmetic_element<T> ? is_arithmetic_element<U>
                                                             : (is_vector<T>&& std::is_same_v<T, U>);

/// Whether sum and product of an array of T with a scalar of type U compute
/// anything: arithmetic-element arrays take every scalar type, a Vector2
/// array a double or float scalar, a Vector3 array a double scalar, a char
/// array nothing.
template <typename T, typename U>
constexpr bool scalar_pair_defined = is_arithmetic_element<T> ? true
                                     : std::is_same_v<T, Vector2>
                                         ? (std::is_same_v<U, double> || std::is_same_v<U, float>)
                                         : (std::is_same_v<T, Vector3>&& std::is_same_v<U, double>);

} // namespace virda_detail

#endif
