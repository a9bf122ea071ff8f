// A test that fails on the last rank only. The harness must fail it on every
// rank, name the failing rank, keep the ranks in step for the tests after it,
// and give the whole job a failing exit code.

#include <gtest/gtest.h>
#include <mpi.h>

namespace {

TEST(RankFailure, PassesEverywhere)
{
    SUCCEED();
}

TEST(RankFailure, FailsOnTheLastRankOnly)
{
    int rank = 0;
    int size = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    EXPECT_NE(rank, size - 1) << "deliberate failure on the last rank";
}

TEST(RankFailure, LaterTestsRunInStep)
{
    int one = 1;
    int total = 0;
    int size = 0;
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    MPI_Allreduce(&one, &total, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    EXPECT_EQ(total, size);
}

} // namespace
