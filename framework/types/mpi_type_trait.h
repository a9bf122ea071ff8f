#ifndef VIRDA_FRAMEWORK_TYPES_MPI_TYPE_TRAIT_H
#define VIRDA_FRAMEWORK_TYPES_MPI_TYPE_TRAIT_H

#include "framework/types/element_types.h"
#include "framework/types/non_c_d_md.h"

#include <mpi.h>

#include <vector>

/// The MPI datatype of an array element type. Make a temporary, call get()
/// once and keep the handle. Only the seven element types (and the sub-block
/// markers below) have a specialisation; any other type fails to compile.
template <typename T>
class mpi_type_trait;

#define VIRDA_DECLARE_ELEMENT_TRAIT(T) \
    template <>                        \
    class mpi_type_trait<T> {          \
    public:                            \
        MPI_Datatype type = MPI_DATATYPE_NULL; \
        MPI_Datatype get();            \
    };
VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_DECLARE_ELEMENT_TRAIT)
#undef VIRDA_DECLARE_ELEMENT_TRAIT

// The composite types (Vector2, Vector3, fftw_complex) map to committed
// contiguous runs of MPI_DOUBLE. They are built once per process, shared by
// every caller and released at the start of MPI_Finalize; callers must not free
// them. The plain types map to predefined handles.

/// Datatype of a rectangular sub-block of an enclosing array of T.
///
/// sizes: the extents of the enclosing array, dimension 0 the fastest-varying.
/// counts: how many elements of each dimension the sub-block spans (at least
/// as many entries as sizes; extra entries are ignored).
/// The result selects counts[0] consecutive elements per line, counts[1] lines
/// one line apart, counts[2] planes one plane apart, ..., starting at the first
/// element; its extent is the whole enclosing array. The caller owns the
/// committed handle and frees it with MPI_Type_free. The intermediate levels
/// are freed as soon as the level above them is committed.
/// Malformed lists (empty sizes, fewer counts than sizes, a negative count or
/// extent, or an enclosing array of more than 2^31 - 1 elements) are rejected
/// with one line on standard error and MPI_DATATYPE_NULL.
#define VIRDA_DECLARE_SUBBLOCK_TRAIT(T)                                              \
    template <>                                                                      \
    class mpi_type_trait<non_c_d_md<T>> {                                            \
    public:                                                                          \
        MPI_Datatype type = MPI_DATATYPE_NULL;                                       \
        MPI_Datatype get(std::vector<int> counts, std::vector<int> sizes);           \
    };
VIRDA_FOR_EACH_REAL_TYPE(VIRDA_DECLARE_SUBBLOCK_TRAIT)
#undef VIRDA_DECLARE_SUBBLOCK_TRAIT

#endif
