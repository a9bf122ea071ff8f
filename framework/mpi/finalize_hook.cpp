#include "framework/mpi/finalize_hook.h"

#include <mpi.h>

#include <algorithm>
#include <vector>

namespace virda_detail {
namespace {

std::vector<void (*)()>& pending()
{
    static auto* callbacks = new std::vector<void (*)()>; // never destroyed
    return *callbacks;
}

int keyval = MPI_KEYVAL_INVALID;

int run_at_finalize(MPI_Comm, int, void*, void*)
{
    // Take the list first: a callback may register again (it must not, but a
    // stray registration then waits for a later finalize instead of looping).
    std::vector<void (*)()> callbacks;
    callbacks.swap(pending());
    for (auto* release : callbacks) {
        release();
    }
    MPI_Comm_free_keyval(&keyval);
    keyval = MPI_KEYVAL_INVALID;
    return MPI_SUCCESS;
}

} // namespace

void at_mpi_finalize(void (*release)())
{
    auto& callbacks = pending();
    if (std::find(callbacks.begin(), callbacks.end(), release) != callbacks.end()) {
        return;
    }
    callbacks.push_back(release);
    if (keyval == MPI_KEYVAL_INVALID) {
        MPI_Comm_create_keyval(MPI_COMM_NULL_COPY_FN, run_at_finalize, &keyval, nullptr);
        MPI_Comm_set_attr(MPI_COMM_SELF, keyval, nullptr);
    }
}

} // namespace virda_detail
