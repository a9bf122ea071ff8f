#ifndef VIRDA_FRAMEWORK_TYPES_MPI_TYPE_TRAIT_H
#define VIRDA_FRAMEWORK_TYPES_MPI_TYPE_TRAIT_H

/// \file
/// mpi_type_trait: the MPI datatype of an element type or of a sub-block.

#include "framework/types/element_types.h"
#include "framework/types/non_c_d_md.h"

#include <mpi.h>

#include <vector>

/// The MPI datatype of an array element type. Make a temporary, call get()
/// once and keep the handle. Only the seven element types (and the sub-block
/// markers non_c_d_md<T> of the real types) have a specialisation; any other
/// type fails to compile.
///
/// Every specialisation for an element type has the public members
///
///     MPI_Datatype type = MPI_DATATYPE_NULL;  // set by get()
///     MPI_Datatype get();                     // the element's datatype
///
/// get() returns MPI_DOUBLE, MPI_FLOAT, MPI_INT or MPI_CHAR for the plain
/// types. The composite types (Vector2, Vector3, fftw_complex) map to
/// committed contiguous runs of MPI_DOUBLE, built at the first get() of the
/// process, shared by every caller and released at the start of MPI_Finalize;
/// callers must not free them. get() makes no collective call and may be
/// called on any rank at any time between MPI_Init and MPI_Finalize.
///
/// The specialisations for non_c_d_md<T> (T = double, float, int) have the
/// same `type` member and
///
///     MPI_Datatype get(std::vector<int> counts, std::vector<int> sizes);
///
/// which builds the datatype of a rectangular sub-block of an enclosing array
/// of T. sizes: the extents of the enclosing array, dimension 0 the
/// fastest-varying. counts: how many elements of each dimension the sub-block
/// spans (at least as many entries as sizes; extra entries are ignored). The
/// result selects counts[0] consecutive elements per line, counts[1] lines one
/// line apart, counts[2] planes one plane apart, ..., starting at the first
/// element; its extent is the whole enclosing array. The caller owns the
/// committed handle and frees it with MPI_Type_free. Malformed lists (empty
/// sizes, fewer counts than sizes, a negative count or extent, or an enclosing
/// array of more than 2^31 - 1 elements) write `malformed_sub_block` on the
/// calling rank and give MPI_DATATYPE_NULL. Local: no collective call.
template <typename T>
class mpi_type_trait;

/// \cond internal
#define VIRDA_DECLARE_ELEMENT_TRAIT(T) \
    template <>                        \
    class mpi_type_trait<T> {          \
    public:                            \
        MPI_Datatype type = MPI_DATATYPE_NULL; \
        MPI_Datatype get();            \
    };
VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_DECLARE_ELEMENT_TRAIT)
#undef VIRDA_DECLARE_ELEMENT_TRAIT
/// \endcond

/// \cond internal
// The sub-block specialisations, as described above.
#define VIRDA_DECLARE_SUBBLOCK_TRAIT(T)                                              \
    template <>                                                                      \
    class mpi_type_trait<non_c_d_md<T>> {                                            \
    public:                                                                          \
        MPI_Datatype type = MPI_DATATYPE_NULL;                                       \
        MPI_Datatype get(std::vector<int> counts, std::vector<int> sizes);           \
    };
VIRDA_FOR_EACH_REAL_TYPE(VIRDA_DECLARE_SUBBLOCK_TRAIT)
#undef VIRDA_DECLARE_SUBBLOCK_TRAIT
/// \endcond

#endif
