#include "wide_integers.h"

#include <cmath>

namespace virda_stats {

long long count_beyond_exact(const double* values, std::size_t count, MPI_Comm comm)
{
    constexpr double exact_limit = 9007199254740992.0; // 2^53
    long long beyond = 0;
    for (std::size_t i = 0; i < count; ++i) {
        beyond += std::fabs(values[i]) >= exact_limit ? 1 : 0;
    }
    MPI_Allreduce(MPI_IN_PLACE, &beyond, 1, MPI_LONG_LONG, MPI_SUM, comm);
    return beyond;
}

} // namespace virda_stats
