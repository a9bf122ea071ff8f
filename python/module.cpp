// The Python module virdastatistics: the library's distributed arrays and
// statistics for mpi4py programs. Importing it imports mpi4py.MPI (which
// initialises MPI as mpi4py is told to) and checks that mpi4py runs on the
// module's MPI; the module never initialises or finalises MPI itself.
#include "array_creation.h"
#include "array_registry.h"
#include "communicator.h"
#include "dist_array.h"
#include "from_local.h"
#include "library_call.h"
#include "library_timing.h"
#include "mpi_environment.h"
#include "statistics.h"

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
NumPy views (Array.local). See docs/python.md for the lifetime rule, the
element types and the differences from NumPy.
)doc";
    m.attr("__version__") = VIRDA_VERSION;

    check_mpi4py_matches(py::module_::import("mpi4py.MPI"));
    load_mpi4py_api();

    library_warning = PyErr_NewExceptionWithDoc(
        "virdastatistics.LibraryWarning",
        "A message of the library (the line it writes to standard error), the same on every rank.",
        PyExc_RuntimeWarning, nullptr);
    m.attr("LibraryWarning") = py::handle(library_warning);

    auto array_class = bind_dist_array(m);
    bind_array_creation(m, array_class);
    bind_from_local(m);
    bind_statistics(m);
    bind_library_timing(m);

    m.def(
        "collect",
        [](const py::object& comm) {
            require_mpi_running();
            return registry().settle(communicator_of(comm).handle);
        },
        py::arg("comm") = py::none(), R"doc(
Releases the arrays over comm (default MPI.COMM_WORLD) whose Python objects
are gone on every rank, and returns how many. Collective over comm; creating
an array and free() do the same.
)doc");
    m.def(
        "live_arrays", [](const py::object& comm) { return registry().live(communicator_of(comm).handle); },
        py::arg("comm") = py::none(),
        "Arrays over comm the module still holds, queued ones included (the same on every rank). Local.");
    m.def(
        "queued_releases", [](const py::object& comm) { return registry().queued(communicator_of(comm).handle); },
        py::arg("comm") = py::none(),
        "Arrays over comm whose Python objects are gone on this rank, waiting for every rank to agree. Local.");
}
