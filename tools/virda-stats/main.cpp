// virda-stats: statistics of a dataset in an HDF5 file, computed in parallel.
//
//   mpiexec -n 4 virda-stats FILE DATASET OPERATION [options]
//   mpiexec -n 4 virda-stats --demo [FILE]
//
// Every rank reads only the rows its distributed array assigns it; results
// are printed by rank 0. On any failure all ranks stop together and rank 0
// prints one message.
#include "cli_options.h"
#include "collective_error.h"
#include "demo_catalogue.h"
#include "operations.h"
#include "summary.h"
#include "report.h"

#include "frontend/launcher_check.h"
#include "framework/runtime/virda_globals.h"
#include "reference_runtime/virda_session.h"

#include <hdf5.h>
#include <mpi.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace virda_stats;

void print(const report& r, output_format format)
{
    if (VIRDA_ID != 0) {
        return;
    }
    for (const std::string& line : warnings_of(r)) {
        std::cerr << "virda-stats: warning: " << line << '\n' << std::flush;
    }
    if (format == output_format::json) {
        write_json(std::cout, r);
    } else {
        write_text(std::cout, r);
    }
    std::cout << std::flush;
}

/// The whole run; returns the exit status, the same on every rank.
int run(const std::vector<std::string>& args)
{
    // Before anything is read or written: under another MPI's launcher every
    // process is a job of its own (one rank each, no collective joins them).
    int world_size = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &world_size);
    if (const auto launch = virda::frontend::foreign_launch_of(world_size, [](const char* name) { return std::getenv(name); })) {
        if (launch->rank <= 0) {
            std::cerr << "virda-stats: error: " << virda::frontend::foreign_launch_message(*launch) << '\n';
        } else {
            // A launcher may end every process once one has failed: let the
            // one that explains first have its say.
            sleep(1);
        }
        return exit_usage_error;
    }
    try {
        cli_options options;
        // Every rank parses the same arguments; settling the outcome together
        // costs one reduction and rules out any rank going on alone.
        together(VIRDA_COMM, [&] { options = parse_command_line(args); });

        if (options.help || options.version) {
            if (VIRDA_ID == 0) {
                std::cout << (options.help ? usage_text() : std::string("virda-stats " VIRDA_STATS_VERSION "\n"))
                          << std::flush;
            }
            return 0;
        }
        if (options.demo) {
            write_demo_catalogue(options.file, VIRDA_COMM);
            if (VIRDA_ID == 0 && options.format == output_format::text) {
                std::cout << "wrote a sample catalogue of " << demo_rows << " rows to " << options.file << "\n\n";
            }
            print(summarise_file(options.file, demo_datasets(), VIRDA_COMM), options.format);
            if (VIRDA_ID == 0 && options.format == output_format::text) {
                const std::string command = "     mpiexec -n 4 virda-stats " + options.file;
                std::cout << "\ntry:\n"
                          << command << " mass histogram --lower 0 --width 10 --bins 10\n"
                          << command << " mass bin-data --y temperature --centres 5,10,10\n"
                          << command << " mass poly-fit --y temperature --order 1\n"
                          << command << " mass quantiles --q 0.05,0.5,0.95\n";
            }
            return 0;
        }
        print(run_operation(options, VIRDA_COMM), options.format);
        return 0;
    } catch (const tool_error& e) {
        // Thrown on every rank alike (agree_or_throw); rank 0 speaks.
        if (VIRDA_ID == 0) {
            std::cerr << "virda-stats: error: " << e.what() << '\n';
            if (e.exit_code() == exit_usage_error) {
                std::cerr << "Try 'virda-stats --help'.\n";
            }
        }
        return e.exit_code();
    }
}

} // namespace

int main(int argc, char** argv)
{
    int status = 0;
    {
        virda_session session(&argc, &argv);
        // The tool reports failures itself, once, from rank 0.
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        status = run(std::vector<std::string>(argv + 1, argv + argc));
        // HDF5 keeps MPI objects until it shuts down: release them while MPI
        // is still running.
        H5close();
    }
    return status;
}
