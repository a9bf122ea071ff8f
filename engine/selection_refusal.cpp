#include "engine/selection_refusal.h"

#include "engine/selection_round_sum.h"

namespace virda::engine::detail {

error refused()
{
    return error(error_code::out_of_memory, "selection: some rank was refused the memory a round of the search needs");
}

[[noreturn]] void stand_in_and_throw(std::size_t n, std::uint64_t flags, MPI_Comm comm)
{
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    std::uint64_t summed_flags = 0;
    if (ranks > 1 && stand_in_sum(n, flags, summed_flags, comm) != MPI_SUCCESS) {
        throw error(error_code::mpi_failure, "selection: the reduction of a round's counts failed");
    }
    throw refused();
}

} // namespace virda::engine::detail
