// GoogleTest entry point for test programs that run under mpiexec.
//
// Every rank runs every test, in the same order (no shuffling). Only rank 0
// prints GoogleTest's report and writes its XML file; other ranks print their
// own failed assertions, tagged with their rank. After each test all ranks
// agree on its verdict: a test that failed on any rank fails on every rank,
// and rank 0 names the ranks it failed on. The exit code is the same on every
// rank.

#include "framework/runtime/virda_globals.h"

#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

class RankVerdictListener : public ::testing::EmptyTestEventListener {
public:
    RankVerdictListener(int rank, int size) : rank_(rank), size_(size) {}

    // Only the failing rank sees its failures: never communicate here.
    void OnTestPartResult(const ::testing::TestPartResult& result) override
    {
        if (rank_ == 0 || !result.failed() || adding_remote_failure_) {
            return; // rank 0's printer reports it
        }
        std::ostringstream text;
        text << (result.file_name() ? result.file_name() : "unknown file");
        if (result.line_number() >= 0) {
            text << ':' << result.line_number();
        }
        text << ": Failure\n" << result.message();
        std::string tagged;
        std::istringstream lines(text.str());
        for (std::string line; std::getline(lines, line);) {
            tagged += "[rank " + std::to_string(rank_) + "] " + line + '\n';
        }
        std::fputs(tagged.c_str(), stdout);
        std::fflush(stdout);
    }

    // Called before GoogleTest's printer sees the end of the test (end events
    // go to listeners in reverse order), so the printer reports the agreed
    // verdict. Collective over MPI_COMM_WORLD: every rank ends every test.
    void OnTestEnd(const ::testing::TestInfo& test) override
    {
        std::vector<int> failed(static_cast<std::size_t>(size_), 0);
        failed[static_cast<std::size_t>(rank_)] = test.result()->Failed() ? 1 : 0;
        MPI_Allreduce(MPI_IN_PLACE, failed.data(), size_, MPI_INT, MPI_MAX, MPI_COMM_WORLD);

        std::string ranks;
        for (int r = 0; r < size_; ++r) {
            if (failed[static_cast<std::size_t>(r)] != 0) {
                ranks += (ranks.empty() ? "" : " ") + std::to_string(r);
            }
        }
        if (ranks.empty()) {
            return;
        }
        const std::string name = std::string(test.test_suite_name()) + '.' + test.name();
        const std::string where = name + " failed on ranks: " + ranks + " (of " +
                                  std::to_string(size_) + ')';
        if (failed[static_cast<std::size_t>(rank_)] == 0) {
            // Fails the test here too, so that every rank counts it.
            adding_remote_failure_ = true;
            ADD_FAILURE() << where;
            adding_remote_failure_ = false;
        }
        if (rank_ == 0) {
            std::printf("[  RANKS   ] %s\n", where.c_str());
            std::fflush(stdout);
            failures_.push_back(where);
        }
    }

    void OnTestProgramEnd(const ::testing::UnitTest&) override
    {
        for (const auto& where : failures_) {
            std::printf("[  RANKS   ] %s\n", where.c_str());
        }
        std::fflush(stdout);
    }

private:
    int rank_;
    int size_;
    bool adding_remote_failure_ = false;
    std::vector<std::string> failures_;
};

} // namespace

int main(int argc, char** argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0;
    int size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    VIRDA_COMM = MPI_COMM_WORLD;
    VIRDA_ID = rank;

    ::testing::InitGoogleTest(&argc, argv);
    // Set after parsing, so that no command-line flag or environment variable wins.
    GTEST_FLAG_SET(shuffle, false);
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    if (rank != 0) {
        delete listeners.Release(listeners.default_result_printer());
        delete listeners.Release(listeners.default_xml_generator());
        GTEST_FLAG_SET(output, "");
    }
    listeners.Append(new RankVerdictListener(rank, size));

    const int local = RUN_ALL_TESTS();
    int verdict = 0;
    MPI_Allreduce(&local, &verdict, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Finalize();
    return verdict;
}
