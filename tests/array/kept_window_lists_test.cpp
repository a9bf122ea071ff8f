// Which communicators keep the windows of released arrays (a few per
// process, one of them VIRDA_COMM, agreed by the ranks of each), and arrays
// that outlive their communicator. The first test needs a process in which
// VIRDA_COMM has kept no window yet.
#include "virdastatistics.h"
#include "framework/array/window_pool.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/ranks.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using virda_detail::kept_list_count;
using virda_detail::kept_lists_bound;
using virda_detail::kept_window_count;
using virda_test::mpi_counts_during;
using dims_t = std::vector<int>;

namespace {

/// Windows freed by making and releasing one array over `comm`.
long windows_freed_by_one_array(MPI_Comm comm)
{
    return mpi_counts_during([&] { va<int> a(dims_t{5}, comm); }).windows_freed;
}

} // namespace

TEST(KeptWindowLists, FewCommunicatorsKeepWindowsAndTheJobsAlwaysDoes)
{
    // Arrays over more communicators than may keep windows, before any over
    // VIRDA_COMM: only the first ones keep their windows.
    std::vector<MPI_Comm> others(kept_lists_bound + 1, MPI_COMM_NULL);
    int keeping = 0;
    for (MPI_Comm& c : others) {
        MPI_Comm_dup(VIRDA_COMM, &c);
        windows_freed_by_one_array(c);
        keeping += kept_window_count(c) > 0 ? 1 : 0;
    }
    EXPECT_EQ(keeping, kept_lists_bound - 1);

    // VIRDA_COMM still keeps its windows: a statistic makes none once warm.
    Attribute x = attribute_from_global<double>({40}, VIRDA_COMM, [](int g) { return 0.5 * g; });
    Attribute y = attribute_from_global<double>({40}, VIRDA_COMM, [](int g) { return 1.0 - g; });
    const double first = stdev(x, y);
    double again = 0.0;
    const auto warm = mpi_counts_during([&] { again = stdev(x, y); });
    EXPECT_EQ(warm.windows_created + warm.windows_freed, 0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(kept_list_count(), kept_lists_bound);
    for (MPI_Comm& c : others) {
        MPI_Comm_free(&c);
    }
}

TEST(KeptWindowLists, RanksWithDifferentCommunicatorsAgree)
{
    // Rank 0 fills every place with communicators of its own; an array over
    // a communicator of all ranks then keeps no window on any rank. Were it
    // kept on some ranks and freed on rank 0, rank 0 would wait in
    // MPI_Win_free alone.
    std::vector<MPI_Comm> own;
    if (virda_test::world_rank() == 0) {
        for (int k = 0; k <= kept_lists_bound && kept_list_count() < kept_lists_bound; ++k) {
            own.emplace_back(MPI_COMM_NULL);
            MPI_Comm_dup(MPI_COMM_SELF, &own.back());
            windows_freed_by_one_array(own.back());
        }
        EXPECT_EQ(kept_list_count(), kept_lists_bound);
    }
    MPI_Comm all = MPI_COMM_NULL;
    MPI_Comm_dup(VIRDA_COMM, &all);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(windows_freed_by_one_array(all), 1) << "round " << round;
    }
    EXPECT_EQ(kept_window_count(all), 0);
    for (MPI_Comm& c : own) {
        MPI_Comm_free(&c);
    }
    // With the places given back, the next array's creation gives `all` a
    // list on every rank.
    EXPECT_EQ(windows_freed_by_one_array(all), 0);
    EXPECT_EQ(kept_window_count(all), 1);
    MPI_Comm_free(&all);
}

TEST(FreedCommunicator, ArraysAndAttributesOutliveIt)
{
    // A window keeps its group: the program may free the communicator of
    // live arrays, read them, and release them later. The release frees the
    // window without looking the freed communicator up, and never keeps it
    // for a communicator that was given the same handle since.
    MPI_Comm comm = MPI_COMM_NULL;
    MPI_Comm_dup(VIRDA_COMM, &comm);
    const int n = 3 * virda_test::ranks() + 1;
    const auto from_global = [](MPI_Comm c, int size, double factor) {
        return va_from_global<double>({size}, c, [factor](int g) { return factor * g; });
    };
    { const va<double> other_shape = from_global(comm, n + 1, 1.0); }
    EXPECT_EQ(kept_window_count(comm), 1);
    auto a = std::make_unique<va<double>>(from_global(comm, n, 2.0));
    auto x = std::make_unique<Attribute>(attribute_from_global<double>({n}, comm, [](int g) { return 0.5 * g; }));
    const int lists = kept_list_count();

    // The kept window goes with the communicator; the live arrays stay.
    EXPECT_EQ(mpi_counts_during([&] { MPI_Comm_free(&comm); }).windows_freed, 1);
    EXPECT_EQ(kept_list_count(), lists - 1);
    double last = 0.0;
    a->va_get_opt(n - 1, &last); // held by the last rank
    EXPECT_EQ(last, 2.0 * (n - 1));
    EXPECT_EQ(mpi_counts_during([&] { a.reset(); }).windows_freed, 1);

    MPI_Comm other = MPI_COMM_NULL;
    MPI_Comm_dup(VIRDA_COMM, &other); // may be given the freed handle
    EXPECT_EQ(static_cast<double>((*x)[n - 1]), 0.5 * (n - 1));
    EXPECT_EQ(mpi_counts_during([&] { x.reset(); }).windows_freed, 1);
    EXPECT_EQ(kept_window_count(other), 0);
    MPI_Comm_free(&other);
}
