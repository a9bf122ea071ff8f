// The attribute handle: type codes, element values, range reads, distribution,
// the Empty state, copies and moves, and arithmetic results.
#include "virda_test/test_data.h"
#include "virda_test/ranks.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"
#include "virda_test/window_reuse.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

using virda_test::capture_stderr;
using virda_test::count_line;
using virda_test::make_attribute;
using virda_test::mpi_counts_during;
using virda_test::num;

namespace {

using virda_test::ranks;

// Type code and variant alternative of an attribute holding a va<T>.
template <class T> void expect_codes(int code, int which)
{
    Attribute at = make_attribute<T>({4}, [](int) { return T{}; });
    array_variant out;
    at.get_data(out);
    EXPECT_EQ(at.get_data_type(), code);
    EXPECT_EQ(type_code<T>::value, code);
    EXPECT_EQ(find_variant_type(out), code);
    EXPECT_EQ(out.which(), which) << code;
    EXPECT_EQ(at.size(), 4) << code;
}

} // namespace

TEST(Attribute, CodesCopiesMovesAndContexts)
{
    // Counts the windows each step creates and frees itself.
    const virda_test::without_window_reuse fresh_windows;
    const auto none = mpi_counts_during([] {
        Attribute a;
        EXPECT_EQ(a.get_data_type(), 0);
        EXPECT_NE(a.get_context_pointer(), nullptr);
    });
    EXPECT_EQ(none.windows_created + none.barriers + none.allreduces + none.mem_allocated, 0);
    expect_codes<double>(3, 0);
    expect_codes<float>(2, 1);
    expect_codes<int>(1, 2);
    expect_codes<Vector3>(7, 3);
    expect_codes<char>(4, 4);
    expect_codes<Vector2>(6, 5);
    expect_codes<fftw_complex>(5, 6);

    Attribute b = make_attribute<double>({6}, [](int g) { return 1.5 * g; });
    auto during = mpi_counts_during([&] {
        Attribute a(b);
        EXPECT_EQ(a.get_data_type(), 3);
        EXPECT_EQ(a.size(), 6);
        EXPECT_EQ(a.get_context_pointer(), b.get_context_pointer());
        Attribute c = make_attribute<double>({6}, [](int g) { return -1.0 * g; });
        // Same element type and shape: elements only, no window.
        EXPECT_EQ(mpi_counts_during([&] { b = c; }).windows_created, 0);
        MPI_Barrier(VIRDA_COMM); // b's blocks were written in place
        for (int g = 0; g < 6; ++g) {
            EXPECT_EQ(num(a[g]), 1.5 * g) << g;
            EXPECT_EQ(num(b[g]), -1.0 * g) << g; // the copy is its own
        }
    });
    EXPECT_EQ(during.windows_created, 2);
    during = mpi_counts_during([&] {
        Attribute m(std::move(b));
        EXPECT_EQ(b.get_data_type(), 0);
        EXPECT_EQ(m.get_data_type(), 3);
        b = std::move(m);
        EXPECT_EQ(m.get_data_type(), 0);
    });
    EXPECT_EQ(during.windows_created + during.windows_freed + during.barriers, 0);

    Attribute t = make_attribute<int>({2, 2}, [](int g) { return g; });
    t.set_attribute(array_variant(va<Vector3>({3, 3}, VIRDA_COMM)));
    // On every rank, also one holding no rows.
    EXPECT_EQ(t.get_data_type(), 7);
    EXPECT_EQ(t.size(), 9);
    Context* const tc = t.get_context_pointer();
    during = mpi_counts_during([&] { t = b; });
    EXPECT_EQ(during.windows_created, 1);
    EXPECT_EQ(during.windows_freed, 1);
    EXPECT_EQ(t.get_data_type(), 3);
    EXPECT_EQ(t.size(), 6);
    EXPECT_EQ(t.get_context_pointer(), b.get_context_pointer());
    EXPECT_NE(tc, t.get_context_pointer());
    const std::string err = capture_stderr([&] { t = t; });
    EXPECT_EQ(err, std::string("what am i doing?\n"));
    EXPECT_EQ(num(t[5]), -5.0);
}

TEST(Attribute, FreshContextsTakeAByteEachAtDistinctAddresses)
{
#ifdef __SANITIZE_ADDRESS__
    // Decided at compile time, so every rank skips alike.
    GTEST_SKIP() << "AddressSanitizer's allocator is not the one mallinfo2 measures";
#endif
    // Contexts are never destroyed: every default-constructed attribute,
    // released at once, leaves its own behind for the life of the process.
    constexpr int count = 100000;
    std::vector<Context*> contexts;
    contexts.reserve(count);
    auto heap_bytes = [] {
        const struct mallinfo2 m = mallinfo2();
        return static_cast<long>(m.uordblks + m.hblkhd);
    };
    const long before = heap_bytes();
    for (int i = 0; i < count; ++i) {
        const Attribute a;
        contexts.push_back(a.get_context_pointer());
    }
    const long grown = heap_bytes() - before;
    EXPECT_LE(grown, 2L * count) << "bytes per Context: " << static_cast<double>(grown) / count;
    std::sort(contexts.begin(), contexts.end());
    EXPECT_EQ(std::unique(contexts.begin(), contexts.end()), contexts.end());
}

TEST(Attribute, ElementsRangesAndDistribution)
{
    const int n = ranks(), last = 3 * n - 1; // held by the last rank
    Attribute i = make_attribute<int>({n, 3}, [&](int g) { return g == last ? 42 : g; });
    Attribute f = make_attribute<float>({n}, [](int) { return 0.1f; });
    for (int g = 0; g <= last; ++g) {
        EXPECT_EQ(num(i[g]), g == last ? 42.0 : g);
    }
    EXPECT_EQ(num(f[n - 1]), 0.100000001490116119384765625);
    Attribute c = make_attribute<char>({3}, [](int g) { return char('a' + g); });
    Attribute v2 = make_attribute<Vector2>({3}, [](int g) { return Vector2(g, 1); });
    Attribute v3 = make_attribute<Vector3>({3}, [](int g) { return Vector3(1, g, 1); });
    Attribute x = make_attribute<fftw_complex>({3}, [](int g) { return fftw_complex{1, 1.0 * g}; });
    using alternative = std::pair<Attribute*, int>;
    for (const auto& [at, which] : std::initializer_list<alternative>{{&c, 5}, {&v2, 4}, {&v3, 3}, {&x, 6}}) {
        const VV1 value = (*at)[2];
        EXPECT_EQ(value.value().which(), which);
        EXPECT_THROW(num(value), boost::bad_get);
    }
    EXPECT_EQ(boost::get<char>(c[2].value()), 'c');
    EXPECT_EQ(boost::get<Vector3>(v3[2].value()).y, 2.0);
    EXPECT_EQ(boost::get<fftw_complex>(x[1].value()).im, 1.0);
    std::string err = capture_stderr([&] {
        EXPECT_EQ(boost::get<Vector2>(v2[3].value()).x, 0.0);
        EXPECT_EQ(num(i[-1]), 0.0);
    });
    EXPECT_EQ(count_line(err, "ERROR:index larger than the size of the VA.No value returned"), 2);

    Attribute a = make_attribute<int>({10, 2}, [](int g) { return 100 + g; });
    int buf[3] = {-1, -1, -1};
    EXPECT_EQ(a.get<int>(13, 13, buf), 1);
    EXPECT_EQ(buf[0], 113);
    EXPECT_EQ(buf[1], -1);
    double dbuf[2] = {7.0, 7.0};
    err = capture_stderr([&] {
        EXPECT_EQ(a.get<double>(0, 1, dbuf), 1);
        EXPECT_EQ(a.get<int>(5, 3, buf + 2), 1);
    });
    EXPECT_EQ(count_line(err, "WARNING: attribute not returned. Type mismatch"), 1);
    EXPECT_EQ(count_line(err, "ERROR in va_put:lower limit larger than upper limit "), 1);
    EXPECT_EQ(dbuf[0], 7.0);
    EXPECT_EQ(dbuf[1], 7.0);
    EXPECT_EQ(buf[2], -1);

    // Rows 10 over n ranks: the first 10 % n ranks take one more.
    for (int r = 0, start = 0; r < n; ++r) {
        const int rows = 10 / n + (r < 10 % n ? 1 : 0);
        int first = -7, end = -7;
        EXPECT_EQ(a.get_gen_distribution_index(r, &first, &end), 0);
        EXPECT_EQ(first, 2 * start) << r;
        EXPECT_EQ(end, 2 * (start + rows) - 1) << r;
        start += rows;
    }
    if (n == 3) {
        int e[6];
        for (int r = 0; r < 3; ++r) {
            a.get_gen_distribution_index(r, &e[2 * r], &e[2 * r + 1]);
        }
        EXPECT_EQ(std::vector<int>(e, e + 6), std::vector<int>({0, 7, 8, 13, 14, 19}));
        make_attribute<double>({2}, [](int g) { return g; }).get_gen_distribution_index(2, &e[0], &e[1]);
        EXPECT_EQ(e[0], 2);
        EXPECT_EQ(e[1], 1);
    }
    int first = 5, end = 5;
    err = capture_stderr([&] { EXPECT_EQ(a.get_gen_distribution_index(n, &first, &end), 0); });
    EXPECT_EQ(count_line(err, "ERROR in va_distribution_index:rank outside the communicator.Empty range returned"), 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(end, -1);
}

TEST(Attribute, EmptyIsRejected)
{
    Attribute e;
    Attribute h = make_attribute<int>({4}, [](int g) { return g; });
    Context* const hc = h.get_context_pointer();
    array_variant out(va<int>{});
    double buf = 3.0;
    int first = 9, last = 9;
    std::string err;
    const auto during = mpi_counts_during([&] {
        err = capture_stderr([&] {
            EXPECT_EQ(e.size(), 0);
            e.get_data(out);
            EXPECT_EQ(num(e[0]), 0.0);
            EXPECT_EQ(e.get<double>(0, 0, &buf), 1);
            EXPECT_EQ(e.get_gen_distribution_index(0, &first, &last), 0);
            for (const Attribute& r : {e + h, h * e, e + scalar_variant(1.0), e * scalar_variant(2)}) {
                EXPECT_EQ(r.get_data_type(), 0);
            }
            h = e;
            h = Attribute();
            EXPECT_EQ(Attribute(e).get_data_type(), 0); // a copy of Empty is Empty, silently
        });
    });
    EXPECT_EQ(during.windows_created, 0);
    const auto lines = virda_test::split_lines(err);
    const std::vector<std::string> ops = {"size",      "get_data",  "operator[]", "get",
                                          "get_gen_distribution_index", "operator+", "operator*",
                                          "operator+", "operator*", "operator=",  "operator="};
    EXPECT_EQ(lines.size(), ops.size());
    for (std::size_t k = 0; k < std::min(ops.size(), lines.size()); ++k) {
        EXPECT_EQ(lines[k], "ERROR in Attribute::" + ops[k] + ":attribute holds no array.Nothing done");
    }
    EXPECT_EQ(out.which(), 2);
    EXPECT_EQ(buf, 3.0);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, -1);
    EXPECT_EQ(h.get_data_type(), 1);
    EXPECT_EQ(h.size(), 4);
    EXPECT_EQ(h.get_context_pointer(), hc);
}

TEST(Arithmetic, OneWindowReadyEverywhereAndShared)
{
    // Counts the windows each step creates and frees itself.
    const virda_test::without_window_reuse fresh_windows;
    Attribute a = make_attribute<double>({3 * ranks(), 2}, [](int g) { return 0.5 * g; });
    Attribute b = make_attribute<int>({3 * ranks(), 2}, [](int g) { return g - 4; });
    Attribute r;
    auto expect_one_window = [&](auto op, auto want) {
        const auto during = mpi_counts_during([&] { r = op(); });
        EXPECT_EQ(during.windows_created, 1);
        EXPECT_EQ(during.mem_allocated, 1);
        for (int g = 0; g < a.size(); ++g) { // straight after, every element from every rank
            EXPECT_EQ(num(r[g]), want(g)) << g;
        }
    };
    expect_one_window([&] { return a + b; }, [](int g) { return 0.5 * g + (g - 4); });
    expect_one_window([&] { return b * a; }, [](int g) { return (g - 4) * (0.5 * g); });
    expect_one_window([&] { return a + scalar_variant(2.0f); }, [](int g) { return 0.5 * g + 2.0; });
    expect_one_window([&] { return b * scalar_variant(3); }, [](int g) { return (g - 4) * 3.0; });
    expect_one_window([&] { return pow(b, 2.0); }, [](int g) { return (g - 4.0) * (g - 4.0); });
    expect_one_window([&] { return 2.0 * b; }, [](int g) { return 2.0 * (g - 4); });
    EXPECT_EQ(r.get_data_type(), 3); // int times a double scalar is double
    // Results share their left operand's Context.
    EXPECT_EQ((a * b).get_context_pointer(), a.get_context_pointer());
    EXPECT_EQ((b * a).get_context_pointer(), b.get_context_pointer());
    EXPECT_EQ((b + scalar_variant(1)).get_context_pointer(), b.get_context_pointer());

    Attribute top = make_attribute<int>({4}, [](int) { return INT_MAX; });
    Attribute one = make_attribute<int>({4}, [](int) { return 1; });
    Attribute wrapped = top + one;
    EXPECT_EQ(num(wrapped[3]), INT_MIN);
    Attribute flat = make_attribute<double>({6}, [](int g) { return g + 1.0; });
    Attribute square = make_attribute<double>({2, 3}, [](int g) { return g + 1.0; });
    const std::string err = capture_stderr([&] {
        r = flat * square;
        EXPECT_EQ(r.get_data_type(), 3);
        for (int g = 0; g < 6; ++g) {
            EXPECT_EQ(num(r[g]), 0.0);
        }
    });
    EXPECT_EQ(err, std::string("Error: you are trying to add two va with different dimensions!\n"));
}
