#ifndef VIRDA_FRAMEWORK_RUNTIME_VIRDA_GLOBALS_H
#define VIRDA_FRAMEWORK_RUNTIME_VIRDA_GLOBALS_H

#include <mpi.h>

/// \file
/// The job's communicator and rank, defined by the framework runtime that the
/// loading program carries; the statistics library only reads them, at every
/// use.

/// The communicator spanning every rank of the job, numbered as
/// MPI_COMM_WORLD. Default-constructed arrays are distributed over it and the
/// statistics' collectives run on it.
extern MPI_Comm VIRDA_COMM;

/// This process's rank in VIRDA_COMM.
extern int VIRDA_ID;

#endif
