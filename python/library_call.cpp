#include "library_call.h"

#include "framework/simd/isa.h"

#include <iostream>
#include <vector>

namespace py = pybind11;

namespace virda_python {

PyObject* library_warning = nullptr;

namespace {

/// What becomes of a message line that starts with `prefix`: an exception of
/// this type (with an explanation appended) rather than a warning. The texts
/// are the library's own (README, "Messages"). Every line not listed here is
/// a warning.
struct raised_message {
    const char* prefix;
    PyObject* (*type)();
    const char* explanation;
};

PyObject* memory_error()
{
    return PyExc_MemoryError;
}
PyObject* runtime_error()
{
    return PyExc_RuntimeError;
}
PyObject* value_error()
{
    return PyExc_ValueError;
}

const raised_message raised_messages[] = {
    {"ERROR in va_create:block could not be allocated on some rank", memory_error,
     "some rank could not allocate its block; no array was created"},
    {"ERROR in va_create:no MPI window could be created", runtime_error,
     "MPI could not create the array's window on any rank. Release arrays no longer needed (free()); "
     "a job of one process under Debian's Open MPI also needs OMPI_MCA_osc=sm,rdma,pt2pt and "
     "MPI4PY_RC_THREAD_LEVEL=serialized (the pt2pt component refuses MPI_THREAD_MULTIPLE)"},
    {"ERROR in va_create:", value_error, "no array was created"},
};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

} // namespace

namespace {

/// Chooses the library's instruction-set path, once per process, while
/// std::cerr still goes to standard error. The library writes its line
/// about a VIRDA_ISA it cannot follow on rank 0 only (once per job, as in
/// any program of the library): captured, it would become a warning on rank
/// 0 alone, and under a filter that makes warnings errors rank 0 alone would
/// raise and leave the others waiting in the next collective. So that line
/// is the one library message that is not captured.
std::streambuf* choose_isa_then_capture(std::streambuf* buffer)
{
    virda_detail::active_isa();
    return std::cerr.rdbuf(buffer);
}

} // namespace

library_scope::library_scope(MPI_Comm comm, int rank) : comm_(comm, rank), saved_(choose_isa_then_capture(&buffer_)) {}

library_scope::~library_scope()
{
    std::cerr.rdbuf(saved_);
}

void warn(PyObject* category, const std::string& text)
{
    if (PyErr_WarnEx(category, text.c_str(), 1) < 0) {
        throw py::error_already_set();
    }
}

void report_library_messages(const char* operation, const std::string& text)
{
    if (text.empty()) {
        return;
    }
    const raised_message* raise = nullptr;
    std::string raised_line;
    for (const std::string& line : lines_of(text)) {
        const raised_message* match = nullptr;
        for (const raised_message& m : raised_messages) {
            if (line.rfind(m.prefix, 0) == 0) {
                match = &m;
                break;
            }
        }
        if (match != nullptr) {
            if (raise == nullptr) {
                raise = match;
                raised_line = line;
            }
            continue;
        }
        warn(library_warning, std::string(operation) + ": " + line);
    }
    if (raise != nullptr) {
        PyErr_SetString(raise->type(),
                        (std::string(operation) + ": " + raised_line + " (" + raise->explanation + ")").c_str());
        throw py::error_already_set();
    }
}

} // namespace virda_python
