#ifndef VIRDA_TOOLS_VIRDA_STATS_HELD_TYPES_H
#define VIRDA_TOOLS_VIRDA_STATS_HELD_TYPES_H

// The element types the tool holds values in, and how each stored HDF5 type
// maps onto one of them. Everything that must cover every held type (the
// kinds, their names, the HDF5 memory layout, the explicit instantiations,
// the dispatch on a dataset's kind) is generated from the two tables below.

#include "framework/types/vector2.h"
#include "framework/types/vector3.h"

#include "engine/number_type.h"

#include <hdf5.h>
#include <mpi.h>

#include <string>

namespace virda_stats {

/// X(A, T, kind, HDF5 memory type, MPI type) for each number type that a
/// dataset's values are held in, A passed through; `kind` is its
/// element_kind.
#define VIRDA_STATS_NUMBER_TYPES(X, A)                   \
    X(A, double, float64, H5T_NATIVE_DOUBLE, MPI_DOUBLE) \
    X(A, float, float32, H5T_NATIVE_FLOAT, MPI_FLOAT)    \
    X(A, int, int32, H5T_NATIVE_INT, MPI_INT)

/// X(A, T, components) for each vector type that a float table of width 2
/// or 3 is held in: `components` packed doubles per row.
#define VIRDA_STATS_VECTOR_TYPES(X, A) \
    X(A, Vector2, 2)                   \
    X(A, Vector3, 3)

/// \cond internal
#define VIRDA_STATS_NUMBER_ROW(M, T, kind, h5, mpi) M(T)
#define VIRDA_STATS_VECTOR_ROW(M, T, components) M(T)
/// \endcond
/// M(T) for the number types (double, float, int).
#define VIRDA_STATS_FOR_EACH_NUMBER_TYPE(M) VIRDA_STATS_NUMBER_TYPES(VIRDA_STATS_NUMBER_ROW, M)
/// M(T) for every held type: the numbers, then Vector2 and Vector3.
#define VIRDA_STATS_FOR_EACH_HELD_TYPE(M) \
    VIRDA_STATS_FOR_EACH_NUMBER_TYPE(M) VIRDA_STATS_VECTOR_TYPES(VIRDA_STATS_VECTOR_ROW, M)

/// The number types the tool holds values in. HDF5 converts every stored
/// number type to one of them while reading:
///   8-, 16- and 32-bit signed and 8- and 16-bit unsigned integers -> int
///   32-bit unsigned and 64-bit integers                         -> double
///   16- and 32-bit floats -> float; 64-bit and extended floats   -> double
/// Enumerations are read as their integer values, bit fields as unsigned
/// integers of their width.
enum class element_kind {
#define VIRDA_STATS_KIND(A, T, kind, h5, mpi) kind,
    VIRDA_STATS_NUMBER_TYPES(VIRDA_STATS_KIND, )
#undef VIRDA_STATS_KIND
};

/// How a held type is laid out in HDF5 memory and in MPI messages:
/// `components` values of the native type per element (one per row of a
/// dataset). Vector2 and Vector3 are two and three packed doubles.
template <typename T>
struct h5_element;
#define VIRDA_STATS_ELEMENT(T, h5, mpi, n)             \
    template <>                                        \
    struct h5_element<T> {                             \
        static hid_t type() { return h5; }             \
        static MPI_Datatype mpi_type() { return mpi; } \
        static constexpr int components = n;           \
        static constexpr const char* name = #T;        \
    };
#define VIRDA_STATS_NUMBER_ELEMENT(A, T, kind, h5, mpi) VIRDA_STATS_ELEMENT(T, h5, mpi, 1)
#define VIRDA_STATS_VECTOR_ELEMENT(A, T, n) VIRDA_STATS_ELEMENT(T, H5T_NATIVE_DOUBLE, MPI_DOUBLE, n)
VIRDA_STATS_NUMBER_TYPES(VIRDA_STATS_NUMBER_ELEMENT, )
VIRDA_STATS_VECTOR_TYPES(VIRDA_STATS_VECTOR_ELEMENT, )
#undef VIRDA_STATS_NUMBER_ELEMENT
#undef VIRDA_STATS_VECTOR_ELEMENT
#undef VIRDA_STATS_ELEMENT

/// Whether T is one of the number types.
template <typename T>
inline constexpr bool is_number_type = false;
#define VIRDA_STATS_IS_NUMBER(T) \
    template <>                  \
    inline constexpr bool is_number_type<T> = true;
VIRDA_STATS_FOR_EACH_NUMBER_TYPE(VIRDA_STATS_IS_NUMBER)
#undef VIRDA_STATS_IS_NUMBER

/// Stands for the type T in a call of visit_kind's function.
template <typename T>
struct type_tag {
    using type = T;
};

/// f(type_tag<T>{}) for the number type T of `kind`; every kind's call must
/// return the same type.
template <typename F>
decltype(auto) visit_kind(element_kind kind, F&& f)
{
    switch (kind) {
#define VIRDA_STATS_VISIT(A, T, k, h5, mpi) \
    case element_kind::k:                   \
        return f(type_tag<T>{});
        VIRDA_STATS_NUMBER_TYPES(VIRDA_STATS_VISIT, )
#undef VIRDA_STATS_VISIT
    }
    return f(type_tag<double>{}); // not reached: every kind has a case
}

/// The name of the number type of `kind`: "double", "float" or "int".
const char* kind_name(element_kind kind);

/// What a stored number type is read as.
struct stored_number {
    /// The type the values are held in.
    element_kind kind = element_kind::float64;
    /// The stored type: "int8" ... "uint64", "float16" ... "float128",
    /// "enum of int16", "bitfield32".
    std::string stored = "float64";
    /// Integers of more than 53 bits (64-bit): doubles hold them exactly only
    /// up to 2^53 in magnitude, so a read counts the values beyond.
    bool wide_integers = false;
    /// For a bit field (read as an unsigned integer): its size in bytes (1,
    /// 2, 4 or 8); 0 for numbers. HDF5 does not convert bit fields to numbers,
    /// so they are read as they are and widened in place.
    int bitfield_bytes = 0;
    /// The engine's number type that the statistics read slabs in: the
    /// stored integer type itself where the engine has it and it is not
    /// wider than 32 bits (no conversion to a wider type on the way), else
    /// the held type's.
    virda::engine::number_type read_type = virda::engine::number_type::float64;
};

/// The engine's number type of a held number type (the same C++ type).
virda::engine::number_type held_number_type(element_kind kind);

/// Fills `out` for the HDF5 type `type`; false for a type the tool does not
/// read. HDF5 converts any integer or float layout (byte order, width,
/// extended precision) to the native held type while reading. Local.
bool classify(hid_t type, stored_number& out);

/// What values of `type` are, for a refusal: "strings", "64-bit floats",
/// "compound records", ... Local.
std::string describe_type(hid_t type);

} // namespace virda_stats

#endif
