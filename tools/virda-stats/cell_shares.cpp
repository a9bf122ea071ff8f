#include "cell_shares.h"

#include "cell_moments.h"
#include "collective_error.h"

#include <limits>

namespace virda_stats {

share_layout::share_layout(std::size_t cells, std::size_t width, int ranks)
    : counts(static_cast<std::size_t>(ranks)), displacements(static_cast<std::size_t>(ranks))
{
    if (cells * width > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
        throw tool_error("reduce keeps too many cells in one group to gather their statistics");
    }
    for (int r = 0; r < ranks; ++r) {
        const auto share = float_cell_moments::share_of(cells, ranks, r);
        counts[static_cast<std::size_t>(r)] = static_cast<int>(share.second * width);
        displacements[static_cast<std::size_t>(r)] = static_cast<int>(share.first * width);
    }
}

void gather_shares(void* records, MPI_Datatype type, const share_layout& layout, MPI_Comm comm)
{
    if (MPI_Allgatherv(MPI_IN_PLACE, 0, MPI_DATATYPE_NULL, records, layout.counts.data(),
                       layout.displacements.data(), type, comm) != MPI_SUCCESS) {
        throw tool_error("gathering the statistics of reduce over the ranks failed");
    }
}

} // namespace virda_stats
