// Counts MPI resources through MPI's profiling interface. Test programs load
// this library ahead of MPI, so every MPI_Xxx defined here wins symbol
// resolution, for calls from the program and from the shared libraries it
// loads alike; each one counts and forwards to PMPI_Xxx.
//
// Problems are written to stderr, one line each, prefixed "virda_mpi_counter:":
//  - windows, derived datatypes or MPI_Alloc_mem blocks still alive once
//    MPI_Finalize has run the MPI_COMM_SELF attribute callbacks (where code
//    releases what is still alive) and again after MPI_Finalize returned;
//  - any wrapped MPI call made after MPI_Finalize returned (destructors too).
// A process with a problem leaves with status 3 when it exits.

#include "virda_test/mpi_counts.h"

#include <mpi.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

// Every function wrapped here; each one counts as a post-finalize call.
#define VIRDA_WRAPPED_FUNCTIONS(X)                                                    \
    X(MPI_Init) X(MPI_Init_thread) X(MPI_Finalize)                                    \
    X(MPI_Win_create) X(MPI_Win_allocate) X(MPI_Win_create_dynamic)                   \
    X(MPI_Win_allocate_shared) X(MPI_Win_free)                                        \
    X(MPI_Type_contiguous) X(MPI_Type_vector) X(MPI_Type_create_hvector)              \
    X(MPI_Type_indexed) X(MPI_Type_create_hindexed) X(MPI_Type_create_indexed_block)  \
    X(MPI_Type_create_hindexed_block) X(MPI_Type_create_struct)                       \
    X(MPI_Type_create_resized) X(MPI_Type_create_subarray) X(MPI_Type_dup)            \
    X(MPI_Type_free) X(MPI_Type_commit) X(MPI_Type_size) X(MPI_Type_get_extent)       \
    X(MPI_Alloc_mem) X(MPI_Free_mem)                                                  \
    X(MPI_Get) X(MPI_Win_lock) X(MPI_Win_unlock) X(MPI_Win_sync)                      \
    X(MPI_Barrier) X(MPI_Allreduce) X(MPI_Reduce)                                     \
    X(MPI_Comm_rank) X(MPI_Comm_size)                                                 \
    X(MPI_Comm_set_attr) X(MPI_Comm_create_keyval) X(MPI_Comm_free_keyval)

namespace {

enum Function : int {
#define VIRDA_ENUMERATE(name) fn_##name,
    VIRDA_WRAPPED_FUNCTIONS(VIRDA_ENUMERATE)
#undef VIRDA_ENUMERATE
    function_count
};

const char* const function_names[function_count] = {
#define VIRDA_NAME(name) #name,
    VIRDA_WRAPPED_FUNCTIONS(VIRDA_NAME)
#undef VIRDA_NAME
};

enum Counter : int {
    windows_created, windows_freed, types_created, types_freed, mem_allocated, mem_freed,
    gets, locks, unlocks, barriers, allreduces, reduces, counter_count
};

std::atomic<long> counters[counter_count];
std::atomic<long> post_finalize_calls[function_count];
std::atomic<bool> finalize_returned{false};

// Rank in MPI_COMM_WORLD, kept for messages written after MPI_Finalize.
int world_rank = -1;
int teardown_keyval = MPI_KEYVAL_INVALID;
std::atomic<bool> problem_found{false};

constexpr int problem_exit_status = 3;

struct Resource {
    const char* what;
    Counter created;
    Counter freed;
};

constexpr Resource resources[] = {
    {"MPI window(s)", windows_created, windows_freed},
    {"derived datatype(s)", types_created, types_freed},
    {"MPI_Alloc_mem block(s)", mem_allocated, mem_freed},
};

// The counts of the last balance check, so that a second check at a later
// point repeats nothing when nothing changed in between.
bool balance_checked = false;
long checked_counts[counter_count];

void check_balance()
{
    bool changed = !balance_checked;
    for (int c = 0; c < counter_count; ++c) {
        changed = changed || checked_counts[c] != counters[c].load();
        checked_counts[c] = counters[c].load();
    }
    balance_checked = true;
    if (!changed) {
        return;
    }
    for (const Resource& r : resources) {
        const long created = checked_counts[r.created];
        const long freed = checked_counts[r.freed];
        if (created == freed) {
            continue;
        }
        problem_found = true;
        if (created > freed) {
            std::fprintf(stderr,
                         "virda_mpi_counter: rank %d: %ld %s not freed by MPI_Finalize "
                         "(created %ld, freed %ld)\n",
                         world_rank, created - freed, r.what, created, freed);
        } else {
            std::fprintf(stderr,
                         "virda_mpi_counter: rank %d: %ld more %s freed than created "
                         "(created %ld, freed %ld)\n",
                         world_rank, freed - created, r.what, created, freed);
        }
    }
}

// Set on MPI_COMM_SELF right after MPI_Init, so its delete callback is the
// last one MPI_Finalize runs (they run in reverse order of setting): whatever
// other code releases from its own callbacks has been released by then, and
// MPI has not yet torn anything down (a live window makes it abort later).
int check_at_self_teardown(MPI_Comm, int, void*, void*)
{
    check_balance();
    PMPI_Comm_free_keyval(&teardown_keyval);
    return MPI_SUCCESS;
}

void after_init()
{
    PMPI_Comm_rank(MPI_COMM_WORLD, &world_rank);
    PMPI_Comm_create_keyval(MPI_COMM_NULL_COPY_FN, check_at_self_teardown, &teardown_keyval,
                            nullptr);
    PMPI_Comm_set_attr(MPI_COMM_SELF, teardown_keyval, nullptr);
}

// False once MPI_Finalize has returned: the call is then recorded (and named
// on stderr the first time) but not passed on, since MPI would abort on it.
bool allowed(Function f)
{
    if (!finalize_returned.load()) {
        return true;
    }
    problem_found = true;
    if (post_finalize_calls[f]++ == 0) {
        std::fprintf(stderr, "virda_mpi_counter: rank %d: %s called after MPI_Finalize\n",
                     world_rank, function_names[f]);
    }
    return false;
}

int count_if_done(int rc, Counter c)
{
    if (rc == MPI_SUCCESS) {
        ++counters[c];
    }
    return rc;
}

// Runs when the process exits, after every atexit handler and static
// destructor, so it also sees MPI calls made by destructors.
__attribute__((destructor)) void check_at_exit()
{
    if (!problem_found.load()) {
        return;
    }
    std::fprintf(stderr,
                 "virda_mpi_counter: rank %d: exiting with status %d because of the MPI "
                 "resource problems above\n",
                 world_rank, problem_exit_status);
    std::fflush(nullptr); // _exit skips the flushing of stdio buffers
#ifdef OPEN_MPI
    // Open MPI's launcher ends the whole job once one process exits with a
    // non-zero status, and would kill the other ranks before they have
    // reported (it has no setting that waits for them and still returns the
    // status). Ranks leave MPI_Finalize together, so a pause on this failing
    // path lets every rank's report out first.
    sleep(2);
#endif
    _exit(problem_exit_status);
}

} // namespace

namespace virda_test {

MpiCounts mpi_counts()
{
    MpiCounts c;
    c.windows_created = counters[windows_created];
    c.windows_freed = counters[windows_freed];
    c.types_created = counters[types_created];
    c.types_freed = counters[types_freed];
    c.mem_allocated = counters[mem_allocated];
    c.mem_freed = counters[mem_freed];
    c.gets = counters[gets];
    c.locks = counters[locks];
    c.unlocks = counters[unlocks];
    c.barriers = counters[barriers];
    c.allreduces = counters[allreduces];
    c.reduces = counters[reduces];
    for (const auto& calls : post_finalize_calls) {
        c.post_finalize_calls += calls;
    }
    return c;
}

MpiCounts operator-(const MpiCounts& later, const MpiCounts& earlier)
{
    MpiCounts d;
    d.windows_created = later.windows_created - earlier.windows_created;
    d.windows_freed = later.windows_freed - earlier.windows_freed;
    d.types_created = later.types_created - earlier.types_created;
    d.types_freed = later.types_freed - earlier.types_freed;
    d.mem_allocated = later.mem_allocated - earlier.mem_allocated;
    d.mem_freed = later.mem_freed - earlier.mem_freed;
    d.gets = later.gets - earlier.gets;
    d.locks = later.locks - earlier.locks;
    d.unlocks = later.unlocks - earlier.unlocks;
    d.barriers = later.barriers - earlier.barriers;
    d.allreduces = later.allreduces - earlier.allreduces;
    d.reduces = later.reduces - earlier.reduces;
    d.post_finalize_calls = later.post_finalize_calls - earlier.post_finalize_calls;
    return d;
}

} // namespace virda_test

// Referenced from every program that links the counter (counter_anchor.cpp),
// so that a linker dropping unreferenced libraries (--as-needed) keeps it.
extern "C" void virda_mpi_counter_anchor() {}

extern "C" {

// Start and end.

int MPI_Init(int* argc, char*** argv)
{
    if (!allowed(fn_MPI_Init)) return MPI_ERR_OTHER;
    const int rc = PMPI_Init(argc, argv);
    after_init();
    return rc;
}

int MPI_Init_thread(int* argc, char*** argv, int required, int* provided)
{
    if (!allowed(fn_MPI_Init_thread)) return MPI_ERR_OTHER;
    const int rc = PMPI_Init_thread(argc, argv, required, provided);
    after_init();
    return rc;
}

int MPI_Finalize(void)
{
    if (!allowed(fn_MPI_Finalize)) return MPI_ERR_OTHER;
    const int rc = PMPI_Finalize();
    finalize_returned = true;
    check_balance();
    return rc;
}

// Windows.

int MPI_Win_create(void* base, MPI_Aint size, int disp_unit, MPI_Info info, MPI_Comm comm,
                   MPI_Win* win)
{
    if (!allowed(fn_MPI_Win_create)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Win_create(base, size, disp_unit, info, comm, win),
                         windows_created);
}

int MPI_Win_allocate(MPI_Aint size, int disp_unit, MPI_Info info, MPI_Comm comm, void* baseptr,
                     MPI_Win* win)
{
    if (!allowed(fn_MPI_Win_allocate)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Win_allocate(size, disp_unit, info, comm, baseptr, win),
                         windows_created);
}

int MPI_Win_create_dynamic(MPI_Info info, MPI_Comm comm, MPI_Win* win)
{
    if (!allowed(fn_MPI_Win_create_dynamic)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Win_create_dynamic(info, comm, win), windows_created);
}

int MPI_Win_allocate_shared(MPI_Aint size, int disp_unit, MPI_Info info, MPI_Comm comm,
                            void* baseptr, MPI_Win* win)
{
    if (!allowed(fn_MPI_Win_allocate_shared)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Win_allocate_shared(size, disp_unit, info, comm, baseptr, win),
                         windows_created);
}

int MPI_Win_free(MPI_Win* win)
{
    if (!allowed(fn_MPI_Win_free)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Win_free(win), windows_freed);
}

// Derived datatypes.

int MPI_Type_contiguous(int count, MPI_Datatype oldtype, MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_contiguous)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_contiguous(count, oldtype, newtype), types_created);
}

int MPI_Type_vector(int count, int blocklength, int stride, MPI_Datatype oldtype,
                    MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_vector)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_vector(count, blocklength, stride, oldtype, newtype),
                         types_created);
}

int MPI_Type_create_hvector(int count, int blocklength, MPI_Aint stride, MPI_Datatype oldtype,
                            MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_create_hvector)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_create_hvector(count, blocklength, stride, oldtype, newtype),
                         types_created);
}

int MPI_Type_indexed(int count, const int array_of_blocklengths[],
                     const int array_of_displacements[], MPI_Datatype oldtype,
                     MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_indexed)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_indexed(count, array_of_blocklengths, array_of_displacements,
                                           oldtype, newtype),
                         types_created);
}

int MPI_Type_create_hindexed(int count, const int array_of_blocklengths[],
                             const MPI_Aint array_of_displacements[], MPI_Datatype oldtype,
                             MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_create_hindexed)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_create_hindexed(count, array_of_blocklengths,
                                                   array_of_displacements, oldtype, newtype),
                         types_created);
}

int MPI_Type_create_indexed_block(int count, int blocklength, const int array_of_displacements[],
                                  MPI_Datatype oldtype, MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_create_indexed_block)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_create_indexed_block(count, blocklength,
                                                        array_of_displacements, oldtype, newtype),
                         types_created);
}

int MPI_Type_create_hindexed_block(int count, int blocklength,
                                   const MPI_Aint array_of_displacements[], MPI_Datatype oldtype,
                                   MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_create_hindexed_block)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_create_hindexed_block(count, blocklength,
                                                         array_of_displacements, oldtype,
                                                         newtype),
                         types_created);
}

int MPI_Type_create_struct(int count, const int array_of_blocklengths[],
                           const MPI_Aint array_of_displacements[],
                           const MPI_Datatype array_of_types[], MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_create_struct)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_create_struct(count, array_of_blocklengths,
                                                 array_of_displacements, array_of_types, newtype),
                         types_created);
}

int MPI_Type_create_resized(MPI_Datatype oldtype, MPI_Aint lb, MPI_Aint extent,
                            MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_create_resized)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_create_resized(oldtype, lb, extent, newtype), types_created);
}

int MPI_Type_create_subarray(int ndims, const int array_of_sizes[], const int array_of_subsizes[],
                             const int array_of_starts[], int order, MPI_Datatype oldtype,
                             MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_create_subarray)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_create_subarray(ndims, array_of_sizes, array_of_subsizes,
                                                   array_of_starts, order, oldtype, newtype),
                         types_created);
}

int MPI_Type_dup(MPI_Datatype oldtype, MPI_Datatype* newtype)
{
    if (!allowed(fn_MPI_Type_dup)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_dup(oldtype, newtype), types_created);
}

int MPI_Type_free(MPI_Datatype* datatype)
{
    if (!allowed(fn_MPI_Type_free)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Type_free(datatype), types_freed);
}

int MPI_Type_commit(MPI_Datatype* datatype)
{
    if (!allowed(fn_MPI_Type_commit)) return MPI_ERR_OTHER;
    return PMPI_Type_commit(datatype);
}

int MPI_Type_size(MPI_Datatype datatype, int* size)
{
    if (!allowed(fn_MPI_Type_size)) return MPI_ERR_OTHER;
    return PMPI_Type_size(datatype, size);
}

int MPI_Type_get_extent(MPI_Datatype datatype, MPI_Aint* lb, MPI_Aint* extent)
{
    if (!allowed(fn_MPI_Type_get_extent)) return MPI_ERR_OTHER;
    return PMPI_Type_get_extent(datatype, lb, extent);
}

// MPI memory.

int MPI_Alloc_mem(MPI_Aint size, MPI_Info info, void* baseptr)
{
    if (!allowed(fn_MPI_Alloc_mem)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Alloc_mem(size, info, baseptr), mem_allocated);
}

int MPI_Free_mem(void* base)
{
    if (!allowed(fn_MPI_Free_mem)) return MPI_ERR_OTHER;
    return count_if_done(PMPI_Free_mem(base), mem_freed);
}

// One-sided access.

int MPI_Get(void* origin_addr, int origin_count, MPI_Datatype origin_datatype, int target_rank,
            MPI_Aint target_disp, int target_count, MPI_Datatype target_datatype, MPI_Win win)
{
    if (!allowed(fn_MPI_Get)) return MPI_ERR_OTHER;
    ++counters[gets];
    return PMPI_Get(origin_addr, origin_count, origin_datatype, target_rank, target_disp,
                    target_count, target_datatype, win);
}

int MPI_Win_lock(int lock_type, int rank, int assert, MPI_Win win)
{
    if (!allowed(fn_MPI_Win_lock)) return MPI_ERR_OTHER;
    ++counters[locks];
    return PMPI_Win_lock(lock_type, rank, assert, win);
}

int MPI_Win_unlock(int rank, MPI_Win win)
{
    if (!allowed(fn_MPI_Win_unlock)) return MPI_ERR_OTHER;
    ++counters[unlocks];
    return PMPI_Win_unlock(rank, win);
}

int MPI_Win_sync(MPI_Win win)
{
    if (!allowed(fn_MPI_Win_sync)) return MPI_ERR_OTHER;
    return PMPI_Win_sync(win);
}

// Collectives.

int MPI_Barrier(MPI_Comm comm)
{
    if (!allowed(fn_MPI_Barrier)) return MPI_ERR_OTHER;
    ++counters[barriers];
    return PMPI_Barrier(comm);
}

int MPI_Allreduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype datatype, MPI_Op op,
                  MPI_Comm comm)
{
    if (!allowed(fn_MPI_Allreduce)) return MPI_ERR_OTHER;
    ++counters[allreduces];
    return PMPI_Allreduce(sendbuf, recvbuf, count, datatype, op, comm);
}

int MPI_Reduce(const void* sendbuf, void* recvbuf, int count, MPI_Datatype datatype, MPI_Op op,
               int root, MPI_Comm comm)
{
    if (!allowed(fn_MPI_Reduce)) return MPI_ERR_OTHER;
    ++counters[reduces];
    return PMPI_Reduce(sendbuf, recvbuf, count, datatype, op, root, comm);
}

// Communicator queries and attributes.

int MPI_Comm_rank(MPI_Comm comm, int* rank)
{
    if (!allowed(fn_MPI_Comm_rank)) return MPI_ERR_OTHER;
    return PMPI_Comm_rank(comm, rank);
}

int MPI_Comm_size(MPI_Comm comm, int* size)
{
    if (!allowed(fn_MPI_Comm_size)) return MPI_ERR_OTHER;
    return PMPI_Comm_size(comm, size);
}

int MPI_Comm_set_attr(MPI_Comm comm, int comm_keyval, void* attribute_val)
{
    if (!allowed(fn_MPI_Comm_set_attr)) return MPI_ERR_OTHER;
    return PMPI_Comm_set_attr(comm, comm_keyval, attribute_val);
}

int MPI_Comm_create_keyval(MPI_Comm_copy_attr_function* comm_copy_attr_fn,
                           MPI_Comm_delete_attr_function* comm_delete_attr_fn, int* comm_keyval,
                           void* extra_state)
{
    if (!allowed(fn_MPI_Comm_create_keyval)) return MPI_ERR_OTHER;
    return PMPI_Comm_create_keyval(comm_copy_attr_fn, comm_delete_attr_fn, comm_keyval,
                                   extra_state);
}

int MPI_Comm_free_keyval(int* comm_keyval)
{
    if (!allowed(fn_MPI_Comm_free_keyval)) return MPI_ERR_OTHER;
    return PMPI_Comm_free_keyval(comm_keyval);
}

} // extern "C"
