// Detects a program started by the launcher of another MPI implementation.
//
// Started that way (mpiexec of Open MPI for a program built with MPICH, or
// the other way round), each process initialises MPI as a job of its own:
// every one is rank 0 of one process, reads the whole file and writes the
// same output, and several at once would write one demo file over each
// other. Launchers tell their processes the job's size through the
// environment, which the program's own MPI does not read in that case.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace virda::frontend {

/// What a launcher said through the environment of this process.
struct foreign_launch {
    long processes; ///< how many processes the launcher started
    long rank;      ///< this process's place among them; -1 if it did not say
};

/// Looks up one environment variable; nullptr when it is not set.
using environment_lookup = std::function<const char*(const char*)>;

/// The launch, when a launcher started this program as one of several
/// processes but its MPI sees a job of `world_size` == 1; nothing otherwise.
/// Reads Open MPI's OMPI_COMM_WORLD_SIZE/RANK and the PMI_SIZE/RANK of
/// MPICH's launcher (and of other PMI launchers).
std::optional<foreign_launch> foreign_launch_of(int world_size, const environment_lookup& lookup);

/// The error message for such a launch, naming the MPI this program uses.
std::string foreign_launch_message(const foreign_launch& launch);

} // namespace virda::frontend
