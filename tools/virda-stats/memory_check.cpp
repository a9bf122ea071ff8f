#include "memory_check.h"

#include "collective_error.h"

#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>

namespace virda_stats {

namespace {

/// The machine's memory and swap, in bytes; 0 when unknown. Local.
unsigned long long machine_bytes()
{
    struct sysinfo machine {};
    if (::sysinfo(&machine) != 0) {
        return 0;
    }
    return (static_cast<unsigned long long>(machine.totalram) + machine.totalswap) * machine.mem_unit;
}

/// The most bytes this process may still allocate under its own limits
/// (address space and data segment, less what it already uses); ULLONG_MAX
/// when it has none. Local.
unsigned long long limit_bytes()
{
    unsigned long long room = ULLONG_MAX;
    unsigned long long used = 0;
    {
        std::ifstream statm("/proc/self/statm");
        unsigned long long pages = 0;
        if (statm >> pages) {
            used = pages * static_cast<unsigned long long>(::sysconf(_SC_PAGESIZE));
        }
    }
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        struct rlimit limit {};
        if (::getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
            const unsigned long long cap = static_cast<unsigned long long>(limit.rlim_cur);
            room = std::min(room, cap > used ? cap - used : 0ULL);
        }
    }
    return room;
}

} // namespace

namespace {

/// The ranks of `comm` on this machine, which share its memory. Collective.
int ranks_on_this_machine(MPI_Comm comm)
{
    MPI_Comm node = MPI_COMM_NULL;
    int node_ranks = 1;
    if (MPI_Comm_split_type(comm, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &node) == MPI_SUCCESS &&
        node != MPI_COMM_NULL) {
        MPI_Comm_size(node, &node_ranks);
        MPI_Comm_free(&node);
    }
    return node_ranks;
}

/// Throws `what` with the limit that `need` bytes on this rank exceed, if any.
void refuse_beyond_limits(const std::string& what, unsigned long long need, int node_ranks, const char* advice)
{
    const unsigned long long limit = limit_bytes();
    if (need > limit) {
        throw tool_error(what + ", and a rank may allocate at most " + std::to_string(limit) + " more (" + advice +
                         ")");
    }
    const unsigned long long machine = machine_bytes();
    if (machine > 0 && need > machine / static_cast<unsigned long long>(node_ranks)) {
        throw tool_error(what + ", and the " + std::to_string(node_ranks) + " ranks on this machine share " +
                         std::to_string(machine) + " bytes of memory and swap (use more machines)");
    }
}

} // namespace

void check_memory_bytes(const dataset_shape& shape, unsigned long long bytes, MPI_Comm comm)
{
    int ranks = 1;
    MPI_Comm_size(comm, &ranks);
    const int node_ranks = ranks_on_this_machine(comm);
    const std::string what = "dataset '" + shape.name + "' does not fit in memory: its slabs within the memory "
                             "budget need " + std::to_string(bytes) + " bytes on each of " + std::to_string(ranks) +
                             " ranks";
    refuse_beyond_limits(what, bytes, node_ranks, "give a smaller --memory-budget or allow more memory");
}

} // namespace virda_stats
