#include "framework/types/mpi_type_trait.h"

#include "framework/messages.h"
#include "framework/mpi/finalize_hook.h"

#include <climits>
#include <iostream>

namespace {

// The datatype of an element of `components` consecutive `base` values: the
// predefined handle itself for one, otherwise a committed contiguous type,
// built on first use, shared by every caller of this T and freed at the start
// of MPI_Finalize.
template <typename T>
MPI_Datatype element_datatype()
{
    using traits = virda_detail::element_traits<T>;
    if constexpr (traits::components == 1) {
        return traits::mpi_base();
    } else {
        static MPI_Datatype built = MPI_DATATYPE_NULL;
        if (built == MPI_DATATYPE_NULL) {
            MPI_Type_contiguous(traits::components, traits::mpi_base(), &built);
            MPI_Type_commit(&built);
            virda_detail::at_mpi_finalize([] {
                if (built != MPI_DATATYPE_NULL) {
                    MPI_Type_free(&built);
                }
            });
        }
        return built;
    }
}

MPI_Datatype sub_block(MPI_Datatype base, const std::vector<int>& counts, const std::vector<int>& sizes)
{
    // The enclosing array must be countable in an int, like every array of
    // the framework; that also keeps every slab's byte extent far inside
    // MPI_Aint.
    bool valid = !sizes.empty() && counts.size() >= sizes.size();
    long long elements = 1;
    for (std::size_t d = 0; valid && d < sizes.size(); ++d) {
        valid = counts[d] >= 0 && sizes[d] >= 0;
        elements *= valid ? sizes[d] : 0;
        valid = valid && elements <= INT_MAX;
    }
    if (!valid) {
        virda_messages::report(virda_messages::malformed_sub_block);
        return MPI_DATATYPE_NULL;
    }

    MPI_Aint lb = 0;
    MPI_Aint e = 0;
    MPI_Type_get_extent(base, &lb, &e);

    // Level d: counts[d] items of level d-1 (the base element for level 0),
    // resized to one full slab of the first d+1 dimensions.
    MPI_Datatype below = base;
    MPI_Aint slab = e;
    for (std::size_t d = 0; d < sizes.size(); ++d) {
        slab *= static_cast<MPI_Aint>(sizes[d]);
        MPI_Datatype run = MPI_DATATYPE_NULL;
        MPI_Datatype level = MPI_DATATYPE_NULL;
        MPI_Type_contiguous(counts[d], below, &run);
        MPI_Type_create_resized(run, 0, slab, &level);
        MPI_Type_commit(&level);
        MPI_Type_free(&run);
        if (below != base) {
            MPI_Type_free(&below);
        }
        below = level;
    }
    return below;
}

} // namespace

#define VIRDA_DEFINE_ELEMENT_TRAIT(T) \
    MPI_Datatype mpi_type_trait<T>::get() { return type = element_datatype<T>(); }
VIRDA_FOR_EACH_ELEMENT_TYPE(VIRDA_DEFINE_ELEMENT_TRAIT)
#undef VIRDA_DEFINE_ELEMENT_TRAIT

#define VIRDA_DEFINE_SUBBLOCK_TRAIT(T)                                                            \
    MPI_Datatype mpi_type_trait<non_c_d_md<T>>::get(std::vector<int> counts, std::vector<int> sizes) \
    {                                                                                             \
        return type = sub_block(virda_detail::element_traits<T>::mpi_base(), counts, sizes);      \
    }
VIRDA_FOR_EACH_REAL_TYPE(VIRDA_DEFINE_SUBBLOCK_TRAIT)
#undef VIRDA_DEFINE_SUBBLOCK_TRAIT
