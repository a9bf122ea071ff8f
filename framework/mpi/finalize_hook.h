#ifndef VIRDA_FRAMEWORK_MPI_FINALIZE_HOOK_H
#define VIRDA_FRAMEWORK_MPI_FINALIZE_HOOK_H

namespace virda_detail {

/// Runs `release` at the start of MPI_Finalize, while MPI calls are still
/// allowed. MPI runs the delete callbacks of attributes set on MPI_COMM_SELF
/// first thing in MPI_Finalize; the first registration sets one such attribute.
/// Callbacks run once, in the order they were registered. Needs MPI to be
/// initialised. Registering the same function twice runs it once.
void at_mpi_finalize(void (*release)());

} // namespace virda_detail

#endif
