#include "framework/array/block_cache.h"

#include "framework/mpi/finalize_hook.h"

#include <cstdint>
#include <deque>

namespace virda_detail {
namespace {

// Blocks below this size are cheap to get and are never kept. Not much
// larger: two temporaries of 80 KB alive at once (a deviation and its
// square), freed together, are enough for malloc to give the top of its heap
// back to the system, and the next call faults every page in again, which
// took more time than the arithmetic itself at 10^4 elements.
constexpr MPI_Aint smallest_kept = 16 * 1024;
constexpr std::size_t most_blocks = 6;
constexpr MPI_Aint most_bytes = MPI_Aint(1) << 30;
// Linux never maps the first page (vm.mmap_min_addr is at least 4096).
constexpr std::uintptr_t lowest_mapped_address = 4096;

struct kept_block {
    void* block;
    MPI_Aint bytes;
};

// Oldest first. Never destroyed, so that arrays destroyed during static
// destruction still find it (empty by then: it is emptied at finalize).
std::deque<kept_block>& kept()
{
    static auto* blocks = new std::deque<kept_block>;
    return *blocks;
}
MPI_Aint kept_bytes = 0;

void free_all()
{
    for (const kept_block& b : kept()) {
        MPI_Free_mem(b.block);
    }
    kept().clear();
    kept_bytes = 0;
}

} // namespace

void* acquire_block(MPI_Aint bytes)
{
    auto& blocks = kept();
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
        if (it->bytes == bytes) {
            void* block = it->block;
            kept_bytes -= bytes;
            blocks.erase(std::next(it).base());
            return block;
        }
    }
    // Under memory pressure this MPICH's MPI_Alloc_mem can report success
    // and hand back a small bogus address (0x10) instead of an error; no
    // mapping ever lies in the first pages of the address space.
    void* block = nullptr;
    const int rc = MPI_Alloc_mem(bytes, MPI_INFO_NULL, &block);
    if (rc != MPI_SUCCESS || reinterpret_cast<std::uintptr_t>(block) < lowest_mapped_address) {
        return nullptr;
    }
    return block;
}

void release_block(void* block, MPI_Aint bytes)
{
    if (bytes < smallest_kept || bytes > most_bytes) {
        MPI_Free_mem(block);
        return;
    }
    auto& blocks = kept();
    while (!blocks.empty() && (blocks.size() >= most_blocks || kept_bytes + bytes > most_bytes)) {
        MPI_Free_mem(blocks.front().block);
        kept_bytes -= blocks.front().bytes;
        blocks.pop_front();
    }
    at_mpi_finalize(free_all);
    blocks.push_back(kept_block{block, bytes});
    kept_bytes += bytes;
}

} // namespace virda_detail
