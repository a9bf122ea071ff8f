// The tool's refusal to run under another MPI's launcher, decided from the
// environment each launcher gives its processes.
#include "frontend/launcher_check.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <map>
#include <string>

namespace {

using virda::frontend::foreign_launch_of;

virda::frontend::environment_lookup environment(std::map<std::string, std::string> variables)
{
    return [variables = std::move(variables)](const char* name) -> const char* {
        const auto found = variables.find(name);
        return found == variables.end() ? nullptr : found->second.c_str();
    };
}

TEST(LauncherCheck, SeesAJobOfSeveralThatThisMpiTakesForOne)
{
    const auto open_mpi = foreign_launch_of(1, environment({{"OMPI_COMM_WORLD_SIZE", "4"},
                                                            {"OMPI_COMM_WORLD_RANK", "3"}}));
    ASSERT_TRUE(open_mpi);
    EXPECT_EQ(open_mpi->processes, 4);
    EXPECT_EQ(open_mpi->rank, 3);

    const auto hydra = foreign_launch_of(1, environment({{"PMI_SIZE", "2"}, {"PMI_RANK", "0"}}));
    ASSERT_TRUE(hydra);
    EXPECT_EQ(hydra->processes, 2);
    EXPECT_EQ(hydra->rank, 0);

    // A launcher that does not say the rank: every process will speak.
    const auto no_rank = foreign_launch_of(1, environment({{"PMI_SIZE", "3"}, {"PMI_RANK", "x"}}));
    ASSERT_TRUE(no_rank);
    EXPECT_EQ(no_rank->rank, -1);
}

TEST(LauncherCheck, AcceptsItsOwnLauncherAndPlainRuns)
{
    // The job's size agrees with the launcher's: the right launcher.
    EXPECT_FALSE(foreign_launch_of(4, environment({{"OMPI_COMM_WORLD_SIZE", "4"}})));
    EXPECT_FALSE(foreign_launch_of(2, environment({{"PMI_SIZE", "2"}})));
    // One process, however started.
    EXPECT_FALSE(foreign_launch_of(1, environment({})));
    EXPECT_FALSE(foreign_launch_of(1, environment({{"PMI_SIZE", "1"}, {"OMPI_COMM_WORLD_SIZE", "1"}})));
    // Sizes that are not whole numbers of processes say nothing.
    for (const char* size : {"", "2x", "-3", " 2", "99999999999999999999999"}) {
        EXPECT_FALSE(foreign_launch_of(1, environment({{"PMI_SIZE", size}}))) << '"' << size << '"';
    }
}

TEST(LauncherCheck, MessageNamesTheJobAndTheMpiToUse)
{
    const std::string message = virda::frontend::foreign_launch_message({3, 0});
#if defined(OPEN_MPI)
    const std::string mpi = "openmpi";
#else
    const std::string mpi = "mpich";
#endif
    EXPECT_NE(message.find("one of 3 processes by the launcher of another MPI"), std::string::npos) << message;
    EXPECT_NE(message.find("uses MPI '" + mpi + "'"), std::string::npos) << message;
    EXPECT_NE(message.find("mpiexec." + mpi), std::string::npos) << message;
}

} // namespace
