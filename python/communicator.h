#ifndef VIRDA_PYTHON_COMMUNICATOR_H
#define VIRDA_PYTHON_COMMUNICATOR_H

// mpi4py communicators as MPI_Comm handles.

#include <pybind11/pybind11.h>

#include <mpi.h>

namespace virda_python {

/// An intracommunicator given from Python: the mpi4py object (kept so that
/// the handle stays valid as long as an array uses it), its handle, and this
/// process's rank and the number of processes in it.
struct communicator {
    pybind11::object object;
    MPI_Comm handle = MPI_COMM_NULL;
    int rank = 0;
    int size = 0;
};

/// Loads mpi4py's C API (importing mpi4py.MPI, which initialises MPI unless
/// mpi4py was told not to). Called once, when the module is imported.
void load_mpi4py_api();

/// The communicator `comm` names: an mpi4py.MPI.Comm that is an
/// intracommunicator, or None for mpi4py.MPI.COMM_WORLD. Raises TypeError for
/// anything else and ValueError for COMM_NULL or an intercommunicator. Local.
communicator communicator_of(pybind11::handle comm);

/// How two communicators' processes compare (MPI_Comm_compare; local).
enum class comm_relation {
    same_order,     ///< the same processes with the same ranks (identical or congruent)
    same_processes, ///< the same processes, ranked differently
    different,      ///< other processes
};
comm_relation relation_of(MPI_Comm a, MPI_Comm b);

} // namespace virda_python

#endif
