// The harness's own checks: the MPI-aware main, the MPI resource counter and
// the stderr capture.

#include "framework/runtime/virda_globals.h"
#include "virda_test/ranks.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"
#include "window_lib.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using virda_test::world_rank;
using virda_test::world_size;

TEST(TestMain, SetsTheFrameworkGlobalsToTheWholeJob)
{
    int same = MPI_UNEQUAL;
    MPI_Comm_compare(VIRDA_COMM, MPI_COMM_WORLD, &same);
    EXPECT_EQ(same, MPI_IDENT);
    EXPECT_EQ(VIRDA_ID, world_rank());
}

TEST(MpiCounter, SeesWindowsAndMemoryOfASharedLibrary)
{
    using virda_test::mpi_counts_during;
    window_lib::Window window;
    const auto created = mpi_counts_during([&] { window = window_lib::create(MPI_COMM_WORLD, 4); });
    EXPECT_EQ(created.windows_created, 1);
    EXPECT_EQ(created.mem_allocated, 1);
    EXPECT_EQ(created.windows_open(), 1);

    const int target = (world_rank() + 1) % world_size();
    double value = 0.0;
    const auto read = mpi_counts_during([&] { value = window_lib::read(window, target, 2); });
    EXPECT_EQ(value, 100.0 * target + 2);
    EXPECT_EQ(read.gets, 1);
    EXPECT_EQ(read.locks, 1);
    EXPECT_EQ(read.unlocks, 1);
    EXPECT_EQ(read.windows_created, 0);

    const auto released = mpi_counts_during([&] { window_lib::release(window); });
    EXPECT_EQ(released.windows_freed, 1);
    EXPECT_EQ(released.mem_freed, 1);
    EXPECT_EQ(virda_test::mpi_counts().windows_open(), 0);
    EXPECT_EQ(virda_test::mpi_counts().mem_live(), 0);
}

TEST(MpiCounter, SeesDatatypesOfASharedLibrary)
{
    MPI_Datatype pair = MPI_DATATYPE_NULL;
    const auto made = virda_test::mpi_counts_during([&] { pair = window_lib::make_pair_type(); });
    EXPECT_EQ(made.types_created, 2);
    EXPECT_EQ(made.types_freed, 1);
    EXPECT_EQ(made.types_live(), 1);
    MPI_Type_free(&pair);
    EXPECT_EQ(virda_test::mpi_counts().types_live(), 0);
}

TEST(MpiCounter, CountsCollectivesAndNothingAfterFinalizeYet)
{
    const auto during = virda_test::mpi_counts_during([] {
        MPI_Barrier(MPI_COMM_WORLD);
        int one = 1;
        int total = 0;
        MPI_Allreduce(&one, &total, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
        MPI_Reduce(&one, &total, 1, MPI_INT, MPI_SUM, 0, MPI_COMM_WORLD);
    });
    EXPECT_EQ(during.barriers, 1);
    EXPECT_EQ(during.allreduces, 1);
    EXPECT_EQ(during.reduces, 1);
    EXPECT_EQ(virda_test::mpi_counts().post_finalize_calls, 0);
}

TEST(StderrCapture, ReturnsWhatCerrReceivedAndRestoresCerr)
{
    std::streambuf* const before = std::cerr.rdbuf();
    const std::string text = virda_test::capture_stderr([] {
        std::cerr << "what am i doing?" << std::endl;
        std::cerr << "second line " << 2 << std::endl;
    });
    EXPECT_EQ(text, "what am i doing?\nsecond line 2\n");
    EXPECT_EQ(std::cerr.rdbuf(), before);

    EXPECT_THROW(virda_test::capture_stderr([] {
        std::cerr << "partial";
        throw std::runtime_error("thrown inside the capture");
    }),
                 std::runtime_error);
    EXPECT_EQ(std::cerr.rdbuf(), before);
}

TEST(StderrCapture, CountsAndSplitsExactLines)
{
    const std::string text = "ERROR in va_put:lower limit larger than upper limit \n"
                             "ERROR in va_put:lower limit larger than upper limit\n"
                             "\n"
                             "ERROR in va_put:lower limit larger than upper limit \n"
                             "no newline at the end";
    using virda_test::count_line;
    EXPECT_EQ(count_line(text, "ERROR in va_put:lower limit larger than upper limit "), 2);
    EXPECT_EQ(count_line(text, "ERROR in va_put:lower limit larger than upper limit"), 1);
    EXPECT_EQ(count_line(text, "ERROR in va_put"), 0);
    EXPECT_EQ(count_line(text, "no newline at the end"), 1);
    EXPECT_EQ(count_line(text, ""), 1);

    const std::vector<std::string> expected{"a", "", "b "};
    EXPECT_EQ(virda_test::split_lines("a\n\nb \n"), expected);
    EXPECT_TRUE(virda_test::split_lines("").empty());
}

} // namespace
