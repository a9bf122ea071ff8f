// An MPI_Alloc_mem of the program's own that refuses one chosen call. It is
// compiled into the test program, so its definition comes before those of the
// MPI counter and of MPI, and it hands every other call on to the next one.
#include "virda_test/alloc_refusal.h"

#include <dlfcn.h>
#include <mpi.h>

#include <cstdint>

namespace {

long calls_to_refusal = 0;

} // namespace

namespace virda_test {

void refuse_alloc_mem(long nth)
{
    calls_to_refusal = nth > 0 ? nth : 0;
}

long alloc_refusal_pending()
{
    return calls_to_refusal;
}

} // namespace virda_test

extern "C" int MPI_Alloc_mem(MPI_Aint size, MPI_Info info, void* baseptr)
{
    using alloc_fn = int (*)(MPI_Aint, MPI_Info, void*);
    static const auto next = reinterpret_cast<alloc_fn>(dlsym(RTLD_NEXT, "MPI_Alloc_mem"));
    if (calls_to_refusal > 0 && --calls_to_refusal == 0) {
        *static_cast<void**>(baseptr) = reinterpret_cast<void*>(std::uintptr_t{0x10});
        return MPI_SUCCESS;
    }
    return next(size, info, baseptr);
}
