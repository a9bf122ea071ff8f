#ifndef VIRDA_ENGINE_ERROR_H
#define VIRDA_ENGINE_ERROR_H

/// \file
/// The engine's one exception type. Every error that can arise inside a
/// collective call is agreed over the ranks before any rank leaves the call,
/// so that every rank throws the same error (same code, same message) or none
/// does; errors found from arguments alone are thrown before any
/// communication, and the collective contract (every rank passes the same
/// arguments) makes them the same everywhere.

#include <stdexcept>
#include <string>

namespace virda::engine {

/// What went wrong.
enum class error_code : int {
    /// An argument no rank could use (a probability outside [0, 1], a bin
    /// width of 0, a column count that does not match the accumulator, ...).
    invalid_argument = 1,
    /// Some rank could not allocate what the call needs.
    out_of_memory,
    /// The ranks did not make the same call: different arguments, shapes or
    /// number types where they must agree.
    ranks_disagree,
    /// An MPI call failed.
    mpi_failure,
};

/// The engine's exception: a code, a message, and the lowest rank where the
/// cause arose (-1 when it is not one rank's: an argument every rank
/// passed). Thrown alike on every rank of the communicator of the call.
class error : public std::runtime_error {
public:
    /// An error of `code` with `message`, caused at `rank` (-1: not one rank's).
    error(error_code code, const std::string& message, int rank = -1)
        : std::runtime_error(message), code_(code), rank_(rank)
    {
    }
    /// What went wrong.
    error_code code() const noexcept { return code_; }
    /// The lowest rank where it arose, or -1.
    int rank() const noexcept { return rank_; }

private:
    error_code code_;
    int rank_;
};

} // namespace virda::engine

#endif
