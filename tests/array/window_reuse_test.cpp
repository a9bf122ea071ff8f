// Windows of released arrays kept for reuse: operations that make
// temporaries create and free no window (and make no Context) once warm, a reused window never
// shows a reader the new contents before it is done with the old ones,
// communicators keep their own windows (also one freed and its handle given
// to another), and the bounds hold.
#include "virdastatistics.h"
#include "framework/array/window_pool.h"
#include "framework/attribute/context_arena.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/ranks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using virda_test::mpi_counts_during;
using dims_t = std::vector<int>;

namespace {

va<double> filled(const dims_t& dims, MPI_Comm comm, double offset)
{
    return va_from_global<double>(dims, comm, [offset](int g) { return offset + g; });
}

Attribute attribute_of(int n, double offset)
{
    return attribute_from_global<double>({n}, VIRDA_COMM, [offset](int g) { return offset + 0.25 * g; });
}

} // namespace

TEST(WindowReuse, StatisticsCreateAndFreeNoWindowOnceWarm)
{
    // Every statistic, each call after the first: no window made or freed,
    // and the same result as the first call.
    for (const int n : {10, 1000}) {
        Attribute x = attribute_of(n, -3.0);
        Attribute y = attribute_of(n, 1.0);
        const std::vector<std::pair<const char*, std::function<double()>>> operations = {
            {"mean", [&] { return mean(x); }},
            {"weighted mean", [&] { return mean(x, y); }},
            {"stdev", [&] { return stdev(x); }},
            {"weighted stdev", [&] { return stdev(x, y); }},
            {"median", [&] { return median(x); }},
            {"quantile", [&] { return quantile(x, {0.1, 0.9})[1]; }},
            {"histogram", [&] { return 1.0 * histogram(x, -3.0, 1.0, 8)[0]; }},
            {"bin_data", [&] { return bin_data(x, y, {0.0, 1.0, 2.0})[1]; }},
            {"eval", [&] {
                 function f(0, 3);
                 f.set_coeffs({1.0, -2.0, 0.5, 0.125});
                 Attribute v = f.eval(x);
                 return static_cast<double>(v[n - 1]);
             }},
            {"poly_fit", [&] {
                 std::unique_ptr<function> fit(poly_fit(x, y, 3));
                 return fit->get_coeffs()[1];
             }},
        };
        for (const auto& [name, run] : operations) {
            const double first = run();
            double again = 0.0;
            const std::size_t contexts = virda_detail::contexts_made();
            const auto during = mpi_counts_during([&] { again = run(); });
            // Results share their operands' Context: none is made per call.
            EXPECT_EQ(virda_detail::contexts_made(), contexts) << name;
            EXPECT_EQ(during.windows_created, 0) << name << ", " << n << " elements";
            EXPECT_EQ(during.windows_freed, 0) << name << ", " << n << " elements";
            EXPECT_EQ(during.mem_allocated, 0) << name << ", " << n << " elements";
            EXPECT_EQ(again, first) << name;
        }
    }
}

TEST(WindowReuse, ALaggingReaderReadsTheOldArray)
{
    // Rank 1 reads rank 0's block late; meanwhile rank 0 releases the array,
    // makes another of the same shape (its kept window) and fills it. The
    // new contents may be written only once every rank has released the old
    // array, so rank 1 still reads the old values.
    if (virda_test::ranks() < 2) {
        GTEST_SKIP() << "needs a second rank to read late";
    }
    const int n = 4 * virda_test::ranks();
    std::vector<double> seen(4, 0.0);
    auto old_array = std::make_unique<va<double>>(filled({n}, VIRDA_COMM, 100.0));
    if (VIRDA_ID == 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        old_array->va_get(0, 3, seen.data()); // rank 0's elements
    }
    old_array.reset();
    const auto during = mpi_counts_during([&] {
        va<double> fresh({n}, VIRDA_COMM);
        for (int i = 0; i < fresh.va_local_count(); ++i) {
            fresh.va_set(i, -1.0);
        }
        fresh.va_sync();
    });
    EXPECT_EQ(during.windows_created, 0); // the old array's window served
    if (VIRDA_ID == 1) {
        EXPECT_EQ(seen, std::vector<double>({100.0, 101.0, 102.0, 103.0}));
    }
}

TEST(WindowReuse, CommunicatorsKeepTheirOwnWindows)
{
    // Arrays over the whole job and over a half of it, made and released in
    // turn: each reuses only its own communicator's windows and holds its own
    // values. VIRDA_COMM's list starts empty, so that nothing is evicted.
    virda_detail::drop_kept_windows(VIRDA_COMM);
    MPI_Comm half = MPI_COMM_NULL;
    MPI_Comm_split(VIRDA_COMM, VIRDA_ID % 2, VIRDA_ID, &half);
    for (int round = 0; round < 3; ++round) {
        const auto during = mpi_counts_during([&] {
            const va<double> a = filled({12}, VIRDA_COMM, 1.0 * round);
            const va<double> b = filled({12}, half, 50.0 * round);
            for (int g = 0; g < 12; ++g) {
                double got_a = 0.0;
                double got_b = 0.0;
                a.va_get_opt(g, &got_a);
                b.va_get_opt(g, &got_b);
                EXPECT_EQ(got_a, 1.0 * round + g);
                EXPECT_EQ(got_b, 50.0 * round + g);
            }
        });
        // Two windows in the first round, none after.
        EXPECT_EQ(during.windows_created, round == 0 ? 2 : 0) << "round " << round;
        EXPECT_EQ(during.windows_freed, 0) << "round " << round;
    }
    EXPECT_GE(virda_detail::kept_window_count(half), 1);

    // A freed communicator frees its kept windows with it; one made
    // afterwards, which may get the same handle, starts with none.
    const auto freed = mpi_counts_during([&] { MPI_Comm_free(&half); });
    EXPECT_EQ(freed.windows_freed, 1);
    MPI_Comm other = MPI_COMM_NULL;
    MPI_Comm_split(VIRDA_COMM, 0, virda_test::ranks() - 1 - VIRDA_ID, &other);
    EXPECT_EQ(virda_detail::kept_window_count(other), 0);
    const auto made = mpi_counts_during([&] {
        const va<double> c = filled({12}, other, 7.0);
        double got = 0.0;
        c.va_get_opt(11, &got);
        EXPECT_EQ(got, 18.0);
    });
    EXPECT_EQ(made.windows_created, 1);
    MPI_Comm_free(&other);
}

TEST(WindowReuse, ArraysWithoutElementsKeepWindowsOfTheirOwnSize)
{
    // A placeholder's window covers its one-element block, that of an array
    // whose later extent is 0 no bytes: neither may serve the other.
    virda_detail::drop_kept_windows(VIRDA_COMM); // none kept to start with
    const auto windows_made = [](const dims_t& dims) {
        return mpi_counts_during([&] { va<double> a(dims, VIRDA_COMM); }).windows_created;
    };
    EXPECT_EQ(windows_made({0}), 1);
    EXPECT_EQ(windows_made({5, 0}), 1) << "took a placeholder's window";
    EXPECT_EQ(windows_made({0}), 0) << "the placeholder's own window is reused";
    EXPECT_EQ(windows_made({5, 0}), 0);
    EXPECT_EQ(windows_made({6, 0}), 1) << "other rows, another window";
}

TEST(WindowReuse, AtMostEightWindowsKeptPerCommunicator)
{
    MPI_Comm comm = MPI_COMM_NULL;
    MPI_Comm_dup(VIRDA_COMM, &comm);
    const auto during = mpi_counts_during([&] {
        std::vector<va<int>> arrays;
        for (int k = 0; k < 11; ++k) {
            arrays.emplace_back(dims_t{5 + k}, comm); // all shapes differ
        }
        arrays.clear(); // 11 released: 8 kept, the 3 oldest freed
    });
    EXPECT_EQ(during.windows_created, 11);
    EXPECT_EQ(during.windows_freed, 11 - virda_detail::kept_windows_bound);
    EXPECT_EQ(virda_detail::kept_window_count(comm), virda_detail::kept_windows_bound);
    // The newest are kept: the last shape is reused, the first is not.
    EXPECT_EQ(mpi_counts_during([&] { va<int> a({15}, comm); }).windows_created, 0);
    EXPECT_EQ(mpi_counts_during([&] { va<int> a({5}, comm); }).windows_created, 1);

    // Very large arrays are not kept (reckoned by the largest block of any
    // rank, the same everywhere).
    const auto large = mpi_counts_during([&] { va<char> a({(1 << 30) + 4096}, MPI_COMM_SELF); });
    EXPECT_EQ(large.windows_freed, 1);
    EXPECT_EQ(virda_detail::drop_kept_windows(comm), virda_detail::kept_windows_bound);
    MPI_Comm_free(&comm);
}
