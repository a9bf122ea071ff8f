#ifndef VIRDA_PYTHON_MPI_ENVIRONMENT_H
#define VIRDA_PYTHON_MPI_ENVIRONMENT_H

// Whether this process's MPI is one the module can work with: the MPI that
// mpi4py runs on must be the module's own, and MPI must be running (mpi4py
// initialises and finalises it; the module never does).

#include <pybind11/pybind11.h>

namespace virda_python {

/// Raises ImportError when `mpi` (the imported mpi4py.MPI) runs on another
/// MPI implementation or another build of it than the module, or when this
/// process was started by another MPI's launcher (then every process is a
/// job of one). Local: decided from what mpi4py and the environment say, the
/// same on every process of a job, before any communication.
void check_mpi4py_matches(const pybind11::module_& mpi);

/// Raises RuntimeError unless MPI is initialised and not yet finalised. Local.
void require_mpi_running();

/// Whether MPI_Finalize has run. Local; allowed at any time.
bool mpi_finalized();

/// Raises RuntimeError naming `what` unless an MPI call returned MPI_SUCCESS.
void check_mpi(int rc, const char* what);

} // namespace virda_python

#endif
