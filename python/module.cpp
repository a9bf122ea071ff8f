// The Python module virdastatistics: the library's distributed arrays and
// statistics for mpi4py programs. Importing it imports mpi4py.MPI (which
// initialises MPI as mpi4py is told to) and checks that mpi4py runs on the
// module's MPI; the module never initialises or finalises MPI itself.
#include "array_creation.h"
#include "binned_statistics.h"
#include "communicator.h"
#include "dist_array.h"
#include "from_local.h"
#include "histograms.h"
#include "mpi_environment.h"
#include "reductions.h"
#include "quantiles.h"
#include "statistics.h"
#ifdef VIRDA_PYTHON_LIBRARY_TIMING
#include "library_timing.h"
#endif

#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(virdastatistics, m)
{
    using namespace virda_python;
    m.doc() = R"doc(
Statistics over distributed arrays for mpi4py programs: exact totals and
order statistics, the same bits at any number of ranks.

Every function that takes an Array is collective over its communicator:
every rank calls it with the same arguments, in the same order. Blocks are
NumPy arrays this process owns (Array.local views them). See
docs/python.md for the element types and the differences from NumPy.
)doc";
    m.attr("__version__") = VIRDA_VERSION;

    check_mpi4py_matches(py::module_::import("mpi4py.MPI"));
    load_mpi4py_api();

    // Kept for programs that filter it: the module raised it for the lines
    // the library wrote, and no longer calls the library.
    m.attr("LibraryWarning") = py::handle(PyErr_NewExceptionWithDoc(
        "virdastatistics.LibraryWarning",
        "A message of the library, the same on every rank (nothing raises it any more).", PyExc_RuntimeWarning,
        nullptr));

    auto array_class = bind_dist_array(m);
    bind_array_creation(m, array_class);
    bind_from_local(m);
    bind_statistics(m);
    bind_histograms(m);
    bind_reductions(m);
    bind_quantiles(m);
    bind_binned_statistics(m);
#ifdef VIRDA_PYTHON_LIBRARY_TIMING
    bind_library_timing(m);
#endif

    m.def(
        "collect",
        [](const py::object& comm) {
            communicator_of(comm);
            return 0;
        },
        py::arg("comm") = py::none(), R"doc(
Returns 0: an Array's block is freed when the Array goes, so nothing waits
to be released. Kept for programs written when arrays held MPI windows.
Local.
)doc");
    m.def(
        "live_arrays", [](const py::object& comm) { return live_arrays(communicator_of(comm).handle); },
        py::arg("comm") = py::none(),
        "Arrays over comm alive on this rank and not freed. Local.");
    m.def(
        "queued_releases",
        [](const py::object& comm) {
            communicator_of(comm);
            return 0;
        },
        py::arg("comm") = py::none(),
        "Returns 0: nothing waits to be released (see collect). Local.");
}
