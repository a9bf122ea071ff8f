#ifndef VIRDA_TEST_ALLOC_REFUSAL_H
#define VIRDA_TEST_ALLOC_REFUSAL_H

namespace virda_test {

/// Makes this process's nth MPI_Alloc_mem from now on (1: the next one) do
/// what this MPICH does under memory pressure: report success and hand back
/// the address 0x10. 0 refuses none. For programs that link
/// virda_alloc_refusal, whose MPI_Alloc_mem comes before the counter's and
/// MPI's. Local: every rank decides for itself which call it refuses.
void refuse_alloc_mem(long nth);

/// How many MPI_Alloc_mem calls are still to come before the refusal; 0 when
/// none is pending (it has happened, or none was asked for).
long alloc_refusal_pending();

} // namespace virda_test

#endif
