// Distributed arrays: distribution by rows, creation edge cases, reads of any
// element from any rank, copies, assignment and moves with the collectives they
// make. Data come from the global index, so every rank knows every element.
#include "virdastatistics.h"
#include "framework/array/array_messages.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

namespace msg = virda_messages;
using virda_test::capture_stderr;
using virda_test::count_line;
using virda_test::mpi_counts_during;
using range = std::vector<int>;

namespace {

int ranks()
{
    int n = 0;
    MPI_Comm_size(VIRDA_COMM, &n);
    return n;
}

double value(int g) { return 0.5 * g - 3.0; }

// Writes element g = value(g) into this rank's block and publishes it.
template <class T, class F>
void fill(va<T>& a, F f)
{
    const int first = a.va_distribution_index(VIRDA_ID)[0];
    for (int i = 0; i < a.va_local_count(); ++i) {
        a.va_set(i, f(first + i));
    }
    a.va_sync();
}

va<double> filled(const std::vector<int>& dims, double offset = 0.0)
{
    va<double> a(dims, VIRDA_COMM);
    fill(a, [&](int g) { return value(g) + offset; });
    return a;
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

// Ranges by the row rule, computed here from scratch: rank r holds q + 1 rows
// if r < m, q otherwise; the last rank also holds the extra rows.
std::vector<range> expected_ranges(std::vector<int> dims, int n, int extra)
{
    int row = 1;
    for (std::size_t d = 1; d < dims.size(); ++d) {
        row *= dims[d];
    }
    std::vector<range> out;
    int start = 0;
    for (int r = 0; r < n; ++r) {
        int rows = dims[0] / n + (r < dims[0] % n ? 1 : 0) + (r == n - 1 ? extra : 0);
        out.push_back({start * row, (start + rows) * row - 1});
        start += rows;
    }
    return out;
}

} // namespace

TEST(Distribution, RowsOverRanks)
{
    const int n = ranks();
    const std::vector<std::pair<std::vector<int>, int>> cases = {
        {{10, 3}, 0}, {{8}, 0}, {{3}, 0}, {{1}, 0}, {{7, 2, 2}, 0}, {{10}, 2}, {{2, 5}, 1}};
    for (const auto& [dims, extra] : cases) {
        va<int> a;
        a.va_create(dims, VIRDA_COMM, extra);
        const auto want = expected_ranges(dims, n, extra);
        int size = 1;
        for (int e : dims) {
            size *= e;
        }
        EXPECT_EQ(a.va_size(), size);
        EXPECT_EQ(a.va_get_dimensions(), dims);
        for (int r = 0; r < n; ++r) {
            EXPECT_EQ(a.va_distribution_index(r), want[static_cast<std::size_t>(r)]) << dims[0] << " rank " << r;
        }
        const int row = size / dims[0];
        const int own_rows = dims[0] / n + (VIRDA_ID < dims[0] % n ? 1 : 0);
        EXPECT_EQ(a.va_local_count(), own_rows * row);
    }
    // The worked layouts, written out.
    if (n == 4) {
        const va<double> a({10, 3}, VIRDA_COMM), b({8}, VIRDA_COMM), c({3}, VIRDA_COMM);
        const std::vector<range> want_a = {{0, 8}, {9, 17}, {18, 23}, {24, 29}};
        const std::vector<range> want_b = {{0, 1}, {2, 3}, {4, 5}, {6, 7}};
        const std::vector<range> want_c = {{0, 0}, {1, 1}, {2, 2}, {3, 2}};
        for (int r = 0; r < 4; ++r) {
            EXPECT_EQ(a.va_distribution_index(r), want_a[static_cast<std::size_t>(r)]);
            EXPECT_EQ(b.va_distribution_index(r), want_b[static_cast<std::size_t>(r)]);
            EXPECT_EQ(c.va_distribution_index(r), want_c[static_cast<std::size_t>(r)]);
        }
        EXPECT_EQ(c.va_local_count(), VIRDA_ID == 3 ? 0 : 1);
    }
    if (n == 3) {
        va<double> a;
        a.va_create({10}, VIRDA_COMM, 2);
        EXPECT_EQ(a.va_distribution_index(0), range({0, 3}));
        EXPECT_EQ(a.va_distribution_index(1), range({4, 6}));
        EXPECT_EQ(a.va_distribution_index(2), range({7, 11}));
        EXPECT_EQ(a.va_size(), 10);
    }
}

TEST(Creation, PlaceholdersAndRejectedExtents)
{
    const int n = ranks();
    std::string err;
    const auto made = mpi_counts_during([&] {
        va<char> p;
        EXPECT_EQ(p.va_size(), 0);
        EXPECT_EQ(p.va_get_dimensions(), std::vector<int>({0}));
        err = capture_stderr([&] { EXPECT_EQ(p.va_distribution_index(0), range({0, -1})); });
    });
    EXPECT_EQ(made.windows_created, 1);
    EXPECT_EQ(made.mem_allocated, 1);
    EXPECT_EQ(count_line(err, msg::not_created), 1);

    struct rejected { std::vector<int> dims; int extra; const char* line; };
    const std::vector<rejected> cases = {
        {{}, 0, nullptr}, {{0, 5}, 0, nullptr}, {{46341, 46341}, 0, msg::too_many_elements},
        {{1 << 30}, 1 << 30, msg::too_many_elements}, {{-3}, 0, msg::negative_extent},
        {{4, -1}, 0, msg::negative_extent}, {{4}, -1, msg::negative_extent}};
    for (const auto& c : cases) {
        va<double> a({6}, VIRDA_COMM);
        err = capture_stderr([&] { a.va_create(c.dims, VIRDA_COMM, c.extra); });
        EXPECT_EQ(err, c.line ? std::string(c.line) + "\n" : "");
        EXPECT_EQ(a.va_size(), 0);
        if (c.line) {
            EXPECT_EQ(a.va_get_dimensions(), std::vector<int>({0}));
        }
        double out = 7.0;
        err = capture_stderr([&] { EXPECT_EQ(a.va_get_opt(0, &out), -1); });
        EXPECT_EQ(count_line(err, msg::index_too_large), 1);
        EXPECT_EQ(out, 7.0);
    }
    // A rank outside the communicator.
    const va<int> a({5}, VIRDA_COMM);
    err = capture_stderr([&] {
        EXPECT_EQ(a.va_distribution_index(-1), range({0, -1}));
        EXPECT_EQ(a.va_distribution_index(n), range({0, -1}));
    });
    EXPECT_EQ(count_line(err, msg::rank_outside), 2);
    // Creation with extents makes exactly one window.
    EXPECT_EQ(mpi_counts_during([] { va<Vector2> v({4, 4}, VIRDA_COMM); }).windows_created, 1);
}

TEST(Reads, EveryElementFromEveryRank)
{
    const va<double> a = filled({10, 3});
    const va<Vector3> v = [] {
        va<Vector3> t({7}, VIRDA_COMM);
        fill(t, [](int g) { return Vector3(g, -g, 0.5 * g); });
        return t;
    }();
    const range own = a.va_distribution_index(VIRDA_ID);
    const auto reads = mpi_counts_during([&] {
        for (int g = 0; g < 30; ++g) {
            double x = -1;
            EXPECT_EQ(a.va_get_opt(g, &x), 0);
            EXPECT_EQ(x, value(g));
            EXPECT_EQ(a[g], value(g));
            if (g >= own[0] && g <= own[1]) {
                EXPECT_EQ(a.va_get_access(g - own[0]), value(g));
            }
        }
    });
    const int remote = 30 - (own[1] - own[0] + 1);
    EXPECT_EQ(reads.gets, 2 * remote); // own elements are read locally
    EXPECT_EQ(reads.locks, reads.unlocks);
    for (int g = 0; g < 7; ++g) {
        const Vector3 x = v[g];
        EXPECT_TRUE(x.x == g && x.y == -g && x.z == 0.5 * g) << g;
    }

    // Ranges between block edges (at 4 ranks: 0-8, 9-17, 18-23, 24-29) and
    // inner points: one get per other rank touched, elements in order.
    const int n = ranks();
    std::vector<range> ranges;
    for (int r = 0; r < n; ++r) {
        ranges.push_back(a.va_distribution_index(r));
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
            for (int r = 0; r < n; ++r) {
                const auto& rr = ranges[static_cast<std::size_t>(r)];
                touched += (r != VIRDA_ID && rr[0] <= rr[1] && rr[0] <= hi && rr[1] >= lo) ? 1 : 0;
            }
            EXPECT_EQ(during.gets, touched) << lo << ".." << hi;
            for (int g = lo; g <= hi; ++g) {
                EXPECT_EQ(buf[static_cast<std::size_t>(g - lo)], value(g)) << lo << ".." << hi;
            }
            EXPECT_EQ(buf[static_cast<std::size_t>(hi - lo + 1)], 99.0);
        }
    }
}

TEST(Reads, RejectedIndicesAndRanges)
{
    const va<double> a = filled({10, 3});
    va<int> x;
    x.va_create({10}, VIRDA_COMM, 2);
    fill(x, [](int g) { return g; });
    std::vector<double> buf(4, 5.0);
    double out = 5.0;
    std::string err;
    const auto during = mpi_counts_during([&] {
        err = capture_stderr([&] {
            EXPECT_EQ(a.va_get_opt(30, &out), -1);
            EXPECT_EQ(a.va_get_opt(-1, &out), -1);
            EXPECT_EQ(a.va_get_opt(INT_MIN, &out), -1);
            EXPECT_EQ(a.va_get(7, 3, buf.data()), -1);
            EXPECT_EQ(a.va_get(-1, 2, buf.data()), -1);
            EXPECT_EQ(a.va_get(28, 30, buf.data()), -1);
            int extra_row = 0;
            EXPECT_EQ(x.va_get_opt(10, &extra_row), -1); // extra rows are not addressable
            EXPECT_EQ(x.va_get(8, 11, &extra_row), -1);
            EXPECT_EQ(x[9], 9);
        });
    });
    EXPECT_EQ(count_line(err, msg::index_too_large), 4);
    EXPECT_EQ(count_line(err, msg::inverted_range), 1);
    EXPECT_EQ(count_line(err, msg::range_outside), 3);
    EXPECT_EQ(out, 5.0);
    EXPECT_EQ(buf, std::vector<double>(4, 5.0));
    const range own = x.va_distribution_index(VIRDA_ID);
    EXPECT_EQ(during.locks, own[0] <= 9 && 9 <= own[1] ? 0 : 1); // only x[9] reaches a window

    va<Vector3> v({3}, VIRDA_COMM);
    fill(v, [](int) { return Vector3(1.0); });
    va<fftw_complex> c({3}, VIRDA_COMM);
    fill(c, [](int) { return fftw_complex{1.0, 1.0}; });
    err = capture_stderr([&] {
        const Vector3 z = v[3];
        EXPECT_TRUE(z.x == 0 && z.y == 0 && z.z == 0);
        const fftw_complex zc = c[3];
        EXPECT_TRUE(zc.re == 0 && zc.im == 0);
        EXPECT_EQ(a[30], 0.0);
    });
    EXPECT_EQ(count_line(err, msg::index_too_large), 3);
}

TEST(Copies, ConstructionAndAssignment)
{
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
    fill(src, value);

    va<double> p0;
    p0.va_create({0, 5}, VIRDA_COMM, 0);
    const va<double> p(p0);
    EXPECT_EQ(p.va_get_dimensions(), std::vector<int>({0, 5}));
    EXPECT_EQ(p.va_size(), 0);

    // Assigning to a placeholder creates it; to other extents, re-creates it.
    const va<double> six = filled({6}, 1.0);
    va<double> t;
    auto during = mpi_counts_during([&] { t = six; });
    EXPECT_EQ(during.windows_created, 1);
    EXPECT_EQ(t.va_get_dimensions(), std::vector<int>({6}));
    expect_all(t, 1.0);
    const va<double> four = filled({4}, 2.0);
    during = mpi_counts_during([&] { t = four; });
    EXPECT_EQ(during.windows_created, 1);
    EXPECT_EQ(during.windows_freed, 1);
    expect_all(t, 2.0);

    // Same extents and communicator: elements only, no collective at all.
    const va<double> other = filled({4}, 3.0);
    during = mpi_counts_during([&] { t = other; });
    EXPECT_EQ(during.windows_created + during.windows_freed + during.barriers + during.allreduces, 0);
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
    EXPECT_EQ(count_line(err, msg::self_assignment), 1);
    EXPECT_EQ(during.windows_created + during.barriers, 0);
    expect_all(t, 3.0);
}

TEST(Copies, Moves)
{
    va<double> src = filled({10, 3});
    auto during = mpi_counts_during([&] {
        va<double> m(std::move(src));
        EXPECT_EQ(src.va_size(), 0);
        EXPECT_EQ(src.va_get_dimensions(), std::vector<int>({0}));
        src = std::move(m); // src held no window: nothing freed
    });
    EXPECT_EQ(during.windows_created + during.windows_freed + during.barriers + during.mem_freed, 0);
    expect_all(src);
    va<double> target({4}, VIRDA_COMM);
    during = mpi_counts_during([&] { target = std::move(src); });
    EXPECT_EQ(during.windows_created, 0);
    EXPECT_EQ(during.windows_freed, 1);
    expect_all(target);
}

TEST(Arithmetic, MismatchWrapAndExtraRows)
{
    va<int> big({5}, VIRDA_COMM);
    fill(big, [](int) { return INT_MAX; });
    va<int> two({5}, VIRDA_COMM);
    fill(two, [](int) { return 2; });
    const auto during = mpi_counts_during([&] {
        const va<int> s = big + two;
        const va<int> p = big * two;
        for (int g = 0; g < 5; ++g) {
            EXPECT_EQ(s[g], INT_MIN + 1);
            EXPECT_EQ(p[g], -2);
        }
    });
    EXPECT_EQ(during.windows_created, 2);

    const va<double> flat = filled({4});
    const va<double> square = filled({2, 2});
    std::string err = capture_stderr([&] {
        const va<double> s = flat + square;
        const va<double> p = flat * square;
        for (int g = 0; g < 4; ++g) {
            EXPECT_EQ(s[g], 0.0);
            EXPECT_EQ(p[g], 0.0);
        }
    });
    EXPECT_EQ(count_line(err, msg::dimension_mismatch), 2);

    // Extra rows of the left operand do not reach the result.
    va<double> x;
    x.va_create({4}, VIRDA_COMM, 3);
    fill(x, value);
    const va<double> r = x * 2.0;
    EXPECT_EQ(r.va_distribution_index(ranks() - 1)[1], 3);
    for (int g = 0; g < 4; ++g) {
        EXPECT_EQ(r[g], 2.0 * value(g));
    }
}
