#include "agreed_allocation.h"

#include "mpi_environment.h"

#include <climits>
#include <cstdio>

namespace py = pybind11;

namespace virda_python {

namespace {

/// "256 MiB", "3.5 GiB": a size for people.
std::string bytes_text(std::size_t bytes)
{
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB"};
    double size = static_cast<double>(bytes);
    int unit = 0;
    while (size >= 1024.0 && unit < 5) {
        size /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.3g %s", size, units[unit]);
    return text;
}

} // namespace

std::string allocation_failure(const char* operation, const std::string& what, std::size_t bytes, int rank)
{
    return std::string(operation) + ": " + bytes_text(bytes) + " for " + what + " could not be allocated on rank " +
           std::to_string(rank) + "; nothing was computed";
}

void agree_on_allocation(const char* operation, const std::string& what, std::size_t bytes, bool failed,
                         const communicator& comm)
{
    int first_failed = failed ? comm.rank : INT_MAX;
    check_mpi(MPI_Allreduce(MPI_IN_PLACE, &first_failed, 1, MPI_INT, MPI_MIN, comm.handle),
              "agreeing on an allocation");
    if (first_failed != INT_MAX) {
        PyErr_SetString(PyExc_MemoryError, allocation_failure(operation, what, bytes, first_failed).c_str());
        throw py::error_already_set();
    }
}

} // namespace virda_python
