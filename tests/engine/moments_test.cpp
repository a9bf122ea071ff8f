// Moments over blocks and ranks: every rank builds the whole data from the
// global index, adds its own share in uneven blocks, and compares the
// finished summary bit for bit with the summary of all the data added on one
// rank in one block, and with an oracle in quadruple precision.

#include "engine_test_support.h"

#include "engine/moments.h"

#include "virda_test/isa_paths.h"

#include <random>

namespace {

using namespace engine_test;

const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

/// This rank's share of n values, in blocks whose sizes depend on the rank
/// (some empty), added to `m`.
template <typename T>
void add_my_share(moments& m, const std::vector<T>& all)
{
    const std::size_t n = all.size();
    const int size = world_size();
    const int rank = world_rank();
    // Uneven shares: rank r takes a slice proportional to r + 1, the last
    // rank of three or more takes none.
    std::vector<std::size_t> bounds{0};
    std::size_t weight_total = 0;
    for (int r = 0; r < size; ++r) {
        weight_total += (size >= 3 && r == size - 1) ? 0 : r + 1;
    }
    std::size_t acc = 0;
    for (int r = 0; r < size; ++r) {
        acc += (size >= 3 && r == size - 1) ? 0 : r + 1;
        bounds.push_back(weight_total == 0 ? 0 : n * acc / weight_total);
    }
    std::size_t i = bounds[rank];
    const std::size_t end = bounds[rank + 1];
    std::size_t block = 1 + 997 * static_cast<std::size_t>(rank);
    while (i < end) {
        const std::size_t m_size = std::min(block, end - i);
        m.add(values_of(all.data() + i, static_cast<std::int64_t>(m_size)));
        i += m_size;
        block = block * 3 + 1;
    }
}

/// The summary of all values added on this rank in one block.
template <typename T>
moment_summary whole(const std::vector<T>& all, nan_policy policy)
{
    moments m(number_type_of<T>::value);
    m.add(values_of(all.data(), static_cast<std::int64_t>(all.size())));
    return m.finish_local(policy);
}

void expect_same(const moment_summary& a, const moment_summary& b, double ddof = 0)
{
    EXPECT_EQ(a.count(), b.count());
    EXPECT_EQ(a.nan_count(), b.nan_count());
    EXPECT_TRUE(same_bits(a.sum(), b.sum())) << a.sum() << " vs " << b.sum();
    EXPECT_TRUE(same_bits(a.mean(), b.mean())) << a.mean() << " vs " << b.mean();
    EXPECT_TRUE(same_bits(a.variance(ddof), b.variance(ddof))) << a.variance(ddof) << " vs " << b.variance(ddof);
    EXPECT_TRUE(same_bits(a.min(), b.min())) << a.min() << " vs " << b.min();
    EXPECT_TRUE(same_bits(a.max(), b.max())) << a.max() << " vs " << b.max();
}

/// Two-pass variance in quadruple precision.
__extension__ typedef __float128 quad;
double quad_variance(const std::vector<double>& x, double ddof)
{
    quad s = 0;
    for (const double v : x) {
        s += v;
    }
    const quad m = s / static_cast<quad>(x.size());
    quad d = 0;
    for (const double v : x) {
        d += (v - m) * (v - m);
    }
    return static_cast<double>(d / (static_cast<quad>(x.size()) - ddof));
}

double ulps_apart(double a, double b)
{
    return std::fabs(a - b) / (std::nextafter(std::fabs(b), inf) - std::fabs(b));
}

std::vector<double> ordinary_data(std::size_t n, double offset, double spread, unsigned seed)
{
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal(offset, spread);
    std::vector<double> v(n);
    for (double& x : v) {
        x = normal(gen);
    }
    return v;
}

TEST(Moments, SameBitsAtAnySplitAndOnEveryPath)
{
    // Ordinary data, a large offset (the one-pass formula's classic failure)
    // and values spanning many binades.
    std::vector<std::vector<double>> sets = {ordinary_data(10007, 3.0, 2.0, 1), ordinary_data(20011, 1e9, 1e-3, 2)};
    std::vector<double> wide = ordinary_data(5003, 0.0, 1.0, 3);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] = std::ldexp(wide[i], static_cast<int>(i % 200) - 100);
    }
    sets.push_back(wide);
    virda_test::for_each_runnable_path([&] {
        for (const auto& data : sets) {
            moments m(number_type::float64);
            add_my_share(m, data);
            const moment_summary got = m.finish(MPI_COMM_WORLD);
            const moment_summary ref = whole(data, nan_policy::propagate);
            expect_same(got, ref);
            expect_same(got, ref, 1.0);
            EXPECT_LE(ulps_apart(got.variance(1.0), quad_variance(data, 1.0)), 1.0);
        }
    });
}

TEST(Moments, VarianceAwayFromTheDoubleRangeEnds)
{
    // Squares that are not doubles: tiny values, huge ones and a constant
    // huge array (whose variance is exactly zero).
    const std::vector<double> tiny = {1e-150, 3e-150, 2e-150, 4e-150};
    const std::vector<double> huge(7, 1e200);
    const std::vector<double> subnormal = {4e-320, 8e-320, 6e-320};
    for (const auto* data : {&tiny, &huge, &subnormal}) {
        moments m(number_type::float64);
        add_my_share(m, *data);
        const moment_summary s = m.finish(MPI_COMM_WORLD);
        expect_same(s, whole(*data, nan_policy::propagate));
        EXPECT_FALSE(std::isnan(s.variance()));
    }
    moments t(number_type::float64);
    add_my_share(t, tiny);
    EXPECT_LE(ulps_apart(t.finish(MPI_COMM_WORLD).variance(), quad_variance(tiny, 0)), 1.0);
    moments h(number_type::float64);
    add_my_share(h, huge);
    EXPECT_EQ(0.0, h.finish(MPI_COMM_WORLD).variance());
    // Both signs near the largest double: the variance (4.8e615) is beyond
    // the doubles, the standard deviation is not.
    const std::vector<double> edges = {1e308, 1e308, 1e308, -1e308, 5e307, 5e307, 5e307, -5e307};
    moments e(number_type::float64);
    add_my_share(e, edges);
    const moment_summary es = e.finish(MPI_COMM_WORLD);
    EXPECT_EQ(inf, es.variance());
    EXPECT_LE(ulps_apart(es.stdev(), 6.959705453537527e307), 1.0);
    EXPECT_EQ(3.75e307, static_cast<double>(es.precise_mean()));
}

TEST(Moments, NanInfinityZerosAndEmpty)
{
    const std::vector<double> data = {1.0, nan, -0.0, 0.0, 3.0, nan};
    moments m(number_type::float64);
    add_my_share(m, data);
    const moment_summary kept = m.finish(MPI_COMM_WORLD, nan_policy::propagate);
    EXPECT_EQ(4, kept.count());
    EXPECT_EQ(2, kept.nan_count());
    EXPECT_TRUE(std::isnan(kept.mean()));
    EXPECT_TRUE(std::isnan(kept.min()));
    const moment_summary omitted = m.finish(MPI_COMM_WORLD, nan_policy::omit);
    EXPECT_EQ(1.0, omitted.mean());
    EXPECT_TRUE(same_bits(-0.0, omitted.min()));
    EXPECT_EQ(3.0, omitted.max());
    EXPECT_TRUE(same_bits(1.5, omitted.variance()));

    const std::vector<double> zeros = {0.0, -0.0};
    moments z(number_type::float64);
    add_my_share(z, zeros);
    const moment_summary zs = z.finish(MPI_COMM_WORLD);
    EXPECT_TRUE(same_bits(-0.0, zs.min()));
    EXPECT_TRUE(same_bits(0.0, zs.max()));

    const std::vector<double> infinite = {1.0, inf, 2.0};
    moments i(number_type::float64);
    add_my_share(i, infinite);
    const moment_summary is = i.finish(MPI_COMM_WORLD);
    EXPECT_EQ(inf, is.sum());
    EXPECT_TRUE(std::isnan(is.variance()));
    EXPECT_EQ(inf, is.max());

    moments none(number_type::float64);
    const moment_summary ns = none.finish(MPI_COMM_WORLD);
    EXPECT_EQ(0, ns.count());
    EXPECT_EQ(0.0, ns.sum());
    EXPECT_TRUE(std::isnan(ns.mean()));
    EXPECT_TRUE(std::isnan(ns.variance()));
    EXPECT_TRUE(std::isnan(ns.min()));

    // Degrees of freedom used up: NumPy's division by zero.
    const std::vector<double> two = {1.0, 2.0};
    moments d(number_type::float64);
    add_my_share(d, two);
    const moment_summary ds = d.finish(MPI_COMM_WORLD);
    EXPECT_EQ(inf, ds.variance(2.0));
    const std::vector<double> one = {5.0};
    moments o(number_type::float64);
    add_my_share(o, one);
    EXPECT_TRUE(std::isnan(o.finish(MPI_COMM_WORLD).variance(1.0)));
}

TEST(Moments, IntegersExactlyAndEveryWidth)
{
    // 64-bit values beyond 2^53: sums and extremes exact.
    std::vector<std::int64_t> big;
    for (int i = 0; i < 1000; ++i) {
        big.push_back((i % 2 == 0 ? (std::int64_t{1} << 62) : -(std::int64_t{1} << 62)) + i * 3);
    }
    moments m(number_type::int64);
    add_my_share(m, big);
    const moment_summary s = m.finish(MPI_COMM_WORLD);
    __extension__ __int128 total = 0;
    std::int64_t least = big[0];
    std::int64_t greatest = big[0];
    for (const std::int64_t v : big) {
        total += v;
        least = std::min(least, v);
        greatest = std::max(greatest, v);
    }
    EXPECT_EQ(static_cast<double>(total), s.sum());
    EXPECT_EQ(least, s.exact_min().signed_);
    EXPECT_EQ(greatest, s.exact_max().signed_);
    expect_same(s, whole(big, nan_policy::propagate));

    std::vector<std::uint64_t> ubig = {~std::uint64_t{0}, ~std::uint64_t{0} - 1, 5};
    moments u(number_type::uint64);
    add_my_share(u, ubig);
    const moment_summary us = u.finish(MPI_COMM_WORLD);
    EXPECT_EQ(~std::uint64_t{0}, us.exact_max().unsigned_);
    EXPECT_EQ(5u, us.exact_min().unsigned_);
    expect_same(us, whole(ubig, nan_policy::propagate));

    // Small widths give what their values as doubles give.
    std::vector<std::int8_t> small;
    std::vector<double> as_double;
    for (int i = 0; i < 3001; ++i) {
        small.push_back(static_cast<std::int8_t>((i * 37) % 256 - 128));
        as_double.push_back(small.back());
    }
    moments b(number_type::int8);
    add_my_share(b, small);
    moments d(number_type::float64);
    add_my_share(d, as_double);
    const moment_summary bs = b.finish(MPI_COMM_WORLD);
    const moment_summary ds = d.finish(MPI_COMM_WORLD);
    expect_same(bs, ds, 1.0);
}

TEST(Moments, ColumnsOfATableAndStridedRuns)
{
    // A (rows, 3) table: columns 0, 1 and 2 hold i, -2i and i^2 / 7.
    const int rows = 997;
    std::vector<float> table;
    std::vector<std::vector<double>> columns(3);
    for (int i = 0; i < rows; ++i) {
        const float row[3] = {static_cast<float>(i), static_cast<float>(-2 * i), static_cast<float>(i) * i / 7.0f};
        for (int j = 0; j < 3; ++j) {
            table.push_back(row[j]);
            columns[j].push_back(row[j]);
        }
    }
    // This rank's rows, in two blocks.
    const int size = world_size();
    const int rank = world_rank();
    const int first = rows * rank / size;
    const int last = rows * (rank + 1) / size;
    const int middle = (first + last) / 2;
    moments m(number_type::float32, 3);
    m.add(table_of(table.data() + 3 * first, middle - first, 3, 3));
    m.add(table_of(table.data() + 3 * middle, last - middle, 3, 3));
    const moment_summary s = m.finish(MPI_COMM_WORLD);
    ASSERT_EQ(3u, s.columns());
    for (std::size_t j = 0; j < 3; ++j) {
        moments c(number_type::float64);
        c.add(values_of(columns[j].data(), rows));
        const moment_summary cs = c.finish_local();
        EXPECT_TRUE(same_bits(cs.mean(), s.mean(j))) << j;
        EXPECT_TRUE(same_bits(cs.variance(), s.variance(0, j))) << j;
        EXPECT_TRUE(same_bits(cs.max(), s.max(j))) << j;
    }
    // Column 1 alone as a strided run of a one-column accumulator.
    moments one(number_type::float32);
    one.add(values_of(table.data() + 3 * first + 1, last - first, 3));
    EXPECT_TRUE(same_bits(s.sum(1), one.finish(MPI_COMM_WORLD).sum()));
}

TEST(Moments, TableColumnsWithoutTheSpreadWhereTheFastAndFullTotalsMeet)
{
    // A (rows, k) table of doubles whose columns each mix what the row-wise
    // deposit takes with what it leaves to the full exact total: magnitudes
    // 2^-1074 to near DBL_MAX in one column, a column growing tile by tile
    // past the level its previous tile set, NaN, infinities, subnormals,
    // zeros of both signs, cancellation to an exact zero. Every column's
    // sum, count and extremes must be those of the column alone as a run,
    // at any split of the rows over ranks and blocks and on every path.
    const double big = std::numeric_limits<double>::max();
    // Pairs of rows +2^60, -2^60 that cancel exactly, but for pairs of 2^-20
    // and 5 * 2^-20 (two levels below the largest, the third level's) and
    // pairs of 2^-75 (beyond three levels): the total is the small ones'.
    const auto cancelling = [](std::int64_t i) {
        const std::int64_t pair = i / 2;
        if (pair % 250 == 3) {
            return std::ldexp(i % 2 == 0 ? 1.0 : 5.0, -20);
        }
        if (pair % 350 == 5) {
            return std::ldexp(1.0, -75);
        }
        return i % 2 == 0 ? 0x1p60 : -0x1p60;
    };
    const double tiny = std::numeric_limits<double>::denorm_min();
    for (const std::int64_t k : {std::int64_t{1}, std::int64_t{13}, std::int64_t{64}, std::int64_t{300}}) {
        const std::int64_t rows = k == 300 ? 1500 : 7000;
        std::mt19937_64 gen(static_cast<unsigned>(k));
        std::normal_distribution<double> normal;
        std::vector<double> table(static_cast<std::size_t>(rows * k));
        for (std::int64_t i = 0; i < rows; ++i) {
            for (std::int64_t j = 0; j < k; ++j) {
                double v = normal(gen);
                switch (j % 8) {
                case 1: v = std::ldexp(v, static_cast<int>(i * 7 % 2000) - 1000); break; // every binade
                case 2: v = std::ldexp(v, static_cast<int>(i / 300) * 9 - 100); break;  // growing
                case 3: v = i % 2 == 0 ? big / 3 : -big / 3; break;                      // near the top
                case 4: v = (i % 3 == 0 ? tiny : std::ldexp(v, -1060)); break;           // subnormals
                case 5: v = i % 997 == 0 ? -0.0 : (i % 997 == 1 ? 0.0 : v + 1e6); break; // zeros inside
                case 6: v = i % 4000 == 3999 ? nan : (i == 2500 ? inf : v); break;
                case 7: v = cancelling(i); break;
                default: break;
                }
                table[static_cast<std::size_t>(i * k + j)] = v;
            }
        }
        if (k >= 8) {
            // Wholly -0.0, wholly zeros of both signs.
            for (std::int64_t i = 0; i < rows; ++i) {
                table[static_cast<std::size_t>(i * k + 0)] = -0.0;
            }
        }
        virda_test::for_each_runnable_path([&] {
            const int size = world_size();
            const int rank = world_rank();
            const std::int64_t first = rows * rank / size;
            const std::int64_t last = size >= 3 && rank == size - 1 ? first : rows * (rank + 1) / size;
            const std::int64_t middle = first + (last - first) / 3;
            moments m(number_type::float64, k, false);
            m.add(table_of(table.data() + first * k, middle - first, k, k));
            m.add(table_of(table.data() + middle * k, last - middle, k, k));
            // Rows a rank of three or more leaves out, on the second last.
            if (size >= 3 && rank == size - 2) {
                m.add(table_of(table.data() + last * k, rows - last, k, k));
            }
            for (const nan_policy policy : {nan_policy::propagate, nan_policy::omit}) {
                const moment_summary s = m.finish(MPI_COMM_WORLD, policy);
                for (std::int64_t j = 0; j < k; ++j) {
                    moments c(number_type::float64);
                    c.add(values_of(table.data() + j, rows, k));
                    const moment_summary cs = c.finish_local(policy);
                    const auto at = static_cast<std::size_t>(j);
                    EXPECT_EQ(cs.count(), s.count(at)) << k << " " << j;
                    EXPECT_EQ(cs.nan_count(), s.nan_count(at)) << k << " " << j;
                    EXPECT_TRUE(same_bits(cs.sum(), s.sum(at))) << k << " " << j << ": " << cs.sum() << " vs " << s.sum(at);
                    EXPECT_TRUE(same_bits(cs.min(), s.min(at))) << k << " " << j;
                    EXPECT_TRUE(same_bits(cs.max(), s.max(at))) << k << " " << j;
                    EXPECT_TRUE(same_bits(static_cast<double>(cs.precise_mean()),
                                          static_cast<double>(s.precise_mean(at))))
                        << k << " " << j;
                }
            }
        });
    }
}

TEST(Moments, TableTilesAndStridedRunsJoinedInOneColumn)
{
    // One accumulator given rows of contiguous columns (the row-wise
    // deposit) and rows of a column-major copy (strided runs): each
    // column's two totals, of opposite signs and cancelling but for a few
    // units in the last place, must join exactly.
    const std::int64_t k = 5;
    const std::int64_t rows = 3000;
    std::vector<double> by_rows(static_cast<std::size_t>(rows * k));
    std::vector<double> by_columns(by_rows.size());
    for (std::int64_t i = 0; i < rows; ++i) {
        for (std::int64_t j = 0; j < k; ++j) {
            const double v = (i < rows / 2 ? 1.0 : -1.0) * std::ldexp(1.0 + static_cast<double>(j), 40) +
                             (i == 7 ? std::ldexp(1.0, -30) * static_cast<double>(j) : 0.0);
            by_rows[static_cast<std::size_t>(i * k + j)] = v;
            by_columns[static_cast<std::size_t>(j * rows + i)] = v;
        }
    }
    const int size = world_size();
    const int rank = world_rank();
    const std::int64_t first = rows * rank / size;
    const std::int64_t last = rows * (rank + 1) / size;
    const std::int64_t middle = std::max(first, std::min(last, rows / 2 + 1));
    moments m(number_type::float64, k, false);
    m.add(table_of(by_rows.data() + first * k, middle - first, k, k));
    const table_view strided{by_columns.data() + middle, number_type::float64, last - middle, k, 8,
                             rows * static_cast<std::int64_t>(sizeof(double))};
    m.add(strided);
    const moment_summary s = m.finish(MPI_COMM_WORLD);
    for (std::int64_t j = 0; j < k; ++j) {
        moments c(number_type::float64);
        c.add(values_of(by_columns.data() + j * rows, rows));
        const moment_summary cs = c.finish_local();
        const auto at = static_cast<std::size_t>(j);
        EXPECT_TRUE(same_bits(cs.sum(), s.sum(at))) << j << ": " << cs.sum() << " vs " << s.sum(at);
        EXPECT_TRUE(same_bits(cs.min(), s.min(at))) << j;
        EXPECT_EQ(rows, s.count(at)) << j;
    }
}

TEST(Moments, WithoutTheSpreadTheSameSumsAndExtremes)
{
    const std::vector<double> data = ordinary_data(3001, 2.0, 1.0, 9);
    moments all(number_type::float64);
    moments some(number_type::float64, 1, false);
    add_my_share(all, data);
    add_my_share(some, data);
    const moment_summary a = all.finish(MPI_COMM_WORLD);
    const moment_summary s = some.finish(MPI_COMM_WORLD);
    EXPECT_TRUE(same_bits(a.mean(), s.mean()));
    EXPECT_TRUE(same_bits(a.max(), s.max()));
    EXPECT_TRUE(std::isnan(s.variance()));

    // Without the squares the extremes come from a pass of their own, which
    // looks for the zeros' signs only when an extreme is zero: NaN, both
    // zeros and infinities, in runs shorter and longer than a register.
    std::vector<double> long_zeros(300);
    for (std::size_t i = 0; i < long_zeros.size(); ++i) {
        long_zeros[i] = static_cast<double>(i % 17);
    }
    long_zeros[0] = 0.0;
    long_zeros[101] = -0.0;
    std::vector<double> negative = long_zeros;
    for (double& v : negative) {
        v = -v;
    }
    const std::vector<std::vector<double>> cases = {{1.0, nan, -0.0, 0.0, 3.0, nan},
                                                    {0.0, -0.0},
                                                    {-0.0},
                                                    {0.0},
                                                    {1.0, inf, 2.0},
                                                    {-inf, 5.0, nan},
                                                    long_zeros,
                                                    negative};
    virda_test::for_each_runnable_path([&] {
        for (std::size_t c = 0; c < cases.size(); ++c) {
            moments with(number_type::float64);
            moments without(number_type::float64, 1, false);
            add_my_share(with, cases[c]);
            add_my_share(without, cases[c]);
            for (const nan_policy policy : {nan_policy::propagate, nan_policy::omit}) {
                const moment_summary w = with.finish(MPI_COMM_WORLD, policy);
                const moment_summary o = without.finish(MPI_COMM_WORLD, policy);
                EXPECT_EQ(w.count(), o.count()) << c;
                EXPECT_EQ(w.nan_count(), o.nan_count()) << c;
                EXPECT_TRUE(same_bits(w.min(), o.min())) << c;
                EXPECT_TRUE(same_bits(w.max(), o.max())) << c;
                EXPECT_TRUE(same_bits(w.sum(), o.sum())) << c;
            }
        }
    });
}

TEST(Moments, RepeatedValuesBeyondTwoToTheThirtyOne)
{
    // A value repeated 2^33 times on every rank, as a run of stride 0.
    const double v = 0.1;
    const std::int64_t n = std::int64_t{1} << 33;
    moments m(number_type::float64);
    m.add(values_view{&v, number_type::float64, n, 0});
    const moment_summary s = m.finish(MPI_COMM_WORLD);
    EXPECT_EQ(n * world_size(), s.count());
    EXPECT_EQ(0.1 * static_cast<double>(n * world_size()), s.sum());
}

TEST(Moments, DisagreeingRanksAndBadArgumentsThrowAlike)
{
    // Rank 0 finishes float64, the others float32: the same record length,
    // a different fingerprint: every rank throws, none hangs.
    moments m(world_rank() == 0 ? number_type::float64 : number_type::float32);
    bool thrown = false;
    try {
        (void)m.finish(MPI_COMM_WORLD);
    } catch (const error& e) {
        thrown = e.code() == error_code::ranks_disagree;
    }
    EXPECT_EQ(world_size() > 1, thrown);

    moments f(number_type::float64);
    const float x = 1.0f;
    EXPECT_THROW(f.add(values_of(&x, 1)), error);
    EXPECT_THROW(moments(number_type::float64, 0), error);
    moments two(number_type::float64, 2);
    const double y[3] = {1, 2, 3};
    EXPECT_THROW(two.add(table_of(y, 1, 3, 3)), error);
}

} // namespace
