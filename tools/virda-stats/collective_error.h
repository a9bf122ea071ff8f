#ifndef VIRDA_TOOLS_VIRDA_STATS_COLLECTIVE_ERROR_H
#define VIRDA_TOOLS_VIRDA_STATS_COLLECTIVE_ERROR_H

#include <mpi.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace virda_stats {

/// Exit status of a run whose input (file, dataset, values) was unusable.
inline constexpr int exit_data_error = 1;
/// Exit status of a run whose command line was unusable.
inline constexpr int exit_usage_error = 2;

/// This process's rank in a communicator and the communicator's size.
struct place_in {
    explicit place_in(MPI_Comm comm)
    {
        MPI_Comm_rank(comm, &rank);
        MPI_Comm_size(comm, &ranks);
    }
    int rank = 0;
    int ranks = 1;
};

/// A failure of the tool, with its one-line message and exit status.
class tool_error : public std::runtime_error {
public:
    explicit tool_error(const std::string& message, int exit_code = exit_data_error)
        : std::runtime_error(message), exit_code_(exit_code)
    {
    }
    int exit_code() const { return exit_code_; }

private:
    int exit_code_;
};

/// Makes a local failure a common one. Every rank passes its own failure
/// message (empty when it did fine). When no rank failed this returns on
/// every rank; otherwise every rank throws the tool_error of the lowest
/// failing rank, so that all ranks leave together and none is left waiting in
/// a collective that another skipped.
///
/// Collective over `comm`: one MPI_Allreduce, and one broadcast from the
/// failing rank when there is a failure.
void agree_or_throw(MPI_Comm comm, const std::string& local_failure, int local_exit_code = exit_data_error);

/// Runs `step` on this rank, catches whatever it throws, and settles the
/// outcome with agree_or_throw. The step must not stop between the collective
/// calls it makes: it may fail before its first collective or after its last
/// one, and the ranks that did not fail must still reach those collectives.
/// Collective over `comm`.
template <typename Step>
void together(MPI_Comm comm, Step&& step)
{
    std::string failure;
    int code = exit_data_error;
    bool failed = true;
    try {
        std::forward<Step>(step)();
        failed = false;
    } catch (const tool_error& e) {
        failure = e.what();
        code = e.exit_code();
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
    }
    if (failed && failure.empty()) {
        failure = "unexpected failure";
    }
    agree_or_throw(comm, failure, code);
}

} // namespace virda_stats

#endif
