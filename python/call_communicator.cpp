#include "call_communicator.h"

#include "dist_array.h"
#include "mpi_environment.h"

#include <string>

namespace py = pybind11;

namespace virda_python {

void check_array_call(const char* operation, py::handle comm)
{
    if (!comm.is_none()) {
        throw py::type_error(std::string(operation) +
                             ": comm is for NumPy arrays of this rank's values; an Array is over its own "
                             "communicator");
    }
    require_mpi_running();
}

communicator call_communicator(const char* operation, py::handle a, py::handle comm)
{
    if (py::isinstance<dist_array>(a)) {
        check_array_call(operation, comm);
        return a.cast<dist_array&>().comm();
    }
    return communicator_of(comm);
}

} // namespace virda_python
