// Small MPI programs for the harness's own tests, one per value of
// VIRDA_SCENARIO. "release_at_finalize" must pass: it frees its window from an
// MPI_COMM_SELF attribute callback inside MPI_Finalize, the way the statistics
// library releases arrays still alive then. The others misuse MPI and must
// fail their job: the MPI resource counter catches the leaks and the calls
// after MPI_Finalize, and the launcher's timeout ends the hang.

#include <mpi.h>

#include <cstring>
#include <vector>

#ifndef VIRDA_SCENARIO
#error "VIRDA_SCENARIO must name the scenario to build"
#endif

namespace {

bool is(const char* scenario)
{
    return std::strcmp(VIRDA_SCENARIO, scenario) == 0;
}

std::vector<double> block(8, 1.0);

MPI_Win create_window()
{
    MPI_Win win = MPI_WIN_NULL;
    MPI_Win_create(block.data(), static_cast<MPI_Aint>(block.size() * sizeof(double)),
                   sizeof(double), MPI_INFO_NULL, MPI_COMM_WORLD, &win);
    return win;
}

MPI_Win window_released_at_finalize = MPI_WIN_NULL;

int release_window(MPI_Comm, int, void*, void*)
{
    MPI_Win_free(&window_released_at_finalize);
    return MPI_SUCCESS;
}

// MPI_Barrier from a destructor that runs at exit, after MPI_Finalize.
struct BarrierAtExit {
    ~BarrierAtExit() { MPI_Barrier(MPI_COMM_WORLD); }
};

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);

    if (is("release_at_finalize")) {
        window_released_at_finalize = create_window();
        int keyval = MPI_KEYVAL_INVALID;
        MPI_Comm_create_keyval(MPI_COMM_NULL_COPY_FN, release_window, &keyval, nullptr);
        MPI_Comm_set_attr(MPI_COMM_SELF, keyval, nullptr);
        MPI_Comm_free_keyval(&keyval);
    } else if (is("leak_window")) {
        create_window();
    } else if (is("leak_memory_and_datatype")) {
        void* memory = nullptr;
        MPI_Alloc_mem(64, MPI_INFO_NULL, &memory);
        MPI_Datatype pair = MPI_DATATYPE_NULL;
        MPI_Type_contiguous(2, MPI_DOUBLE, &pair);
        MPI_Type_commit(&pair);
    } else if (is("call_after_finalize")) {
        static BarrierAtExit barrier_at_exit;
        MPI_Finalize();
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
        return 0;
    } else if (is("hang_in_collective")) {
        // Rank 0 skips the barrier that the others wait in.
        if (rank != 0) {
            MPI_Barrier(MPI_COMM_WORLD);
        }
    }
    MPI_Finalize();
    return 0;
}
