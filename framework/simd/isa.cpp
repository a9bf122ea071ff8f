#include "framework/simd/isa.h"

#include "framework/messages.h"

#include <mpi.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace virda_detail {
namespace {

isa best_supported_up_to(isa path, bool (*supported)(isa) = isa_supported)
{
    int p = static_cast<int>(path);
    while (p > 0 && !supported(static_cast<isa>(p))) {
        --p;
    }
    return static_cast<isa>(p);
}

/// Writes a line about VIRDA_ISA on standard error once per job: on rank 0
/// of MPI_COMM_WORLD, or on every process when MPI is not running.
void report(const std::string& line)
{
    int initialised = 0;
    int finalised = 0;
    MPI_Initialized(&initialised);
    MPI_Finalized(&finalised);
    int rank = 0;
    if (initialised != 0 && finalised == 0) {
        MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    }
    if (rank == 0) {
        virda_messages::report(line);
    }
}

std::string path_names()
{
    std::string names;
    for (const isa p : all_isa_paths) {
        names += names.empty() ? "" : ", ";
        names += isa_name(p);
    }
    return names;
}

isa initial_isa()
{
    const isa_choice choice = choose_isa(std::getenv("VIRDA_ISA"), isa_supported);
    if (!choice.report.empty()) {
        report(choice.report);
    }
    return choice.path;
}

isa& current()
{
    static isa path = initial_isa();
    return path;
}

} // namespace

isa_choice choose_isa(const char* value, bool (*supported)(isa))
{
    const isa best = all_isa_paths[isa_count - 1];
    if (value == nullptr) {
        return {best_supported_up_to(best, supported), ""};
    }
    for (const isa p : all_isa_paths) {
        if (std::strcmp(value, isa_name(p)) == 0) {
            const isa chosen = best_supported_up_to(p, supported);
            return {chosen, chosen != p ? virda_messages::isa_unavailable(value, isa_name(chosen)) : ""};
        }
    }
    const isa chosen = best_supported_up_to(best, supported);
    return {chosen, virda_messages::isa_unknown(value, path_names(), isa_name(chosen))};
}

bool isa_supported(isa path)
{
    switch (path) {
#define VIRDA_ISA_SUPPORTED_CASE(p) \
    case isa::p:                    \
        return VIRDA_ISA_SUPPORTED_##p();
        VIRDA_ISA_PATHS(VIRDA_ISA_SUPPORTED_CASE)
#undef VIRDA_ISA_SUPPORTED_CASE
    }
    return false;
}

isa active_isa()
{
    return current();
}

isa force_isa(isa path)
{
    current() = best_supported_up_to(path);
    return current();
}

const char* isa_name(isa path)
{
    switch (path) {
#define VIRDA_ISA_NAME_CASE(p) \
    case isa::p:               \
        return #p;
        VIRDA_ISA_PATHS(VIRDA_ISA_NAME_CASE)
#undef VIRDA_ISA_NAME_CASE
    }
    return "unknown";
}

} // namespace virda_detail
