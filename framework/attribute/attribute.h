#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_H

/// \file
/// The type-erased attribute handle Attribute. Its lines on standard error
/// are named by their ids in virda_messages (framework/messages.h).

#include "framework/attribute/array_variant.h"
#include "framework/attribute/scalar_variant.h"
#include "framework/attribute/vv1.h"
#include "framework/runtime/context.h"

#include <string>

/// A type-erased handle to one distributed array of any element type.
///
/// An attribute is Empty (holds no array, type code 0) until an array is
/// stored in it with set_attribute or assignment; from then on it holds one
/// array, of any element type, until it is destroyed. It points at a Context
/// that it never destroys; results of arithmetic share their left operand's.
///
/// Operations that create, copy or release arrays (set_attribute, get_data,
/// assignment, copy, arithmetic, destruction of a holding attribute) are
/// collective over the held array's communicator: every rank calls them on
/// attributes of the same element types and shapes, in the same order.
///
/// An Empty attribute passed where an array is needed (size, get_data,
/// operator[], get, get_gen_distribution_index, arithmetic) is rejected with
/// one line on standard error and a neutral result: 0, an unchanged output, a
/// zero value, an empty range, or an Empty result.
class Attribute {
public:
    /// Empty, with a Context of its own. No MPI call. Contexts are never
    /// destroyed: each default-constructed attribute leaves one byte behind
    /// (the framework's Context is an empty class) for the life of the process.
    Attribute();
    /// Empty, pointing at `shared_context`, which the caller keeps alive (the
    /// attribute never destroys it): for results that share an operand's
    /// Context without making one. No MPI call.
    explicit Attribute(Context* shared_context);
    /// Holds a copy of the source's array (collective), with its type code and
    /// Context pointer. A copy of an Empty attribute is Empty.
    Attribute(const Attribute& other);
    /// Takes over the source's array; the source is left Empty (it keeps its
    /// Context pointer). No MPI call.
    Attribute(Attribute&& other) noexcept;
    /// Releases the held array. After MPI_Finalize the arrays have already
    /// been released by MPI_Finalize itself, and no MPI call is made other than
    /// MPI_Finalized.
    ~Attribute();

    /// Makes this attribute hold a copy of the source's array, its type code
    /// and its Context pointer. Self-assignment writes `self_assignment`;
    /// assignment from an Empty attribute is rejected and changes nothing.
    Attribute& operator=(const Attribute& other);
    /// As copy assignment, but takes over the source's array instead of
    /// copying it; the source is left Empty.
    Attribute& operator=(Attribute&& other) noexcept;

    /// Holds a copy of `v` and records its type code. Collective over v's
    /// communicator (the copy creates a window; copying into an array of the
    /// same shape only copies this rank's block).
    void set_attribute(const array_variant& v);
    /// Takes over `v`'s array (no window is created; `v` is left empty) and
    /// records its type code. Collective only when this attribute already held
    /// an array, which is released.
    void set_attribute(array_variant&& v);
    /// Assigns a copy of the held array to `out` (collective, as va's copy
    /// assignment). On an Empty attribute writes `no_array_held` and leaves
    /// `out` alone.
    void get_data(array_variant& out) const;
    /// The type code of the held array (see type_code): 3 double, 2 float,
    /// 1 int, 4 char, 6 Vector2, 7 Vector3, 5 fftw_complex; 0 when Empty. Local.
    int get_data_type() const { return data_type; }
    /// Elements of the held array over all ranks (the same on every rank).
    /// Local. On an Empty attribute writes `no_array_held` and returns 0.
    int size() const;
    /// Points this attribute at `c`, which the caller keeps alive; the
    /// attribute never destroys it.
    void set_context(Context* c) { context = c; }
    /// The Context this attribute points at.
    Context* get_context_pointer() const { return context; }

    /// Global element i, read from whichever rank holds it, in the array's own
    /// element type. Not collective. An index outside the array writes
    /// `index_too_large` and gives a zero value; an Empty attribute writes
    /// `no_array_held` and gives the double 0.
    VV1 operator[](int i);
    /// Copies global elements lo..hi (inclusive) into buf when the held element
    /// type is exactly T (double, int or float); otherwise writes
    /// `type_mismatch` and leaves buf alone. A range outside the array writes
    /// the messages of va::va_get and leaves buf alone. Returns 1. Not
    /// collective: each rank reads for itself.
    template <typename T>
    int get(int lo, int hi, T* buf);
    /// The global indices [*first, *last] that `rank` holds (*last = *first - 1
    /// when it holds none), as va::va_distribution_index, whose messages it
    /// writes. An Empty attribute writes `no_array_held` and gives {0, -1}.
    /// Returns 0. Local.
    int get_gen_distribution_index(int rank, int* first, int* last);

    /// Elementwise sum with another attribute of the same shape and
    /// distribution: a new attribute with this one's shape and Context whose
    /// element type follows promote_trait. Collective over the arrays'
    /// communicator (the result's window); every rank gets its own block of the
    /// result. Pairs of element types that cannot be added write
    /// `sum_undefined` and `sum_gives_zero` and give zeros; arrays of different
    /// extents write `dimension_mismatch` and give zeros. An Empty operand
    /// writes `no_array_held` and gives an Empty result.
    Attribute operator+(const Attribute& other) const;
    /// Elementwise product, as operator+ (a Vector3 times a Vector3 is their
    /// dot product, a double); undefined pairs write `product_undefined` and
    /// `product_gives_zero`, Empty operands the operator* form of the no-array
    /// line.
    Attribute operator*(const Attribute& other) const;
    /// `s` added to every element; collective and with the messages of the
    /// attribute form (a scalar the element type does not take gives zeros).
    Attribute operator+(scalar_variant s) const;
    /// Every element times `s`; collective. An undefined pair writes only
    /// `product_undefined` and gives zeros.
    Attribute operator*(scalar_variant s) const;

    /// The held array, or null when Empty. For code that dispatches on the
    /// element type itself (with boost::apply_visitor).
    const array_variant* held() const { return data; }

private:
    bool holds_array(const char* operation) const;
    /// Whether `other` may be assigned to this attribute: not itself (writes
    /// `self_assignment`) and holding an array (writes the no-array line).
    bool assignable_from(const Attribute& other) const;

    array_variant* data;
    std::string label; // empty, never read: kept for the framework's record layout
    Context* context;
    int data_type;
};

#endif
