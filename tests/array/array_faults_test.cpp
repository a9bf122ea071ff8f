// Arrays that cannot be made: rejected extents, a block that MPI cannot
// allocate on one rank, and no window to be had (every window takes one of
// the process's MPI context ids). Every rank must agree on the outcome, write
// one line, and hold an empty array whose reads return nothing plausible.

#include "virdastatistics.h"
#include "framework/array/window_pool.h"
#include "virda_test/alloc_refusal.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/ranks.h"
#include "virda_test/stderr_capture.h"
#include "virda_test/window_reuse.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

using virda_test::capture_stderr;
using virda_test::mpi_counts_during;
using virda_test::ranks;
using dims_t = std::vector<int>;

namespace {

template <typename T>
void expect_empty(const va<T>& a, const std::string& what)
{
    EXPECT_EQ(a.va_size(), 0) << what;
    EXPECT_EQ(a.va_get_dimensions(), dims_t({0})) << what;
    EXPECT_EQ(a.va_local_count(), 0) << what;
    T out{};
    std::string err = capture_stderr([&] { EXPECT_EQ(a.va_get_opt(0, &out), -1) << what; });
    EXPECT_EQ(err, std::string("ERROR:index larger than the size of the VA.No value returned\n")) << what;
}

} // namespace

TEST(Rejected, OverflowingAndNegativeExtentsGivePlaceholders)
{
    struct rejected {
        dims_t dims;
        int extra;
        const char* line;
    };
    const char* const too_many = "ERROR in va_create:number of elements does not fit in an int.VA left empty";
    const char* const negative = "ERROR in va_create:negative extent or extra rows.VA left empty";
    for (const auto& c : std::vector<rejected>{{{5, 0}, INT_MAX, too_many},
                                               {{1, 0}, INT_MAX - 1, nullptr},
                                               {{0, -1}, 0, negative},
                                               {{0}, -5, negative},
                                               {{}, -1, negative}}) {
        va<double> a;
        std::string err = capture_stderr([&] { a.va_create(c.dims, VIRDA_COMM, c.extra); });
        EXPECT_EQ(err, c.line == nullptr ? std::string() : std::string(c.line) + "\n") << c.dims.size();
        if (c.line != nullptr) {
            expect_empty(a, "rejected extents");
        }
    }
}

TEST(Rejected, SubBlockOfMoreThanAnIntOfElements)
{
    const auto during = mpi_counts_during([] {
        MPI_Datatype t = MPI_DATATYPE_NULL;
        const std::string err = capture_stderr(
            [&] { t = mpi_type_trait<non_c_d_md<double>>().get({1, 1, 1}, {INT_MAX, INT_MAX, INT_MAX}); });
        EXPECT_EQ(t, MPI_DATATYPE_NULL);
        EXPECT_EQ(err, "ERROR in mpi_type_trait:malformed sub-block counts or sizes.No datatype built\n");
        // The largest enclosing array that still fits is accepted.
        t = mpi_type_trait<non_c_d_md<int>>().get({1, 1}, {1, INT_MAX});
        MPI_Aint lb = 0;
        MPI_Aint extent = 0;
        MPI_Type_get_extent(t, &lb, &extent);
        EXPECT_EQ(extent, MPI_Aint{INT_MAX} * 4);
        MPI_Type_free(&t);
    });
    EXPECT_EQ(during.types_live(), 0);
}

TEST(BlockAllocation, FailureOnOneRankLeavesEveryRankEmpty)
{
    // Each creation must allocate a block of its own to fail.
    const virda_test::without_window_reuse fresh_windows;
    // The last rank's MPI_Alloc_mem hands back a bogus block. No rank may write
    // through it or be left alone in the window creation.
    for (const dims_t& dims : {dims_t{1000, 3}, dims_t{0}}) {
        std::string err;
        const auto during = mpi_counts_during([&] {
            va<double> a;
            virda_test::refuse_alloc_mem(virda_test::world_rank() == ranks() - 1 ? 1 : 0);
            err = capture_stderr([&] { a.va_create(dims, VIRDA_COMM, 0); });
            expect_empty(a, "failed block");
            EXPECT_EQ(err, std::string("ERROR in va_create:block could not be allocated on some rank.VA left empty\n"));
        });
        EXPECT_EQ(virda_test::alloc_refusal_pending(), 0);
        // Only the default constructor's placeholder had a window.
        EXPECT_EQ(during.windows_created, 1);
        EXPECT_EQ(during.windows_open(), 0);
        EXPECT_EQ(during.mem_live(), 0);
    }

    // Through the attribute: an arithmetic result that cannot be had is an
    // empty attribute on every rank, and reading it gives zeros with a line.
    Attribute x;
    x.set_attribute(array_variant(va<double>({4 * ranks()}, VIRDA_COMM)));
    virda_test::refuse_alloc_mem(virda_test::world_rank() == 0 ? 1 : 0);
    Attribute y;
    const std::string err = capture_stderr([&] { y = x * scalar_variant(2.0); });
    EXPECT_EQ(err, std::string("ERROR in va_create:block could not be allocated on some rank.VA left empty\n"));
    EXPECT_EQ(y.size(), 0);
    EXPECT_EQ(static_cast<double>(y[0]), 0.0);
}

TEST(WindowLimit, RunningOutOfWindowsIsAgreedAndReported)
{
#ifdef OMPI_MAJOR_VERSION
    // Decided at compile time, so every rank skips alike.
    GTEST_SKIP() << "Open MPI's context ids (one per window, as with MPICH) are not used up "
                    "by a few thousand windows; this test needs MPICH's 2048";
#endif
    // Make rank 0 use more context ids than the others, so that it runs out
    // first; all ranks must still agree on which creation failed.
    std::vector<MPI_Comm> extra(virda_test::world_rank() == 0 ? 16 : 0, MPI_COMM_NULL);
    for (MPI_Comm& c : extra) {
        MPI_Comm_dup(MPI_COMM_SELF, &c);
    }
    std::vector<std::unique_ptr<va<int>>> arrays;
    int failed_at = -1;
    std::string err;
    for (int k = 0; k < 5000 && failed_at < 0; ++k) {
        auto a = std::make_unique<va<int>>();
        err = capture_stderr([&] { a->va_create({ranks()}, VIRDA_COMM, 0); });
        if (!err.empty()) {
            failed_at = k;
            EXPECT_EQ(err, std::string("ERROR in va_create:no MPI window could be created.VA left empty\n"));
            expect_empty(*a, "no window");
        }
        arrays.push_back(std::move(a));
    }
    int lowest = 0;
    int highest = 0;
    MPI_Allreduce(&failed_at, &lowest, 1, MPI_INT, MPI_MIN, VIRDA_COMM);
    MPI_Allreduce(&failed_at, &highest, 1, MPI_INT, MPI_MAX, VIRDA_COMM);
    EXPECT_GT(lowest, 1000); // some 2000 windows can be had
    EXPECT_EQ(lowest, highest);

    // Released arrays give their context ids back.
    arrays.clear();
    for (MPI_Comm& c : extra) {
        MPI_Comm_free(&c);
    }
    va<int> again({ranks()}, VIRDA_COMM);
    EXPECT_EQ(again.va_size(), ranks());
}

TEST(WindowLimit, KeptWindowsAreGivenBackWhenWindowsRunOut)
{
#ifdef OMPI_MAJOR_VERSION
    GTEST_SKIP() << "Open MPI's context ids are not used up by a few thousand windows; this test needs MPICH's 2048";
#endif
    // How many arrays can live at once, with no window kept and then with
    // five kept windows of other shapes: the same number, because a creation
    // that finds no context id left frees the kept windows and tries again.
    auto live_until_failure = [] {
        std::vector<std::unique_ptr<va<int>>> arrays;
        int failed_at = -1;
        for (int k = 0; k < 5000 && failed_at < 0; ++k) {
            std::string err;
            err = capture_stderr([&] { arrays.push_back(std::make_unique<va<int>>(dims_t{ranks()}, VIRDA_COMM)); });
            if (!err.empty()) {
                failed_at = k;
                EXPECT_EQ(virda_detail::kept_window_count(VIRDA_COMM), 0);
            }
        }
        return failed_at;
    };
    virda_detail::drop_kept_windows(VIRDA_COMM);
    const int plain = live_until_failure();
    virda_detail::drop_kept_windows(VIRDA_COMM);
    {
        std::vector<va<double>> few;
        for (int k = 0; k < 5; ++k) {
            few.emplace_back(dims_t{7 + k}, VIRDA_COMM);
        }
    }
    EXPECT_EQ(virda_detail::kept_window_count(VIRDA_COMM), 5);
    const int with_kept = live_until_failure();
    EXPECT_GT(plain, 1000);
    EXPECT_EQ(with_kept, plain);
}

TEST(WindowLimit, ManyCommunicatorsWithReleasedArraysHoldFewContextIds)
{
#ifdef OMPI_MAJOR_VERSION
    GTEST_SKIP() << "Open MPI's context ids are not used up by a few thousand windows; this test needs MPICH's 2048";
#endif
    // Eight arrays made and released over each of 240 communicators of the
    // program's: every duplication still succeeds, and the arrays that can
    // then live over VIRDA_COMM are fewer only by the communicators and the
    // bounded number of kept windows.
    constexpr int communicators = 240;
    std::vector<std::unique_ptr<va<int>>> arrays;
    const auto live_until_failure = [&arrays] {
        int failed_at = -1;
        for (int k = 0; k < 5000 && failed_at < 0; ++k) {
            const std::string err =
                capture_stderr([&] { arrays.push_back(std::make_unique<va<int>>(dims_t{ranks()}, VIRDA_COMM)); });
            failed_at = err.empty() ? -1 : k;
        }
        arrays.clear();
        return failed_at;
    };
    const int plain = live_until_failure();

    // Duplication errors are returned, not fatal, so that running out is
    // counted instead of ending the job; every rank runs out alike.
    MPI_Errhandler previous = MPI_ERRHANDLER_NULL;
    MPI_Comm_get_errhandler(VIRDA_COMM, &previous);
    MPI_Comm_set_errhandler(VIRDA_COMM, MPI_ERRORS_RETURN);
    std::vector<MPI_Comm> comms;
    int failed_arrays = 0;
    for (int c = 0; c < communicators; ++c) {
        MPI_Comm d = MPI_COMM_NULL;
        if (MPI_Comm_dup(VIRDA_COMM, &d) != MPI_SUCCESS) {
            break;
        }
        comms.push_back(d);
        const std::string err = capture_stderr([&] {
            std::vector<va<int>> eight;
            for (int k = 0; k < 8; ++k) {
                eight.emplace_back(dims_t{ranks()}, d);
            }
        });
        failed_arrays += err.empty() ? 0 : 1;
    }
    MPI_Comm_set_errhandler(VIRDA_COMM, previous);
    MPI_Errhandler_free(&previous);
    EXPECT_EQ(static_cast<int>(comms.size()), communicators);
    EXPECT_EQ(failed_arrays, 0);
    const int with_communicators = live_until_failure();
    const int held = virda_detail::kept_lists_bound * virda_detail::kept_windows_bound;
    EXPECT_GE(with_communicators, plain - static_cast<int>(comms.size()) - held);
    for (MPI_Comm& c : comms) {
        MPI_Comm_free(&c);
    }
}
