#ifndef VIRDA_ENGINE_NUMBER_TYPE_H
#define VIRDA_ENGINE_NUMBER_TYPE_H

/// \file
/// The number types the engine reads in place: one row each. The Python
/// module (NumPy dtypes) and virda-stats (HDF5 types) take their element-type
/// facts from this table; adding a number type is adding a row and its
/// kernels' instantiations follow.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <type_traits>

/// X(type, name, floating, is_signed) for each number type, widest floats
/// first, then the signed and the unsigned integers by width.
///  type:      the C++ type of one value.
///  name:      the enumerator, as NumPy names the dtype.
///  floating:  1 for IEEE binary floating point (NaN and infinities exist).
///  is_signed: 1 when negative values exist.
#define VIRDA_NUMBER_TYPES(X)                 \
    /* type           name     float signed */ \
    X(double,         float64, 1,    1)        \
    X(float,          float32, 1,    1)        \
    X(std::int8_t,    int8,    0,    1)        \
    X(std::int16_t,   int16,   0,    1)        \
    X(std::int32_t,   int32,   0,    1)        \
    X(std::int64_t,   int64,   0,    1)        \
    X(std::uint8_t,   uint8,   0,    0)        \
    X(std::uint16_t,  uint16,  0,    0)        \
    X(std::uint32_t,  uint32,  0,    0)        \
    X(std::uint64_t,  uint64,  0,    0)

namespace virda::engine {

/// One number type of the table.
enum class number_type : int {
/// \cond internal
#define VIRDA_NUMBER_TYPE_ENUMERATOR(T, name, f, s) name,
    VIRDA_NUMBER_TYPES(VIRDA_NUMBER_TYPE_ENUMERATOR)
#undef VIRDA_NUMBER_TYPE_ENUMERATOR
/// \endcond
};

/// How many number types there are.
inline constexpr int number_type_count = 0
/// \cond internal
#define VIRDA_NUMBER_TYPE_COUNT(T, name, f, s) +1
    VIRDA_NUMBER_TYPES(VIRDA_NUMBER_TYPE_COUNT)
#undef VIRDA_NUMBER_TYPE_COUNT
    /// \endcond
    ;

/// The facts of one row.
struct number_type_facts {
    number_type type; ///< the row's number type
    const char* name; ///< as NumPy spells the dtype: "float64", "uint8", ...
    std::size_t size; ///< bytes of one value
    bool floating;    ///< a floating-point type (else an integer type)
    bool is_signed;   ///< a signed type (every floating type is)
};

/// Every row, in the table's order (indexable by the enumerator's value).
inline constexpr number_type_facts number_types[] = {
/// \cond internal
#define VIRDA_NUMBER_TYPE_FACTS(T, name, f, s) {number_type::name, #name, sizeof(T), f != 0, s != 0},
    VIRDA_NUMBER_TYPES(VIRDA_NUMBER_TYPE_FACTS)
#undef VIRDA_NUMBER_TYPE_FACTS
    /// \endcond
};

/// The facts of a number type.
constexpr const number_type_facts& facts_of(number_type t)
{
    return number_types[static_cast<int>(t)];
}

/// The number type of values described by their kind and size (as NumPy's
/// dtypes and HDF5's types describe them): false when the table has none.
constexpr bool number_type_with(bool floating, bool is_signed, std::size_t size, number_type* out)
{
    for (const number_type_facts& f : number_types) {
        if (f.floating == floating && (floating || f.is_signed == is_signed) && f.size == size) {
            *out = f.type;
            return true;
        }
    }
    return false;
}

/// The number type of the C++ type T; only the table's types have one.
template <typename T>
struct number_type_of;
/// \cond internal
#define VIRDA_NUMBER_TYPE_OF(T, name, f, s)                     \
    template <>                                                 \
    struct number_type_of<T> {                                  \
        static constexpr number_type value = number_type::name; \
    };
VIRDA_NUMBER_TYPES(VIRDA_NUMBER_TYPE_OF)
#undef VIRDA_NUMBER_TYPE_OF
/// \endcond

/// Whether T is one of the table's types.
template <typename T, typename = void>
struct is_number_type : std::false_type {
};
/// \cond internal
template <typename T>
struct is_number_type<T, std::void_t<decltype(number_type_of<T>::value)>> : std::true_type {
};
/// \endcond

/// Calls f with a null pointer to the C++ type of `t` (f(static_cast<T*>(nullptr))).
/// A value outside the enumeration is a fault of the caller: the process stops
/// rather than read values as another type.
template <typename F>
decltype(auto) visit_number_type(number_type t, F&& f)
{
    switch (t) {
/// \cond internal
#define VIRDA_NUMBER_TYPE_CASE(T, name, fl, s) \
    case number_type::name:                    \
        return f(static_cast<T*>(nullptr));
        VIRDA_NUMBER_TYPES(VIRDA_NUMBER_TYPE_CASE)
#undef VIRDA_NUMBER_TYPE_CASE
        /// \endcond
    }
    std::abort();
}

} // namespace virda::engine

#endif
