#include "frontend/launcher_check.h"

#include <mpi.h>

#include <cerrno>
#include <cstdlib>

namespace virda::frontend {

namespace {

#if defined(OPEN_MPI)
constexpr const char* this_mpi = "openmpi";
#elif defined(MPICH_VERSION)
constexpr const char* this_mpi = "mpich";
#else
#error "virda-stats is built with MPICH or Open MPI"
#endif

// A whole non-negative number, or -1.
long whole_number(const char* text)
{
    if (text == nullptr || *text < '0' || *text > '9') {
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    return (errno != 0 || *end != '\0') ? -1 : value;
}

} // namespace

std::optional<foreign_launch> foreign_launch_of(int world_size, const environment_lookup& lookup)
{
    if (world_size != 1) {
        return std::nullopt;
    }
    static const char* const variables[][2] = {
        {"OMPI_COMM_WORLD_SIZE", "OMPI_COMM_WORLD_RANK"},
        {"PMI_SIZE", "PMI_RANK"},
    };
    for (const auto& names : variables) {
        const long processes = whole_number(lookup(names[0]));
        if (processes > 1) {
            return foreign_launch{processes, whole_number(lookup(names[1]))};
        }
    }
    return std::nullopt;
}

std::string foreign_launch_message(const foreign_launch& launch)
{
    return "started as one of " + std::to_string(launch.processes) +
           " processes by the launcher of another MPI; this program uses MPI '" + this_mpi +
           "', for which each process would be a job of one, working alone. Start it with the "
           "mpiexec of '" + this_mpi + "' (on Debian: mpiexec." + this_mpi + ")";
}

} // namespace virda::frontend
