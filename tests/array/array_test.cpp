// Distributed arrays: distribution by rows, creation edge cases, reads of any
// element from any rank, copies, assignment and moves with the collectives they
// make. Data come from the global index, so every rank knows every element.
#include "virdastatistics.h"
#include "virda_test/ranks.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"
#include "virda_test/window_reuse.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

using virda_test::capture_stderr;
using virda_test::count_line;
using virda_test::mpi_counts_during;
using range = std::vector<int>;
using dims_t = std::vector<int>;

namespace {

using virda_test::ranks;

double value(int g) { return 0.5 * g - 3.0; }

// An array of these extents (and extra rows on the last rank) holding
// value(g) + offset at every global index g, published to all ranks.
va<double> filled(const dims_t& dims, double offset = 0.0, int extra = 0)
{
    return va_from_global<double>(dims, VIRDA_COMM, [offset](int g) { return value(g) + offset; }, extra);
}

// Every rank reads the whole array in one range read and compares.
void expect_all(const va<double>& a, double offset = 0.0)
{
    std::vector<double> got(static_cast<std::size_t>(a.va_size()));
    EXPECT_EQ(a.va_get(0, a.va_size() - 1, got.data()), 0);
    for (int g = 0; g < a.va_size(); ++g) {
        EXPECT_EQ(got[static_cast<std::size_t>(g)], value(g) + offset) << "element " << g;
    }
}

long collectives(const virda_test::MpiCounts& c)
{
    return c.windows_created + c.windows_freed + c.barriers + c.allreduces;
}

} // namespace

TEST(Distribution, RowsOverRanks)
{
    const int n = ranks();
    struct layout { dims_t dims; int extra; };
    for (const layout& c : std::vector<layout>{{{10, 3}, 0}, {{8}, 0}, {{3}, 0}, {{1}, 0},
                                               {{7, 2, 2}, 0}, {{10}, 2}, {{2, 5}, 1}}) {
        const va<double> a = filled(c.dims, 0.0, c.extra);
        const int row = c.dims.size() == 1 ? 1 : c.dims[1] * (c.dims.size() == 3 ? c.dims[2] : 1);
        EXPECT_EQ(a.va_size(), c.dims[0] * row);
        EXPECT_EQ(a.va_get_dimensions(), c.dims);
        // The first dims[0] % n ranks hold one row more; the last also the extra rows.
        for (int r = 0, start = 0; r < n; ++r) {
            const int rows = c.dims[0] / n + (r < c.dims[0] % n ? 1 : 0);
            const int held = rows + (r == n - 1 ? c.extra : 0);
            EXPECT_EQ(a.va_distribution_index(r), range({start * row, (start + held) * row - 1}));
            if (r == VIRDA_ID) {
                EXPECT_EQ(a.va_local_count(), rows * row);
                EXPECT_EQ(a.va_local_range().first, start * row);
                EXPECT_EQ(a.va_local_range().count, held * row);
            }
            start += held;
        }
    }
    // The worked layouts, written out.
    struct worked { int ranks; dims_t dims; int extra; std::vector<range> want; };
    for (const worked& w : std::vector<worked>{
             {4, {10, 3}, 0, {{0, 8}, {9, 17}, {18, 23}, {24, 29}}},
             {4, {8}, 0, {{0, 1}, {2, 3}, {4, 5}, {6, 7}}},
             {4, {3}, 0, {{0, 0}, {1, 1}, {2, 2}, {3, 2}}},
             {3, {10}, 2, {{0, 3}, {4, 6}, {7, 11}}}}) {
        if (w.ranks == n) {
            va<int> a;
            a.va_create(w.dims, VIRDA_COMM, w.extra);
            for (int r = 0; r < n; ++r) {
                EXPECT_EQ(a.va_distribution_index(r), w.want[static_cast<std::size_t>(r)]);
            }
        }
    }
}

TEST(Creation, PlaceholdersAndRejectedExtents)
{
    std::string err;
    const auto made = mpi_counts_during([&] {
        va<char> p;
        EXPECT_EQ(p.va_size(), 0);
        EXPECT_EQ(p.va_get_dimensions(), dims_t({0}));
        err = capture_stderr([&] { EXPECT_EQ(p.va_distribution_index(0), range({0, -1})); });
        EXPECT_EQ(p.va_local_range().count, 0); // and no message
    });
    EXPECT_EQ(made.windows_created, 1);
    EXPECT_EQ(made.mem_allocated, 1);
    EXPECT_EQ(err, std::string("ERROR in va_distribution_index:VA not created.Empty range returned\n"));
    EXPECT_EQ(mpi_counts_during([] { va<Vector2> v({4, 4}, VIRDA_COMM); }).windows_created, 1);

    struct rejected { dims_t dims; int extra; const char* line; };
    const char* const too_many = "ERROR in va_create:number of elements does not fit in an int.VA left empty";
    const char* const negative = "ERROR in va_create:negative extent or extra rows.VA left empty";
    for (const auto& c : std::vector<rejected>{
             {{}, 0, nullptr}, {{0, 5}, 0, nullptr}, {{3, 0}, 0, nullptr}, {{46341, 46341}, 0, too_many},
             {{1 << 30}, 1 << 30, too_many}, {{-3}, 0, negative},
             {{4, -1}, 0, negative}, {{4}, -1, negative}}) {
        va<double> a({6}, VIRDA_COMM);
        err = capture_stderr([&] { a.va_create(c.dims, VIRDA_COMM, c.extra); });
        EXPECT_EQ(err, c.line ? std::string(c.line) + "\n" : "");
        EXPECT_EQ(a.va_size(), 0);
        EXPECT_EQ(a.va_get_dimensions(), c.line ? dims_t({0}) : c.dims.empty() ? dims_t({0}) : c.dims);
        double out = 7.0;
        err = capture_stderr([&] { EXPECT_EQ(a.va_get_opt(0, &out), -1); });
        EXPECT_EQ(count_line(err, "ERROR:index larger than the size of the VA.No value returned"), 1);
        EXPECT_EQ(out, 7.0);
    }
    const va<int> a({5}, VIRDA_COMM);
    err = capture_stderr([&] {
        EXPECT_EQ(a.va_distribution_index(-1), range({0, -1}));
        EXPECT_EQ(a.va_distribution_index(ranks()), range({0, -1}));
    });
    EXPECT_EQ(count_line(err, "ERROR in va_distribution_index:rank outside the communicator.Empty range returned"), 2);
}

TEST(Reads, EveryElementFromEveryRank)
{
    const va<double> a = filled({10, 3});
    const range own = a.va_distribution_index(VIRDA_ID);
    const auto reads = mpi_counts_during([&] {
        for (int g = 0; g < 30; ++g) {
            double x = -1;
            EXPECT_EQ(a.va_get_opt(g, &x), 0);
            EXPECT_EQ(x, value(g)) << g;
            EXPECT_EQ(a[g], value(g)) << g;
            if (g >= own[0] && g <= own[1]) {
                EXPECT_EQ(a.va_get_access(g - own[0]), value(g));
            }
        }
    });
    EXPECT_EQ(reads.gets, 2 * (30 - (own[1] - own[0] + 1))); // own elements are read locally
    EXPECT_EQ(reads.locks, reads.unlocks);
    // Ranges between block edges (at 4 ranks: 0-8, 9-17, 18-23, 24-29) and
    // inner points: one get per other rank touched, elements in order.
    std::vector<range> blocks;
    for (int r = 0; r < ranks(); ++r) {
        blocks.push_back(a.va_distribution_index(r));
    }
    const int points[] = {0, 5, 8, 9, 14, 17, 18, 20, 23, 24, 29};
    for (int lo : points) {
        for (int hi : points) {
            if (hi < lo) {
                continue;
            }
            std::vector<double> buf(31, 99.0);
            const auto during = mpi_counts_during([&] { EXPECT_EQ(a.va_get(lo, hi, buf.data()), 0); });
            int touched = 0;
            for (int r = 0; r < ranks(); ++r) {
                const range& b = blocks[static_cast<std::size_t>(r)];
                touched += r != VIRDA_ID && b[0] <= b[1] && b[0] <= hi && b[1] >= lo;
            }
            EXPECT_EQ(during.gets, touched) << lo << ".." << hi;
            for (int g = lo; g <= hi + 1; ++g) {
                EXPECT_EQ(buf[static_cast<std::size_t>(g - lo)], g > hi ? 99.0 : value(g)) << lo << '-' << hi;
            }
        }
    }
}

TEST(Reads, RejectedIndicesAndRanges)
{
    const va<double> a = filled({10, 3});
    const va<double> x = filled({10}, 0.0, 2); // extra rows are not addressable
    std::vector<double> buf(4, 5.0);
    double out = 5.0;
    std::string err;
    const auto during = mpi_counts_during([&] {
        err = capture_stderr([&] {
            for (int index : {30, -1, INT_MIN}) {
                EXPECT_EQ(a.va_get_opt(index, &out), -1);
            }
            EXPECT_EQ(x.va_get_opt(10, &out), -1);
            EXPECT_EQ(a.va_get(7, 3, buf.data()), -1);
            EXPECT_EQ(a.va_get(-1, 2, buf.data()), -1);
            EXPECT_EQ(a.va_get(28, 30, buf.data()), -1);
            EXPECT_EQ(x.va_get(8, 11, buf.data()), -1);
            EXPECT_EQ(a[30], 0.0);
            const Vector3 z = va<Vector3>({3}, MPI_COMM_SELF)[3];
            EXPECT_EQ(z.x, 0);
            EXPECT_EQ(z.y, 0);
            EXPECT_EQ(z.z, 0);
            const fftw_complex zc = va<fftw_complex>({3}, MPI_COMM_SELF)[3];
            EXPECT_EQ(zc.re, 0);
            EXPECT_EQ(zc.im, 0);
        });
    });
    EXPECT_EQ(count_line(err, "ERROR:index larger than the size of the VA.No value returned"), 7);
    EXPECT_EQ(count_line(err, "ERROR in va_put:lower limit larger than upper limit "), 1);
    EXPECT_EQ(count_line(err, "ERROR in va_get:range outside the VA.No value returned"), 3);
    EXPECT_EQ(out, 5.0);
    EXPECT_EQ(buf, std::vector<double>(4, 5.0));
    EXPECT_EQ(during.locks + during.gets, 0);
}

TEST(Copies, ConstructionAndAssignment)
{
    // Counts the windows each step creates and frees itself.
    const virda_test::without_window_reuse fresh_windows;
    va<double> src = filled({10, 3});
    // Copy: same extents, communicator and layout; readable everywhere at once.
    const auto copied = mpi_counts_during([&] {
        va<double> c(src);
        EXPECT_EQ(c.va_get_dimensions(), src.va_get_dimensions());
        EXPECT_EQ(c.va_get_comm(), src.va_get_comm());
        EXPECT_EQ(c.va_distribution_index(VIRDA_ID), src.va_distribution_index(VIRDA_ID));
        expect_all(c);
        src.va_set(0, 1e9); // the copy is independent
        EXPECT_NE(c.va_get_access(0), 1e9);
    });
    EXPECT_EQ(copied.windows_created, 1);
    EXPECT_GE(copied.barriers, 1);
    va<double> p0;
    p0.va_create({0, 5}, VIRDA_COMM, 0);
    const va<double> p(p0);
    EXPECT_EQ(p.va_get_dimensions(), dims_t({0, 5}));
    EXPECT_EQ(p.va_size(), 0);

    // Assigning to a placeholder creates it; to other extents, re-creates it.
    va<double> t;
    const va<double> six = filled({6}, 1.0), four = filled({4}, 2.0), other = filled({4}, 3.0);
    auto during = mpi_counts_during([&] { t = six; });
    EXPECT_EQ(during.windows_created, 1);
    expect_all(t, 1.0);
    during = mpi_counts_during([&] { t = four; });
    EXPECT_EQ(during.windows_created, 1);
    EXPECT_EQ(during.windows_freed, 1);
    expect_all(t, 2.0);
    // Same extents and communicator: elements only, no collective at all. The
    // blocks are written in place, so no rank may be reading them meanwhile.
    MPI_Barrier(VIRDA_COMM);
    during = mpi_counts_during([&] { t = other; });
    EXPECT_EQ(collectives(during), 0);
    MPI_Barrier(VIRDA_COMM);
    expect_all(t, 3.0);
    // Same extents over another communicator: re-created over the source's.
    MPI_Comm dup;
    MPI_Comm_dup(VIRDA_COMM, &dup);
    {
        va<double> d({4}, dup);
        during = mpi_counts_during([&] { d = other; });
        EXPECT_EQ(during.windows_created, 1);
        EXPECT_EQ(d.va_get_comm(), VIRDA_COMM);
        expect_all(d, 3.0);
    }
    MPI_Comm_free(&dup);
    std::string err;
    during = mpi_counts_during([&] { err = capture_stderr([&] { t = t; }); });
    EXPECT_EQ(err, std::string("what am i doing?\n"));
    EXPECT_EQ(collectives(during), 0);
    expect_all(t, 3.0);

    // Extra rows of a source or of an operand are not carried over.
    const va<double> x = filled({4}, 0.0, 3);
    const va<double> cx(x), r = x * 1.0;
    EXPECT_EQ(cx.va_distribution_index(ranks() - 1)[1], 3);
    EXPECT_EQ(r.va_distribution_index(ranks() - 1)[1], 3);
    expect_all(cx);
    expect_all(r);
}

TEST(Copies, Moves)
{
    // Counts the windows each step creates and frees itself.
    const virda_test::without_window_reuse fresh_windows;
    va<double> src = filled({10, 3});
    auto during = mpi_counts_during([&] {
        va<double> m(std::move(src));
        EXPECT_EQ(src.va_size(), 0);
        EXPECT_EQ(src.va_get_dimensions(), dims_t({0}));
        src = std::move(m); // src held no window: nothing freed
    });
    EXPECT_EQ(collectives(during) + during.mem_freed + during.mem_allocated, 0);
    expect_all(src);
    va<double> target({4}, VIRDA_COMM);
    during = mpi_counts_during([&] { target = std::move(src); });
    EXPECT_EQ(during.windows_created, 0);
    EXPECT_EQ(during.windows_freed, 1);
    expect_all(target);
}
