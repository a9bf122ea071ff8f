#ifndef VIRDA_PYTHON_AGREED_ALLOCATION_H
#define VIRDA_PYTHON_AGREED_ALLOCATION_H

// Buffers whose size an argument sets (quantile's probabilities, polyval's
// coefficients, polyfit's order) or an array's blocks, allocated on every
// rank before the ranks agree that each of them got its own:
// otherwise a rank short of memory raises MemoryError alone and the others
// wait for it in the call's first collective.

#include "communicator.h"

#include <pybind11/pybind11.h>

#include <cstddef>
#include <new>
#include <string>

namespace virda_python {

/// Buffers of at most this many bytes are allocated without agreement: a
/// rank that cannot get a mebibyte cannot go on running Python either, and
/// the agreement costs a collective per call.
inline constexpr std::size_t agreed_allocation_threshold = std::size_t{1} << 20;

/// Whether an allocation failed here: std::bad_alloc, or Python's
/// MemoryError (NumPy's, or pybind11's for a new array).
class allocation_outcome {
public:
    /// Runs `allocate()`, keeping a memory failure instead of raising it.
    template <typename F>
    void attempt(F&& allocate)
    {
        try {
            std::forward<F>(allocate)();
        } catch (const std::bad_alloc&) {
            failed_ = true;
        } catch (pybind11::error_already_set& e) {
            if (!e.matches(PyExc_MemoryError)) {
                throw;
            }
            failed_ = true;
        }
    }
    bool failed() const { return failed_; }

private:
    bool failed_ = false;
};

/// "<operation>: <bytes> for <what> could not be allocated on rank r": the
/// MemoryError text every rank raises when rank r (the lowest that failed)
/// could not allocate.
std::string allocation_failure(const char* operation, const std::string& what, std::size_t bytes, int rank);

/// Agrees over comm whether every rank allocated: one MPI_Allreduce (the
/// lowest failing rank), then MemoryError on every rank when one failed.
/// This is a collective operation and must be called by all processes in the
/// communicator.
void agree_on_allocation(const char* operation, const std::string& what, std::size_t bytes, bool failed,
                         const communicator& comm);

/// Runs `allocate()` (which allocates this call's argument-sized buffers and
/// nothing else) and, when `bytes` (their size, from the arguments alone: the
/// same on every rank) exceeds agreed_allocation_threshold, agrees over comm
/// that every rank could (agree_on_allocation). Below the threshold a failure
/// raises on this rank alone. Collective over comm above the threshold.
template <typename F>
void allocate_together(const char* operation, const std::string& what, std::size_t bytes, const communicator& comm,
                       F&& allocate)
{
    if (bytes <= agreed_allocation_threshold) {
        std::forward<F>(allocate)();
        return;
    }
    allocation_outcome outcome;
    outcome.attempt(std::forward<F>(allocate));
    agree_on_allocation(operation, what, bytes, outcome.failed(), comm);
}

} // namespace virda_python

#endif
