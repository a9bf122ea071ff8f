#ifndef VIRDA_FRAMEWORK_ARRAY_BLOCK_CACHE_H
#define VIRDA_FRAMEWORK_ARRAY_BLOCK_CACHE_H

#include <mpi.h>

namespace virda_detail {

/// MPI memory for array blocks. Large blocks that arrays release are kept for
/// reuse instead of being returned at once: every elementwise operation
/// creates a result of its operands' size, and fresh memory costs a page
/// fault per page on first touch, more than the operation itself. At most a
/// few blocks and 1 GiB are kept; all of them are returned at the start of
/// MPI_Finalize. Blocks are reused only for requests of exactly their size.

/// A block of `bytes` bytes from MPI_Alloc_mem, or a kept one of that size;
/// null when MPI could not provide it.
void* acquire_block(MPI_Aint bytes);

/// Hands a block from acquire_block back (keeps it, or frees it with
/// MPI_Free_mem).
void release_block(void* block, MPI_Aint bytes);

} // namespace virda_detail

#endif
