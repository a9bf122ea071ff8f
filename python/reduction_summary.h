#ifndef VIRDA_PYTHON_REDUCTION_SUMMARY_H
#define VIRDA_PYTHON_REDUCTION_SUMMARY_H

// A prepared reduction's tables summarised by its engine accumulator, and
// the ranks' agreement on the slices with any rank's failure, so that no
// rank raises alone.

#include "axes.h"
#include "local_values.h"
#include "prepared_reduction.h"

#include "engine/moments.h"

#include <exception>
#include <optional>
#include <string>

namespace virda_python {

/// What a reduction's engine accumulator gives: the summary per kept
/// element (none without kept elements) or, for a reduction of this rank's
/// own rows, why this rank could not finish it. That failure goes into the
/// ranks' agreement on the slices (failed_flag), so no rank raises alone.
template <typename Summary>
struct engine_result {
    std::optional<Summary> summary;
    std::exception_ptr failure;
};

/// The flag of a rank that could not finish, above the reductions' own flags.
constexpr unsigned failed_flag = 1u << 8;

/// The summary of p's tables in `accumulator` (p.moments or p.extremes):
/// over the communicator when axis 0 is reduced (one MPI_Allreduce), else
/// this rank's alone.
template <typename Accumulator>
auto summary_of(const char* operation, const prepared& p, Accumulator* accumulator, virda::engine::nan_policy policy)
{
    using summary = decltype(accumulator->finish_local(policy));
    engine_result<summary> r;
    const reduction_tables& t = p.tables;
    if (t.columns == 0) {
        return r;
    }
    const bool collective = p.split.distributed_reduced();
    try {
        r.summary = engine_call(operation, [&] {
            t.add_to(*accumulator);
            return collective ? accumulator->finish(p.in.comm.handle, policy) : accumulator->finish_local(policy);
        });
    } catch (...) {
        if (collective) {
            throw; // the engine's finish agrees on failures over the ranks
        }
        r.failure = std::current_exception();
    }
    return r;
}

/// The slices' flags agreed over the ranks (agreed_flags) with this rank's
/// failure: raised on every rank once all have agreed.
template <typename Summary>
unsigned agreed_with_failure(const char* operation, const prepared& p, const engine_result<Summary>& r, unsigned flags)
{
    const unsigned agreed = agreed_flags(operation, p.in.comm, p.split, flags | (r.failure ? failed_flag : 0u));
    if (r.failure) {
        std::rethrow_exception(r.failure);
    }
    if ((agreed & failed_flag) != 0) {
        throw pybind11::value_error(std::string(operation) +
                                    ": another rank could not reduce its rows (its exception says why)");
    }
    return agreed;
}

} // namespace virda_python

#endif
