// Extremes over blocks and ranks: every rank builds the whole data from a
// seed, adds its own rows in uneven blocks (some ranks none), and compares
// the finished extremes and their global positions with a plain scan of all
// the data in NumPy's rules (the first of equal values, -0.0 equal to +0.0
// for positions, a NaN propagating from its first occurrence).

#include "engine_test_support.h"

#include "engine/allocation_failures.h"
#include "engine/extremes.h"

#include <memory>
#include <random>

namespace {

using namespace engine_test;

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

/// The oracle of one column of values, positions as NumPy's argmin/argmax.
template <typename T>
struct oracle {
    std::int64_t least_at = -1;
    std::int64_t greatest_at = -1;
    std::int64_t nan_at = -1;
    std::int64_t count = 0;
    bool negative_zero = false;
    bool positive_zero = false;
    explicit oracle(const std::vector<T>& v)
    {
        for (std::size_t i = 0; i < v.size(); ++i) {
            const T x = v[i];
            const auto at = static_cast<std::int64_t>(i);
            if (x != x) {
                nan_at = nan_at < 0 ? at : nan_at;
                continue;
            }
            ++count;
            if (x == 0) {
                (std::signbit(static_cast<double>(x)) ? negative_zero : positive_zero) = true;
            }
            if (least_at < 0 || x < v[static_cast<std::size_t>(least_at)]) {
                least_at = at;
            }
            if (greatest_at < 0 || x > v[static_cast<std::size_t>(greatest_at)]) {
                greatest_at = at;
            }
        }
    }
};

/// This rank's share of `all` added in uneven runs.
template <typename T>
void add_share(extremes& e, const std::vector<T>& all)
{
    const auto [first, end] = uneven_share(all.size());
    std::size_t i = first;
    std::size_t step = 1 + static_cast<std::size_t>(world_rank()) * 7;
    while (i < end) {
        const std::size_t m = std::min(step, end - i);
        e.add(values_of(all.data() + i, static_cast<std::int64_t>(m)));
        i += m;
        step = step * 3 + 1000;
    }
}

double as_double(const number& n) { return n.as_double(); }

template <typename T>
void expect_matches(const std::vector<T>& all, const char* what)
{
    SCOPED_TRACE(what);
    extremes e(number_type_of<T>::value);
    add_share(e, all);
    const oracle<T> o(all);
    const extremes_summary omit = e.finish(MPI_COMM_WORLD, nan_policy::omit);
    EXPECT_EQ(o.count, omit.count());
    EXPECT_EQ(o.least_at, omit.argmin());
    EXPECT_EQ(o.greatest_at, omit.argmax());
    EXPECT_EQ(static_cast<std::int64_t>(all.size()), omit.rows());
    if (o.count > 0) {
        double least = static_cast<double>(all[static_cast<std::size_t>(o.least_at)]);
        double greatest = static_cast<double>(all[static_cast<std::size_t>(o.greatest_at)]);
        // -0.0 counts below +0.0 for the values.
        least = least == 0 ? (o.negative_zero ? -0.0 : 0.0) : least;
        greatest = greatest == 0 ? (o.positive_zero ? 0.0 : -0.0) : greatest;
        EXPECT_TRUE(same_bits(least, as_double(omit.min())));
        EXPECT_TRUE(same_bits(greatest, as_double(omit.max())));
    } else {
        EXPECT_TRUE(std::isnan(as_double(omit.min())));
    }
    const extremes_summary propagate = e.finish(MPI_COMM_WORLD);
    if (o.nan_at >= 0) {
        EXPECT_EQ(o.nan_at, propagate.argmin());
        EXPECT_EQ(o.nan_at, propagate.argmax());
        EXPECT_TRUE(std::isnan(as_double(propagate.max())));
    } else {
        EXPECT_EQ(o.least_at, propagate.argmin());
    }
}

TEST(Extremes, DoublesWithTiesZerosInfinitiesAndNaN)
{
    std::mt19937_64 gen(12);
    std::vector<double> v(5000);
    for (double& x : v) {
        x = static_cast<double>(static_cast<int>(gen() % 41) - 20); // many ties
    }
    expect_matches(v, "ties");
    v[3000] = -inf;
    v[4000] = -inf;
    v[100] = inf;
    expect_matches(v, "infinities");
    std::vector<double> zeros = {0.0, -0.0, 0.0, 5e-324, -5e-324, -0.0};
    expect_matches(zeros, "zeros and subnormals");
    std::vector<double> only_zeros = {0.0, -0.0, 0.0};
    expect_matches(only_zeros, "zeros of both signs");
    std::vector<double> positive_zeros = {0.0, 0.0};
    expect_matches(positive_zeros, "+0 only");
    v[2500] = nan;
    v[4900] = nan;
    expect_matches(v, "NaN");
    std::vector<double> all_nan(50, nan);
    expect_matches(all_nan, "every value NaN");
    std::vector<double> infs = {nan, inf, inf, -inf, -inf};
    expect_matches(infs, "infinities alone");
    expect_matches(std::vector<double>{}, "no values");
}

TEST(Extremes, FloatsAndIntegers)
{
    std::mt19937_64 gen(5);
    std::vector<float> f(3001);
    for (float& x : f) {
        x = static_cast<float>(static_cast<int>(gen() % 1001) - 500) / 8.0f;
    }
    f[2999] = -std::numeric_limits<float>::infinity();
    expect_matches(f, "float32");
    f[17] = std::numeric_limits<float>::quiet_NaN();
    expect_matches(f, "float32 with NaN");
    std::vector<std::int64_t> big(2049, 0);
    for (auto& x : big) {
        x = static_cast<std::int64_t>(gen() % 7) - 3;
    }
    big[1500] = std::numeric_limits<std::int64_t>::min();
    big[1900] = std::numeric_limits<std::int64_t>::min();
    big[2] = std::numeric_limits<std::int64_t>::max();
    expect_matches(big, "int64 at its limits");
    std::vector<std::uint64_t> u(300, 7);
    u[250] = std::numeric_limits<std::uint64_t>::max();
    u[260] = std::numeric_limits<std::uint64_t>::max();
    expect_matches(u, "uint64 beyond 2^63");
    const std::vector<std::int8_t> small = {3, -128, 127, -128, 127, 0};
    expect_matches(small, "int8");
    // Values equal to the starting extremes only.
    expect_matches(std::vector<std::int64_t>(7, std::numeric_limits<std::int64_t>::max()), "all the largest");
}

/// Each column of the rows x k table `all` (row by row) placed as the
/// oracle places it: s finished omitting NaN, p propagating it.
template <typename T>
void expect_columns_match(const std::vector<T>& all, std::size_t rows, std::size_t k, const extremes_summary& s,
                          const extremes_summary& p)
{
    for (std::size_t j = 0; j < k; ++j) {
        SCOPED_TRACE(j);
        std::vector<T> column(rows);
        for (std::size_t i = 0; i < rows; ++i) {
            column[i] = all[i * k + j];
        }
        const oracle<T> o(column);
        EXPECT_EQ(o.least_at, s.argmin(j));
        EXPECT_EQ(o.greatest_at, s.argmax(j));
        EXPECT_EQ(o.nan_at >= 0 ? o.nan_at : o.least_at, p.argmin(j));
        EXPECT_EQ(o.count, s.count(j));
    }
}

TEST(Extremes, ColumnsOfATable)
{
    // A table of rows x k; each rank adds its rows in two tables, the first
    // with a negative row stride (the rows reversed, added in order again).
    const std::size_t rows = 1403; // tables of more than one tile of rows
    const std::size_t k = 5;
    std::mt19937_64 gen(9);
    std::vector<double> all(rows * k);
    for (double& x : all) {
        x = static_cast<double>(static_cast<int>(gen() % 9) - 4);
    }
    all[7 * k + 1] = nan;
    all[200 * k + 1] = nan;
    all[0 * k + 2] = inf;
    all[10 * k + 3] = -0.0;
    all[900 * k + 0] = -inf;
    all[1100 * k + 0] = -inf;
    all[700 * k + 2] = nan;
    for (std::size_t i = 0; i < rows; ++i) {
        all[i * k + 4] = i % 2 == 0 ? 0.0 : -0.0; // zeros only
    }
    const auto [first, end] = uneven_share(rows);
    extremes e(number_type::float64, static_cast<std::int64_t>(k));
    const std::size_t middle = first + (end - first) / 2;
    for (std::size_t i = first; i < middle; ++i) {
        e.add(table_of(all.data() + i * k, 1, static_cast<std::int64_t>(k), static_cast<std::int64_t>(k)));
    }
    if (end > middle) {
        e.add(table_of(all.data() + middle * k, static_cast<std::int64_t>(end - middle), static_cast<std::int64_t>(k),
                       static_cast<std::int64_t>(k)));
    }
    const extremes_summary s = e.finish(MPI_COMM_WORLD, nan_policy::omit);
    const extremes_summary p = e.finish(MPI_COMM_WORLD);
    expect_columns_match(all, rows, k, s, p);
    EXPECT_TRUE(same_bits(-0.0, s.min(4).floating));
    EXPECT_TRUE(same_bits(0.0, s.max(4).floating));
    EXPECT_EQ(0, s.argmin(4));
}

/// Each rank's share of a rows x k table, stored row by row or column by
/// column, added as one table: each column's positions as the oracle's.
template <typename T>
void expect_table_matches(const std::vector<T>& all, std::size_t rows, std::size_t k, bool by_column)
{
    SCOPED_TRACE(by_column ? "columns stored apart" : "rows stored apart");
    const auto [first, end] = uneven_share(rows);
    std::vector<T> mine((end - first) * k);
    for (std::size_t i = first; i < end; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            mine[by_column ? j * (end - first) + (i - first) : (i - first) * k + j] = all[i * k + j];
        }
    }
    const auto size = static_cast<std::int64_t>(sizeof(T));
    table_view t;
    t.data = mine.data();
    t.type = number_type_of<T>::value;
    t.rows = static_cast<std::int64_t>(end - first);
    t.columns = static_cast<std::int64_t>(k);
    t.row_stride = by_column ? size : size * static_cast<std::int64_t>(k);
    t.column_stride = by_column ? size * t.rows : size;
    extremes e(t.type, t.columns);
    e.add(t);
    const extremes_summary s = e.finish(MPI_COMM_WORLD, nan_policy::omit);
    const extremes_summary p = e.finish(MPI_COMM_WORLD);
    expect_columns_match(all, rows, k, s, p);
}

TEST(Extremes, TablesOfEveryLayoutAndType)
{
    // Rows stored apart take the tile passes (the engine's kernel for
    // doubles, the plain pass for other types), columns stored apart a
    // strided scan per column; all must place the extremes alike.
    const std::size_t rows = 700; // more than one tile of rows
    const std::size_t k = 4;
    std::mt19937_64 gen(21);
    std::vector<double> d(rows * k);
    std::vector<float> f(rows * k);
    std::vector<std::int32_t> n(rows * k);
    for (std::size_t i = 0; i < rows * k; ++i) {
        const int v = static_cast<int>(gen() % 11) - 5;
        d[i] = v;
        f[i] = static_cast<float>(v);
        n[i] = v;
    }
    d[300 * k + 1] = -inf;
    d[650 * k + 1] = -inf;
    f[280 * k + 2] = std::numeric_limits<float>::quiet_NaN();
    d[500 * k + 2] = nan;
    n[620 * k + 3] = std::numeric_limits<std::int32_t>::min();
    n[5 * k + 0] = std::numeric_limits<std::int32_t>::max();
    for (const bool by_column : {false, true}) {
        expect_table_matches(d, rows, k, by_column);
        expect_table_matches(f, rows, k, by_column);
        expect_table_matches(n, rows, k, by_column);
    }
}

TEST(Extremes, SameResultForEveryBlocking)
{
    // One rank's values in one block or value by value: the same summary.
    std::vector<double> v = {2.0, -1.0, nan, -1.0, 4.0, 4.0, -0.0};
    extremes whole(number_type::float64);
    whole.add(values_of(v.data(), static_cast<std::int64_t>(v.size())));
    extremes single(number_type::float64);
    for (double& x : v) {
        single.add(values_of(&x, 1));
    }
    for (const nan_policy policy : {nan_policy::omit, nan_policy::propagate}) {
        const extremes_summary a = whole.finish_local(policy);
        const extremes_summary b = single.finish_local(policy);
        EXPECT_EQ(a.argmin(), b.argmin());
        EXPECT_EQ(a.argmax(), b.argmax());
        EXPECT_TRUE(same_bits(a.min().floating, b.min().floating));
    }
    EXPECT_EQ(1, whole.finish_local(nan_policy::omit).argmin());
    EXPECT_EQ(4, whole.finish_local(nan_policy::omit).argmax());
    EXPECT_EQ(2, whole.finish_local().argmax());
}

TEST(Extremes, WrongAdditionsAreRefusedLocally)
{
    extremes e(number_type::float64, 3);
    const std::vector<float> f(3, 1.0f);
    const std::vector<double> d(3, 1.0);
    EXPECT_THROW(e.add(values_of(f.data(), 3)), error);
    EXPECT_THROW(e.add(values_of(d.data(), 3)), error);
    EXPECT_THROW(e.add(table_of(d.data(), 1, 2, 2)), error);
    EXPECT_THROW(extremes(number_type::float64, 0), error);
}

TEST(Extremes, OneRanksFailureOrOtherCallStopsEveryRank)
{
    // The last rank cannot allocate its state: the constructor throws there,
    // the rank marks a spare one of a single column as short of memory and
    // every rank learns it at the finish, naming that rank.
    const int last = world_size() - 1;
    int code = 0;
    int rank = -2;
    try {
        if (world_rank() == last) {
            detail::refuse_allocations(1);
        }
        std::unique_ptr<extremes> e;
        try {
            e = std::make_unique<extremes>(number_type::float64, 4);
        } catch (const std::bad_alloc&) {
            EXPECT_EQ(last, world_rank());
            e = std::make_unique<extremes>(number_type::float64, 4);
            e->fail_allocation();
        }
        const std::vector<double> v(8, 1.0);
        e->add(table_of(v.data(), 2, 4, 4));
        (void)e->finish(MPI_COMM_WORLD);
    } catch (const error& e) {
        code = static_cast<int>(e.code());
        rank = e.rank();
    }
    detail::refuse_allocations(0);
    EXPECT_EQ(static_cast<int>(error_code::out_of_memory), code);
    EXPECT_EQ(last, rank);

    // Another number type on one rank: every rank throws.
    if (world_size() < 2) {
        return;
    }
    code = code_of([&] {
        extremes e(world_rank() == last ? number_type::int64 : number_type::float64);
        (void)e.finish(MPI_COMM_WORLD);
    });
    EXPECT_EQ(static_cast<int>(error_code::ranks_disagree), code);
}

} // namespace
