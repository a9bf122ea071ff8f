#ifndef VIRDA_FRAMEWORK_TYPES_ELEMENT_TYPES_H
#define VIRDA_FRAMEWORK_TYPES_ELEMENT_TYPES_H

/// \file
/// The seven element types of a distributed array, one row each. Everything
/// that must cover all of them (type codes, which are numbers, MPI datatypes,
/// explicit instantiations, the dispatch of the statistics) is generated from
/// this table; adding an element type is adding a row (and its operators).
#include "framework/types/complex_operators.h"
#include "framework/types/vector2.h"
#include "framework/types/vector3.h"

#include <mpi.h>

#include <type_traits>

/// X(A, type, code, real, scalar, rank, mpi_base, components) for each element
/// type, A passed through unchanged.
///  code:       the attribute's type code (get_data_type); 0 means no array.
///  real:       1 when the elements are numbers that convert exactly to double
///              (range reads, VV1's conversion, the statistics, the element
///              loops); 0 otherwise. The real rows come first, widest first:
///              their position among the real rows numbers them in the loops'
///              tables (kernel_index).
///  scalar:     1 when the type is also a scalar operand of array arithmetic.
///  rank:       the plain number types' order char < int < float < double,
///              which decides the result type of arithmetic between them; -1
///              for the composite types (a vector when not scalar, the
///              complex type when scalar).
///  mpi_base, components: the element is `components` consecutive mpi_base
///              values; more than one makes a committed contiguous datatype.
/// The rows' order is the order of generated lists; it is not the order of
/// array_variant or element_variant, which are fixed separately.
#define VIRDA_ELEMENT_TABLE(X, A)                               \
    /*   type          code real scalar rank MPI base  n */     \
    X(A, double,       3,   1,   1,     3,   MPI_DOUBLE, 1)     \
    X(A, float,        2,   1,   1,     2,   MPI_FLOAT,  1)     \
    X(A, int,          1,   1,   1,     1,   MPI_INT,    1)     \
    X(A, char,         4,   0,   0,     0,   MPI_CHAR,   1)     \
    X(A, Vector2,      6,   0,   0,     -1,  MPI_DOUBLE, 2)     \
    X(A, Vector3,      7,   0,   0,     -1,  MPI_DOUBLE, 3)     \
    X(A, fftw_complex, 5,   0,   1,     -1,  MPI_DOUBLE, 2)

// Lists drawn from the table: M(T) for every element type, for the real
// types, for the scalar operand types, and M(T, U) for every ordered pair.
/// \cond internal
#define VIRDA_ROW_ALL(M, T, code, real, scalar, rank, base, n) M(T)
#define VIRDA_ROW_REAL(M, T, code, real, scalar, rank, base, n) VIRDA_WHEN_##real(M(T))
#define VIRDA_ROW_SCALAR(M, T, code, real, scalar, rank, base, n) VIRDA_WHEN_##scalar(M(T))
#define VIRDA_WHEN_1(...) __VA_ARGS__
#define VIRDA_WHEN_0(...)
/// \endcond

/// M(T) for every element type T, in the table's order.
#define VIRDA_FOR_EACH_ELEMENT_TYPE(M) VIRDA_ELEMENT_TABLE(VIRDA_ROW_ALL, M)
/// M(T) for the real element types (double, float, int).
#define VIRDA_FOR_EACH_REAL_TYPE(M) VIRDA_ELEMENT_TABLE(VIRDA_ROW_REAL, M)
/// M(T) for the scalar operand types (double, float, int, fftw_complex).
#define VIRDA_FOR_EACH_SCALAR_TYPE(M) VIRDA_ELEMENT_TABLE(VIRDA_ROW_SCALAR, M)

// Pairs walk the table inside itself. The preprocessor does not expand a macro
// within its own expansion, so the inner walk is deferred by one scan and the
// outer EXPAND gives it that scan.
/// \cond internal
#define VIRDA_EMPTY()
#define VIRDA_DEFER(m) m VIRDA_EMPTY()
#define VIRDA_EXPAND(...) __VA_ARGS__
#define VIRDA_ELEMENT_TABLE_INDIRECT() VIRDA_ELEMENT_TABLE
#define VIRDA_UNPACK(...) __VA_ARGS__
#define VIRDA_PAIR_CALL(M, T, U) M(T, U)
#define VIRDA_PAIR_APPLY(...) VIRDA_PAIR_CALL(__VA_ARGS__)
#define VIRDA_ROW_PAIR_INNER(MT, U, code, real, scalar, rank, base, n) VIRDA_PAIR_APPLY(VIRDA_UNPACK MT, U)
#define VIRDA_ROW_PAIR_INNER_SCALAR(MT, U, code, real, scalar, rank, base, n) \
    VIRDA_WHEN_##scalar(VIRDA_PAIR_APPLY(VIRDA_UNPACK MT, U))
#define VIRDA_ROW_PAIR_OUTER(M, T, code, real, scalar, rank, base, n) \
    VIRDA_DEFER(VIRDA_ELEMENT_TABLE_INDIRECT)()(VIRDA_ROW_PAIR_INNER, (M, T))
#define VIRDA_ROW_SCALAR_PAIR_OUTER(M, T, code, real, scalar, rank, base, n) \
    VIRDA_DEFER(VIRDA_ELEMENT_TABLE_INDIRECT)()(VIRDA_ROW_PAIR_INNER_SCALAR, (M, T))
/// \endcond
/// M(T, U) for every element type T and every element type U.
#define VIRDA_FOR_EACH_ELEMENT_PAIR(M) VIRDA_EXPAND(VIRDA_ELEMENT_TABLE(VIRDA_ROW_PAIR_OUTER, M))
/// M(T, U) for every element type T and every scalar operand type U.
#define VIRDA_FOR_EACH_ELEMENT_SCALAR_PAIR(M) VIRDA_EXPAND(VIRDA_ELEMENT_TABLE(VIRDA_ROW_SCALAR_PAIR_OUTER, M))

/// \cond internal
namespace virda_detail {

template <typename... Ts>
struct type_list {
};

/// The table's facts about one element type; only the table's types have one.
template <typename T>
struct element_traits;

#define VIRDA_ELEMENT_TRAITS(A, T, c, r, s, k, base, n)              \
    template <>                                                      \
    struct element_traits<T> {                                       \
        static constexpr int code = c;                               \
        static constexpr bool is_real = r;                           \
        static constexpr bool is_scalar = s;                         \
        static constexpr int plain_rank = k;                         \
        static constexpr int components = n;                         \
        static MPI_Datatype mpi_base() { return base; }              \
    };
VIRDA_ELEMENT_TABLE(VIRDA_ELEMENT_TRAITS, )
#undef VIRDA_ELEMENT_TRAITS

/// Whether an element type converts to a double value.
template <typename T>
constexpr bool is_real = element_traits<std::remove_cv_t<T>>::is_real;

/// Whether the element type behind an attribute's type code converts to double.
constexpr bool is_real_code(int code)
{
#define VIRDA_REAL_CODE(A, T, c, r, s, k, base, n) || (r && code == c)
    return false VIRDA_ELEMENT_TABLE(VIRDA_REAL_CODE, );
#undef VIRDA_REAL_CODE
}

#define VIRDA_LIST_ITEM(T) , T
template <typename... Ts>
struct drop_first;
template <typename First, typename... Ts>
struct drop_first<First, Ts...> {
    using type = type_list<Ts...>;
};
/// Every element type, and the scalar operand types, as type lists.
using element_type_list = drop_first<void VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_LIST_ITEM)>::type;
using scalar_type_list = drop_first<void VIRDA_FOR_EACH_SCALAR_TYPE(VIRDA_LIST_ITEM)>::type;
using real_type_list = drop_first<void VIRDA_FOR_EACH_REAL_TYPE(VIRDA_LIST_ITEM)>::type;
#undef VIRDA_LIST_ITEM

/// The position of T in a type list, -1 when it is not there.
template <typename T, typename List>
struct index_in;
template <typename T, typename... Ts>
struct index_in<T, type_list<Ts...>> {
    static constexpr int value = [] {
        int i = 0;
        int found = -1;
        ((found = (found < 0 && std::is_same_v<T, Ts>) ? i : found, ++i), ...);
        return found;
    }();
};

/// The number of a real element type in the element loops' tables: its
/// position among the table's real rows (0 double, 1 float, 2 int); -1 for
/// the other element types.
template <typename T>
constexpr int kernel_index = index_in<T, real_type_list>::value;
template <typename T>
constexpr bool is_kernel_type = kernel_index<T> >= 0;

/// Whether T is one of the table's element types.
template <typename T>
constexpr bool is_element_type = index_in<T, element_type_list>::value >= 0;

/// type_list<W<T>...> for the types T of a type list.
template <template <typename> class W, typename List>
struct wrap_each_list;
template <template <typename> class W, typename... Ts>
struct wrap_each_list<W, type_list<Ts...>> {
    using type = type_list<W<Ts>...>;
};
template <template <typename> class W, typename List>
using wrap_each = typename wrap_each_list<W, List>::type;

/// Whether Variant's alternatives are exactly the types of List, in any order:
/// the fixed variant orders differ from the table's.
template <typename List, typename Variant>
struct same_types;
template <typename... Ts, template <typename...> class V, typename... Vs>
struct same_types<type_list<Ts...>, V<Vs...>> {
    template <typename T>
    static constexpr int count_in_table = (0 + ... + (std::is_same_v<T, Ts> ? 1 : 0));
    static constexpr bool value = sizeof...(Ts) == sizeof...(Vs) && ((count_in_table<Vs> == 1) && ...);
};

} // namespace virda_detail
/// \endcond

#endif
