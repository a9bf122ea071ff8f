// A program that keeps arrays and attributes of several element types alive
// past MPI_Finalize and destroys them afterwards, some at scope exit and one
// during static destruction, with windows of released arrays kept for reuse
// when MPI_Finalize runs, and some arrays over a communicator already freed.
// It must exit 0 with no MPI call after MPI_Finalize (the resource counter
// it links fails the process otherwise).
#include "framework/array/window_pool.h"
#include "virda_test/test_data.h"
#include "virda_test/mpi_counts.h"

#include <mpi.h>

#include <cstdio>
#include <memory>

namespace {
std::unique_ptr<Attribute> destroyed_at_exit;
}
using virda_test::make_attribute;

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    VIRDA_COMM = MPI_COMM_WORLD;
    MPI_Comm_rank(MPI_COMM_WORLD, &VIRDA_ID);
    int status = 0;
    {
        va<double> d({7, 2}, VIRDA_COMM);
        va<Vector3> v({5}, VIRDA_COMM);
        va<char> placeholder;
        va<double> large({400000}, VIRDA_COMM); // blocks this large are kept for reuse once released
        { va<double> released({400000}, VIRDA_COMM); }
        va<fftw_complex> moved_from({3}, VIRDA_COMM);
        const va<fftw_complex> c(std::move(moved_from));
        Attribute empty;
        Attribute x = make_attribute<double>({9}, [](int g) { return 0.5 * g; });
        Attribute y = make_attribute<Vector2>({4}, [](int g) { return Vector2(g); });
        Attribute z = make_attribute<char>({2}, [](int g) { return char('a' + g); });
        Attribute w = make_attribute<fftw_complex>({6}, [](int g) { return fftw_complex{0, 1.0 * g}; });
        Attribute product = x * x;
        Attribute copy(y);
        // Arrays over a communicator the program freed before MPI_Finalize:
        // released by it all the same, and destroyed after it.
        MPI_Comm freed = MPI_COMM_NULL;
        MPI_Comm_dup(VIRDA_COMM, &freed);
        { va<int> released({5}, freed); } // kept for freed until MPI_Comm_free
        va<int> over_freed({5}, freed);
        Attribute attribute_over_freed = attribute_from_global<double>({3}, freed, [](int g) { return 1.0 * g; });
        MPI_Comm_free(&freed);
        destroyed_at_exit = std::make_unique<Attribute>(pow(x, 2.0));
        { Attribute released_temporary = x * x; } // its window is kept for reuse
        if (virda_detail::kept_window_count(VIRDA_COMM) == 0) {
            std::fprintf(stderr, "rank %d: no released window is kept for reuse\n", VIRDA_ID);
            status = 1;
        }
        const double last = product[8]; // a remote read for most ranks
        if (last != 16.0) {
            std::fprintf(stderr, "rank %d: element 8 of x * x is %g, not 16\n", VIRDA_ID, last);
            status = 1;
        }
        MPI_Finalize();
    }
    if (virda_test::mpi_counts().post_finalize_calls != 0) {
        std::fprintf(stderr, "rank %d: MPI called after MPI_Finalize\n", VIRDA_ID);
        status = 1;
    }
    return status;
}
