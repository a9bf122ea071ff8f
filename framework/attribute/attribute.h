#ifndef VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_H
#define VIRDA_FRAMEWORK_ATTRIBUTE_ATTRIBUTE_H

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
    /// Empty, with a Context of its own. No MPI call.
    Attribute();
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
    /// and its Context pointer. Self-assignment writes "what am i doing?";
    /// assignment from an Empty attribute is rejected and changes nothing.
    Attribute& operator=(const Attribute& other);
    /// As copy assignment, but takes over the source's array instead of
    /// copying it; the source is left Empty.
    Attribute& operator=(Attribute&& other) noexcept;

    /// Holds a copy of `v` (or takes it over, for an rvalue) and records its
    /// type code.
    void set_attribute(const array_variant& v);
    void set_attribute(array_variant&& v);
    /// Assigns a copy of the held array to `out`.
    void get_data(array_variant& out) const;
    int get_data_type() const { return data_type; }
    /// Elements of the held array over all ranks (the same on every rank).
    int size() const;
    void set_context(Context* c) { context = c; }
    Context* get_context_pointer() const { return context; }

    /// Global element i, read from whichever rank holds it, in the array's
    /// own element type. Not collective.
    VV1 operator[](int i);
    /// Copies global elements lo..hi (inclusive) into buf when the held element
    /// type is exactly T (double, int or float); otherwise writes "WARNING:
    /// attribute not returned. Type mismatch" and leaves buf alone. Returns 1.
    /// Not collective.
    template <typename T>
    int get(int lo, int hi, T* buf);
    /// The global indices [*first, *last] that `rank` holds (*last = *first - 1
    /// when it holds none). Returns 0. Local.
    int get_gen_distribution_index(int rank, int* first, int* last);

    /// Elementwise sum and product with another attribute or a scalar; the
    /// result has this attribute's shape and Context. Collective.
    Attribute operator+(const Attribute& other) const;
    Attribute operator*(const Attribute& other) const;
    Attribute operator+(scalar_variant s) const;
    Attribute operator*(scalar_variant s) const;

    /// The held array, or null when Empty. For code that dispatches on the
    /// element type itself (with boost::apply_visitor).
    const array_variant* held() const { return data; }

private:
    explicit Attribute(Context* shared_context);
    bool holds_array(const char* operation) const;
    /// Whether `other` may be assigned to this attribute: not itself (writes
    /// "what am i doing?") and holding an array (writes the no-array line).
    bool assignable_from(const Attribute& other) const;

    array_variant* data;
    std::string label;
    Context* context;
    int data_type;
};

#endif
