#ifndef VIRDA_PYTHON_LIBRARY_CALL_H
#define VIRDA_PYTHON_LIBRARY_CALL_H

// One call into the library from Python: on the array's communicator, with
// the lines the library writes to std::cerr turned into Python warnings or an
// exception.

#include "communicator.h"

#include <pybind11/pybind11.h>

#include <sstream>
#include <string>
#include <type_traits>
#include <utility>

namespace virda_python {

/// The warning category of the library's messages (a RuntimeWarning).
/// Set by the module when it is imported.
extern PyObject* library_warning;

/// For the life of the object: VIRDA_COMM and VIRDA_ID are the call's
/// communicator and rank (framework_comm_scope), and what the library writes
/// to std::cerr goes into a buffer instead of the process's standard error.
/// The library's instruction-set path is chosen first, uncaptured: its line
/// about VIRDA_ISA is written on rank 0 only, so it goes to standard error as
/// the library's own line and never becomes a warning. Local.
class library_scope {
public:
    library_scope(MPI_Comm comm, int rank);
    ~library_scope();
    library_scope(const library_scope&) = delete;
    library_scope& operator=(const library_scope&) = delete;

    /// What the library wrote so far.
    std::string messages() const { return buffer_.str(); }

private:
    framework_comm_scope comm_;
    std::stringbuf buffer_;
    std::streambuf* saved_;
};

/// Issues a Python warning of this category; raises error_already_set when
/// a warning filter turned it into an error.
void warn(PyObject* category, const std::string& text);

/// Turns the library's message lines into Python: a line the library writes
/// when it could not do what was asked (an array that could not be created)
/// raises the matching exception; every other line becomes a warning of
/// category library_warning, `operation: <line>`. Raises the exception after
/// all lines are read, or error_already_set when a warning filter turned a
/// warning into an error. Within a call the library writes the same lines on
/// every rank for the same arguments (its one line of rank 0 alone, about
/// VIRDA_ISA, is written before the capture: library_scope), so every rank
/// raises or warns alike.
void report_library_messages(const char* operation, const std::string& text);

/// Runs `call()` inside a library_scope on `comm`/`rank`, then reports what
/// it wrote (report_library_messages) and returns its result.
template <typename F>
auto library_call(const char* operation, MPI_Comm comm, int rank, F&& call)
{
    std::string text;
    if constexpr (std::is_void_v<decltype(call())>) {
        {
            library_scope scope(comm, rank);
            std::forward<F>(call)();
            text = scope.messages();
        }
        report_library_messages(operation, text);
    } else {
        auto result = [&] {
            library_scope scope(comm, rank);
            auto r = std::forward<F>(call)();
            text = scope.messages();
            return r;
        }();
        report_library_messages(operation, text);
        return result;
    }
}

} // namespace virda_python

#endif
