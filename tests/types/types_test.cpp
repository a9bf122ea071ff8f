// Element types: operators of the composite types, the promotion tables, which
// pairs compute, and the MPI datatypes of elements and sub-blocks.
#include "virdastatistics.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <type_traits>
#include <vector>

namespace {

using D = double;
using F = float;
using I = int;
using C = char;
using V2 = Vector2;
using V3 = Vector3;
using X = fftw_complex;

template <class... Ts> struct list {};
using columns = list<D, F, I, C, V2, V3, X>;

// One row of a promotion table: T with each column type gives the listed type.
template <bool Product, class T, class Cols, class Want> struct row;
template <bool Product, class T, class... Us, class... Ws>
struct row<Product, T, list<Us...>, list<Ws...>> {
    static constexpr bool value =
        ((std::is_same_v<std::conditional_t<Product, typename promote_trait<T, Us>::T_promote_pr,
                                            typename promote_trait<T, Us>::T_promote>,
                         Ws>) && ...);
};
template <class T, class... Ws> constexpr bool sum_row = row<false, T, columns, list<Ws...>>::value;
template <class T, class... Ws> constexpr bool product_row = row<true, T, columns, list<Ws...>>::value;

//                          double  float  int  char  Vector2  Vector3  complex
static_assert(sum_row<D,    D,      D,     D,   D,    V2,      V3,      X>);
static_assert(sum_row<F,    D,      F,     F,   F,    V2,      V3,      X>);
static_assert(sum_row<I,    D,      F,     I,   I,    V2,      V3,      X>);
static_assert(sum_row<C,    D,      F,     I,   I,    V2,      V3,      X>);
static_assert(sum_row<V2,   V2,     V2,    V2,  V2,   V2,      V3,      V2>);
static_assert(sum_row<V3,   V3,     V3,    V3,  V3,   V2,      V3,      V3>);
static_assert(sum_row<X,    X,      X,     X,   X,    V2,      V3,      X>);

static_assert(product_row<D,  D,  D,  D,  D,  V2, V3, X>);
static_assert(product_row<F,  D,  F,  F,  F,  V2, V3, X>);
static_assert(product_row<I,  D,  F,  I,  I,  V2, V3, X>);
static_assert(product_row<C,  D,  F,  I,  I,  V2, V3, X>);
static_assert(product_row<V2, V2, V2, V2, V2, V2, V3, V2>);
static_assert(product_row<V3, V3, V3, V3, V3, V2, D,  V3>); // Vector3 . Vector3 is a double
static_assert(product_row<X,  X,  X,  X,  X,  V2, V3, X>);

// Which pairs compute: 1 defined, 0 all-zero result.
template <class T, class Cols, bool... Want> struct defined_row;
template <class T, class... Us, bool... Want> struct defined_row<T, list<Us...>, Want...> {
    static constexpr bool array = ((virda_detail::array_pair_defined<T, Us> == Want) && ...);
    static constexpr bool scalar = ((virda_detail::scalar_pair_defined<T, Us> == Want) && ...);
};
template <class T, bool... W> constexpr bool array_row = defined_row<T, columns, W...>::array;
template <class T, bool... W> constexpr bool scalar_row = defined_row<T, list<D, F, I, X>, W...>::scalar;

static_assert(array_row<D, 1, 1, 1, 0, 0, 0, 1> && array_row<F, 1, 1, 1, 0, 0, 0, 1>);
static_assert(array_row<I, 1, 1, 1, 0, 0, 0, 1> && array_row<X, 1, 1, 1, 0, 0, 0, 1>);
static_assert(array_row<C, 0, 0, 0, 0, 0, 0, 0>);
static_assert(array_row<V2, 0, 0, 0, 0, 1, 0, 0> && array_row<V3, 0, 0, 0, 0, 0, 1, 0>);
static_assert(scalar_row<D, 1, 1, 1, 1> && scalar_row<F, 1, 1, 1, 1> && scalar_row<I, 1, 1, 1, 1>);
static_assert(scalar_row<X, 1, 1, 1, 1> && scalar_row<C, 0, 0, 0, 0>);
static_assert(scalar_row<V2, 1, 1, 0, 0> && scalar_row<V3, 1, 0, 0, 0>);

template <class T, class... Us> constexpr int defined_with(list<Us...>, bool scalar)
{
    return ((scalar ? virda_detail::scalar_pair_defined<T, Us> : virda_detail::array_pair_defined<T, Us>) + ...);
}
template <class... Ts> constexpr int defined_pairs(list<Ts...>, bool scalar)
{
    return ((scalar ? defined_with<Ts>(list<D, F, I, X>{}, true) : defined_with<Ts>(columns{}, false)) + ...);
}
static_assert(defined_pairs(columns{}, false) == 18 && defined_pairs(columns{}, true) == 19);

std::vector<double> parts(X z) { return {z.re, z.im}; }
std::vector<double> parts(V2 v) { return {v.x, v.y}; }
std::vector<double> parts(V3 v) { return {v.x, v.y, v.z}; }
using dv = std::vector<double>;

} // namespace

TEST(ElementOperators, VectorsAndComplex)
{
    EXPECT_EQ(parts(V3(2.5)), dv({2.5, 2.5, 2.5}));
    EXPECT_EQ(parts(V2(-1.0)), dv({-1, -1}));
    static_assert(std::is_same_v<decltype(V2(1, 2) * V2(3, 4)), double>);
    EXPECT_EQ(V2(1, 2) * V2(3, 4), 11.0);
    EXPECT_EQ(V3(1, 2, 3) * V3(4, 5, 6), 32.0);
    EXPECT_EQ(V3(1e16, -1e16, 1) * V3(1, 1, 1), 1.0); // components added in order, x first
    EXPECT_EQ(parts(2.0 + V3(1, 2, 3)), dv({3, 4, 5}));
    EXPECT_EQ(parts(2.0 * V2(1, -2)), dv({2, -4}));
    EXPECT_EQ(parts(V2(1, 2) + V2(0.5, -4)), dv({1.5, -2}));
    EXPECT_EQ(parts(V3(1, 2, 3) + V3(1, 1, -1)), dv({2, 3, 2}));

    EXPECT_EQ(parts(X{0, 1} * X{0, 1}), dv({-1, 0}));
    EXPECT_EQ(parts(X{1, 2} * X{3, 4}), dv({-5, 10}));
    EXPECT_EQ(parts(X{1, 2} + X{3, -4}), dv({4, -2}));
    for (const X& z : {X{1, 1} + 2, 2 + X{1, 1}, 2.0f + X{1, 1}, X{1, 1} + 2.0f, X{1, 1} + 2.0, 2.0 + X{1, 1}}) {
        EXPECT_EQ(parts(z), dv({3, 1}));
    }
    for (const X& z : {2 * X{1, 3}, X{1, 3} * 2, 2.0f * X{1, 3}, X{1, 3} * 2.0f, 2.0 * X{1, 3}, X{1, 3} * 2.0}) {
        EXPECT_EQ(parts(z), dv({2, 6}));
    }
    // A scalar on the left is the complex {s, 0}: 0 + (-0.0) is +0.0; on the
    // right it leaves the imaginary part as it is.
    EXPECT_FALSE(std::signbit((1.0 + X{1, -0.0}).im));
    EXPECT_TRUE(std::signbit((X{1, -0.0} + 1.0).im));
    const X inf_product = X{INFINITY, 0} * X{1, 0}; // textbook product: inf * 0 in the imaginary part
    EXPECT_EQ(inf_product.re, INFINITY);
    EXPECT_TRUE(std::isnan(inf_product.im));
}

TEST(MpiTypes, ElementDatatypes)
{
    EXPECT_EQ(mpi_type_trait<double>().get(), MPI_DOUBLE);
    EXPECT_EQ(mpi_type_trait<float>().get(), MPI_FLOAT);
    EXPECT_EQ(mpi_type_trait<int>().get(), MPI_INT);
    EXPECT_EQ(mpi_type_trait<char>().get(), MPI_CHAR);
    mpi_type_trait<Vector3> trait;
    const MPI_Datatype v3 = trait.get(), v2 = mpi_type_trait<Vector2>().get();
    const MPI_Datatype cx = mpi_type_trait<fftw_complex>().get();
    EXPECT_EQ(trait.type, v3);
    for (const auto& [type, bytes] : {std::pair<MPI_Datatype, int>{v2, 16}, {v3, 24}, {cx, 16}}) {
        int size = 0;
        MPI_Aint lb = -1, extent = 0;
        MPI_Type_size(type, &size);
        MPI_Type_get_extent(type, &lb, &extent);
        EXPECT_EQ(size, bytes) << bytes;
        EXPECT_EQ(lb, 0) << bytes;
        EXPECT_EQ(extent, bytes) << bytes;
    }
    // Built once per process: asking again, or creating arrays, builds nothing.
    const auto during = virda_test::mpi_counts_during([&] {
        EXPECT_EQ(mpi_type_trait<Vector3>().get(), v3);
        EXPECT_EQ(mpi_type_trait<Vector2>().get(), v2);
        EXPECT_EQ(mpi_type_trait<fftw_complex>().get(), cx);
        va<Vector3> a({4}, MPI_COMM_WORLD);
        va<fftw_complex> b({4}, MPI_COMM_WORLD);
    });
    EXPECT_EQ(during.types_created, 0);
    const V3 sent[2] = {V3(1, 2, 3), V3(4, 5, 6)}; // usable for transfers at once
    V3 got[2];
    MPI_Sendrecv(sent, 2, v3, 0, 7, got, 2, v3, 0, 7, MPI_COMM_SELF, MPI_STATUS_IGNORE);
    EXPECT_EQ(parts(got[1]), dv({4, 5, 6}));
    EXPECT_EQ(got[0].z, 3);
}

namespace {
// Sends one sub-block item from an enclosing array holding 0, 1, 2, ... and
// checks which elements arrive, in order, and the item's extent in bytes.
template <class T>
void expect_block(std::vector<int> counts, std::vector<int> sizes, std::vector<T> want, MPI_Aint want_extent)
{
    int total = 1;
    for (int s : sizes) {
        total *= s;
    }
    std::vector<T> enclosing(static_cast<std::size_t>(total)), got(want.size(), T(-1));
    for (int i = 0; i < total; ++i) {
        enclosing[static_cast<std::size_t>(i)] = static_cast<T>(i);
    }
    const auto during = virda_test::mpi_counts_during([&] {
        MPI_Datatype block = mpi_type_trait<non_c_d_md<T>>().get(counts, sizes);
        MPI_Aint lb = -1, extent = 0;
        MPI_Type_get_extent(block, &lb, &extent);
        EXPECT_EQ(lb, 0) << extent;
        EXPECT_EQ(extent, want_extent) << extent;
        MPI_Sendrecv(enclosing.data(), 1, block, 0, 3, got.data(), static_cast<int>(want.size()),
                     mpi_type_trait<T>().get(), 0, 3, MPI_COMM_SELF, MPI_STATUS_IGNORE);
        MPI_Type_free(&block);
    });
    EXPECT_EQ(got, want);
    EXPECT_EQ(during.types_created, during.types_freed) << "intermediate levels left allocated";
}
} // namespace

TEST(MpiTypes, SubBlockDatatypes)
{
    expect_block<double>({1}, {1}, {0}, 8);
    expect_block<int>({2, 3}, {4, 5}, {0, 1, 4, 5, 8, 9}, 80);
    expect_block<float>({4}, {4}, {0, 1, 2, 3}, 16);
    expect_block<double>({2, 2, 2}, {3, 3, 3}, {0, 1, 3, 4, 9, 10, 12, 13}, 216);
    expect_block<int>({3, 1, 9}, {4, 2}, {0, 1, 2}, 32); // counts beyond the sizes are ignored
    MPI_Datatype bad = MPI_DOUBLE;
    const std::string err =
        virda_test::capture_stderr([&] { bad = mpi_type_trait<non_c_d_md<double>>().get({}, {}); });
    EXPECT_EQ(bad, MPI_DATATYPE_NULL);
    EXPECT_EQ(virda_test::split_lines(err).size(), 1u);
}
