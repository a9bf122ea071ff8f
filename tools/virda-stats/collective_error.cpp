#include "collective_error.h"

#include <vector>

namespace virda_stats {

void agree_or_throw(MPI_Comm comm, const std::string& local_failure, int local_exit_code)
{
    const place_in here(comm);
    const int rank = here.rank;
    const int ranks = here.ranks;

    // The lowest failing rank speaks for all; `ranks` stands for "nobody".
    const int mine = local_failure.empty() ? ranks : rank;
    int first = ranks;
    MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, comm);
    if (first == ranks) {
        return;
    }

    int header[2] = {static_cast<int>(local_failure.size()), local_exit_code};
    MPI_Bcast(header, 2, MPI_INT, first, comm);
    std::vector<char> text(local_failure.begin(), local_failure.end());
    text.resize(static_cast<std::size_t>(header[0]));
    if (header[0] > 0) {
        MPI_Bcast(text.data(), header[0], MPI_CHAR, first, comm);
    }
    throw tool_error(std::string(text.begin(), text.end()), header[1]);
}

} // namespace virda_stats
