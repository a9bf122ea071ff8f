#include "framework/types/mpi_type_trait.h"

#include "framework/mpi/finalize_hook.h"

#include <climits>
#include <iostream>

namespace {

// Handles of the composite element datatypes, built on first use. Index:
// 0 Vector2, 1 Vector3, 2 fftw_complex.
MPI_Datatype composite_types[3] = {MPI_DATATYPE_NULL, MPI_DATATYPE_NULL, MPI_DATATYPE_NULL};

void free_composite_types()
{
    for (auto& t : composite_types) {
        if (t != MPI_DATATYPE_NULL) {
            MPI_Type_free(&t);
        }
    }
}

MPI_Datatype doubles(int slot, int n)
{
    MPI_Datatype& t = composite_types[slot];
    if (t == MPI_DATATYPE_NULL) {
        MPI_Type_contiguous(n, MPI_DOUBLE, &t);
        MPI_Type_commit(&t);
        virda_detail::at_mpi_finalize(free_composite_types);
    }
    return t;
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
        std::cerr << "ERROR in mpi_type_trait:malformed sub-block counts or sizes.No datatype built"
                  << std::endl;
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

MPI_Datatype mpi_type_trait<double>::get() { return type = MPI_DOUBLE; }
MPI_Datatype mpi_type_trait<float>::get() { return type = MPI_FLOAT; }
MPI_Datatype mpi_type_trait<int>::get() { return type = MPI_INT; }
MPI_Datatype mpi_type_trait<char>::get() { return type = MPI_CHAR; }
MPI_Datatype mpi_type_trait<Vector2>::get() { return type = doubles(0, 2); }
MPI_Datatype mpi_type_trait<Vector3>::get() { return type = doubles(1, 3); }
MPI_Datatype mpi_type_trait<fftw_complex>::get() { return type = doubles(2, 2); }

MPI_Datatype mpi_type_trait<non_c_d_md<double>>::get(std::vector<int> counts, std::vector<int> sizes)
{
    return type = sub_block(MPI_DOUBLE, counts, sizes);
}
MPI_Datatype mpi_type_trait<non_c_d_md<int>>::get(std::vector<int> counts, std::vector<int> sizes)
{
    return type = sub_block(MPI_INT, counts, sizes);
}
MPI_Datatype mpi_type_trait<non_c_d_md<float>>::get(std::vector<int> counts, std::vector<int> sizes)
{
    return type = sub_block(MPI_FLOAT, counts, sizes);
}
