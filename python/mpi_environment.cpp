#include "mpi_environment.h"

#include "frontend/launcher_check.h"

#include <mpi.h>

#include <cstdlib>
#include <string>

namespace py = pybind11;

namespace virda_python {

namespace {

#if defined(OPEN_MPI)
constexpr const char* module_vendor = "Open MPI";
constexpr const char* module_launcher = "mpiexec.openmpi";
#elif defined(MPICH_VERSION)
constexpr const char* module_vendor = "MPICH";
constexpr const char* module_launcher = "mpiexec.mpich";
#else
#error "the Python module is built with Open MPI or MPICH"
#endif

std::string trimmed(std::string s)
{
    const auto end = s.find_last_not_of(" \t\r\n");
    s.erase(end == std::string::npos ? 0 : end + 1);
    return s;
}

} // namespace

void check_mpi4py_matches(const py::module_& mpi)
{
    const std::string vendor = py::str(mpi.attr("get_vendor")()[py::int_(0)]);
    if (vendor != module_vendor) {
        throw py::import_error("virdastatistics is built on " + std::string(module_vendor) + ", but mpi4py runs on " +
                               vendor + ": their communicators cannot be passed between them. Use an mpi4py built on " +
                               module_vendor + " (on Debian: python3-mpi4py).");
    }
    // The same implementation may still be two different builds of it, each
    // with its own state: the library version strings tell them apart.
    char ours[MPI_MAX_LIBRARY_VERSION_STRING] = {};
    int length = 0;
    MPI_Get_library_version(ours, &length);
    const std::string theirs = trimmed(py::str(mpi.attr("Get_library_version")()));
    if (trimmed(std::string(ours, static_cast<std::size_t>(length))) != theirs) {
        throw py::import_error("virdastatistics and mpi4py load different MPI libraries (the module: '" +
                               trimmed(ours) + "'; mpi4py: '" + theirs +
                               "'). Build the module against the MPI that mpi4py uses.");
    }
    int initialized = 0;
    MPI_Initialized(&initialized);
    if (initialized != 0 && !mpi_finalized()) {
        int size = 0;
        MPI_Comm_size(MPI_COMM_WORLD, &size);
        const auto launch =
            virda::frontend::foreign_launch_of(size, [](const char* name) { return std::getenv(name); });
        if (launch) {
            throw py::import_error("this process was " + virda::frontend::foreign_launch_message(*launch) +
                                   ". Start the program with " + module_launcher + ".");
        }
    }
}

bool mpi_finalized()
{
    int finalized = 0;
    MPI_Finalized(&finalized);
    return finalized != 0;
}

void check_mpi(int rc, const char* what)
{
    if (rc != MPI_SUCCESS) {
        char text[MPI_MAX_ERROR_STRING] = {};
        int length = 0;
        MPI_Error_string(rc, text, &length);
        throw std::runtime_error(std::string(what) + ": " + std::string(text, static_cast<std::size_t>(length)));
    }
}

void require_mpi_running()
{
    int initialized = 0;
    MPI_Initialized(&initialized);
    if (initialized == 0) {
        throw std::runtime_error("MPI is not initialised: import mpi4py.MPI with mpi4py.rc.initialize left True, "
                                 "or call mpi4py.MPI.Init() before using virdastatistics");
    }
    if (mpi_finalized()) {
        throw std::runtime_error("MPI has been finalised: virdastatistics can no longer communicate");
    }
}

} // namespace virda_python
