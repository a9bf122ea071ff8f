#include "communicator.h"

#include "mpi_environment.h"

#include <mpi4py/mpi4py.h>

#include <string>

namespace py = pybind11;

namespace virda_python {

namespace {

// mpi4py.MPI.COMM_WORLD, the default communicator. Never released: it must
// outlive every array, whose communicator object it may be.
py::object* world = nullptr;

} // namespace

void load_mpi4py_api()
{
    if (import_mpi4py() < 0) {
        throw py::error_already_set();
    }
    world = new py::object(py::module_::import("mpi4py.MPI").attr("COMM_WORLD"));
}

communicator communicator_of(py::handle comm)
{
    require_mpi_running();
    communicator c;
    c.object = comm.is_none() ? *world : py::reinterpret_borrow<py::object>(comm);
    if (!PyObject_TypeCheck(c.object.ptr(), &PyMPIComm_Type)) {
        throw py::type_error("comm must be an mpi4py.MPI.Intracomm (or None for MPI.COMM_WORLD), not " +
                             std::string(py::str(py::type::of(c.object).attr("__name__"))));
    }
    MPI_Comm* handle = PyMPIComm_Get(c.object.ptr());
    if (handle == nullptr) {
        throw py::error_already_set();
    }
    if (*handle == MPI_COMM_NULL) {
        throw py::value_error("comm is MPI.COMM_NULL: this process is not part of the communicator");
    }
    int inter = 0;
    MPI_Comm_test_inter(*handle, &inter);
    if (inter != 0) {
        throw py::value_error("comm is an intercommunicator: arrays are distributed over intracommunicators");
    }
    c.handle = *handle;
    MPI_Comm_rank(c.handle, &c.rank);
    MPI_Comm_size(c.handle, &c.size);
    return c;
}

comm_relation relation_of(MPI_Comm a, MPI_Comm b)
{
    if (a == b) {
        return comm_relation::same_order;
    }
    int result = MPI_UNEQUAL;
    MPI_Comm_compare(a, b, &result);
    switch (result) {
    case MPI_IDENT:
    case MPI_CONGRUENT:
        return comm_relation::same_order;
    case MPI_SIMILAR:
        return comm_relation::same_processes;
    default:
        return comm_relation::different;
    }
}

} // namespace virda_python
