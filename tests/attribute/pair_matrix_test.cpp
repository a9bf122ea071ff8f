// Attribute arithmetic over every ordered pair of element types (49 with an
// attribute, 28 with a scalar, sum and product each): result type code,
// elements bit for bit against the element rule written out below, all-zero
// results and the exact message lines for the pairs that do not compute, and
// one new window per operation. The shape {2, 3} leaves a rank without rows
// at 3 ranks.
#include "virda_test/test_data.h"
#include "virda_test/mpi_counts.h"
#include "virda_test/stderr_capture.h"
#include "virda_test/window_reuse.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <typeinfo>
#include <type_traits>

using virda_test::count_line;
using X = fftw_complex;

namespace {

template <class... Ts> struct list {};
using elements = list<double, float, int, char, Vector2, Vector3, X>;
using scalars = list<double, float, int, X>;
template <class T> constexpr bool plain = std::is_arithmetic_v<T>;

// Element g of an operand of type T: ints large enough that converting them to
// float rounds, doubles and floats that differ once rounded, a negative zero.
template <class T> T operand(int g)
{
    if constexpr (std::is_same_v<T, double>) return 0.1 * g - 0.35;
    else if constexpr (std::is_same_v<T, float>) return 0.5f + 0.1f * g;
    else if constexpr (std::is_same_v<T, int>) return g % 2 == 0 ? 16777217 + g : -3 - g;
    else if constexpr (std::is_same_v<T, char>) return char('A' + g);
    else if constexpr (std::is_same_v<T, Vector2>) return Vector2(g + 0.25, -0.5 * g);
    else if constexpr (std::is_same_v<T, Vector3>) return Vector3(g - 1.5, 0.125 * g, 3.0);
    else return X{0.5 * g - 1, g == 0 ? -0.0 : 0.3 * g};
}
template <class T> T scalar()
{
    if constexpr (std::is_same_v<T, double>) return 0.1;
    else if constexpr (std::is_same_v<T, float>) return 0.1f;
    else if constexpr (std::is_same_v<T, int>) return 3;
    else return X{0.5, -2.0};
}

// Plain with plain: both converted to R and combined in R; int wraps.
template <class R, class A, class B> R plain_rule(A a, B b, bool product)
{
    if constexpr (std::is_same_v<R, int>) {
        const long long w = product ? static_cast<long long>(a) * b : static_cast<long long>(a) + b;
        return static_cast<int>(static_cast<std::uint32_t>(w));
    } else {
        return product ? R(R(a) * R(b)) : R(R(a) + R(b));
    }
}

// The value of a OP b for an element a of the left array and b of the right
// array (scalar = false) or the scalar (scalar = true). Defined pairs only.
template <class R, class A, class B> R rule(A a, B b, bool product, bool scalar)
{
    if constexpr (plain<A> && plain<B>) {
        return plain_rule<R>(a, b, product);
    } else if constexpr (std::is_same_v<A, X> && std::is_same_v<B, X>) {
        return product ? X{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}
                       : X{a.re + b.re, a.im + b.im};
    } else if constexpr (std::is_same_v<A, X>) {
        const double s = b;
        return product ? X{a.re * s, a.im * s} : X{a.re + s, a.im};
    } else if constexpr (std::is_same_v<B, X>) {
        const double s = a;
        if (scalar) { // the complex scalar stands in the complex place
            return product ? X{b.re * s, b.im * s} : X{b.re + s, b.im};
        }
        return product ? X{s * b.re, s * b.im} : X{s + b.re, 0.0 + b.im};
    } else if constexpr (std::is_same_v<A, Vector2>) {
        if constexpr (std::is_same_v<B, Vector2>) {
            return product ? Vector2(a.x * b.x + a.y * b.y) : Vector2(a.x + b.x, a.y + b.y);
        } else {
            const double s = b;
            return product ? Vector2(a.x * s, a.y * s) : Vector2(a.x + s, a.y + s);
        }
    } else if constexpr (std::is_same_v<B, Vector3>) {
        if constexpr (std::is_same_v<R, double>) return a.x * b.x + a.y * b.y + a.z * b.z;
        else return Vector3(a.x + b.x, a.y + b.y, a.z + b.z);
    } else {
        const double s = b;
        return product ? Vector3(a.x * s, a.y * s, a.z * s) : Vector3(a.x + s, a.y + s, a.z + s);
    }
}

// Runs one operation and checks everything about its result.
template <class T, class U, bool Product, bool Scalar>
void check(const Attribute& left, const Attribute* right)
{
    using R = std::conditional_t<Product, typename promote_trait<T, U>::T_promote_pr,
                                 typename promote_trait<T, U>::T_promote>;
    constexpr bool defined =
        Scalar ? virda_detail::scalar_pair_defined<T, U> : virda_detail::array_pair_defined<T, U>;
    const std::string pair = std::string(typeid(T).name()) + (Product ? " * " : " + ") + typeid(U).name() +
                             (Scalar ? " scalar" : " array");
    Attribute result;
    std::string err;
    const auto during = virda_test::mpi_counts_during([&] {
        err = virda_test::capture_stderr([&] {
            if constexpr (Scalar) {
                result = Product ? left * scalar_variant(scalar<U>()) : left + scalar_variant(scalar<U>());
            } else {
                result = Product ? left * *right : left + *right;
            }
        });
    });
    EXPECT_EQ(during.windows_created, 1) << pair;
    EXPECT_EQ(result.get_data_type(), type_code<R>::value) << pair;
    const va<R>& v = virda_test::held_array<R>(result);
    const int first = v.va_distribution_index(VIRDA_ID)[0];
    for (int i = 0; i < v.va_local_count(); ++i) {
        R want{};
        if constexpr (defined && Scalar) {
            want = rule<R>(operand<T>(first + i), scalar<U>(), Product, true);
        } else if constexpr (defined) {
            want = rule<R>(operand<T>(first + i), operand<U>(first + i), Product, false);
        }
        const R got = v.va_local_data()[i];
        EXPECT_EQ(std::memcmp(&got, &want, sizeof(R)), 0) << pair << ", element " << first + i;
    }
    if (defined) {
        EXPECT_EQ(err, "") << pair;
        return;
    }
    const auto lines = virda_test::split_lines(err);
    const std::string undefined = Product ? "PRODUCT NOT DEFINED FOR THESE TWO TYPES; Nothing done"
                                          : "SUM NOT DEFINED FOR THESE TWO TYPES; Nothing done";
    const std::string zero =
        Product ? "If you typed z=x*y what you got is z=0" : "If you typed z=x+y what you got is z=0";
    EXPECT_EQ(count_line(err, undefined), 1) << pair;
    EXPECT_EQ(count_line(err, zero), Product && Scalar ? 0 : 1) << pair;
    EXPECT_EQ(lines.size(), Product && Scalar ? 1u : 2u) << pair;
}

struct operands {
    std::vector<Attribute> of;
    template <class... Ts> explicit operands(list<Ts...>)
    {
        (of.push_back(virda_test::make_attribute<Ts>({2, 3}, operand<Ts>)), ...);
    }
    template <class T> const Attribute& get() const { return of[position<T>(elements{})]; }
    template <class T, class... Ts> static std::size_t position(list<Ts...>)
    {
        std::size_t i = 0, at = 0;
        ((std::is_same_v<T, Ts> ? at = i : 0, ++i), ...);
        return at;
    }
};

template <bool Product, class T, class... Us> void with_arrays(const operands& ops, list<Us...>)
{
    (check<T, Us, Product, false>(ops.get<T>(), &ops.get<Us>()), ...);
}
template <bool Product, class T, class... Us> void with_scalars(const operands& ops, list<Us...>)
{
    (check<T, Us, Product, true>(ops.get<T>(), nullptr), ...);
}
template <bool Product, class... Ts> void all_pairs(const operands& ops, list<Ts...>)
{
    (with_arrays<Product, Ts>(ops, elements{}), ...);
    (with_scalars<Product, Ts>(ops, scalars{}), ...);
}

} // namespace

TEST(PairMatrix, Sums)
{
    // Counts the windows each step creates and frees itself.
    const virda_test::without_window_reuse fresh_windows;
    const operands ops{elements{}};
    all_pairs<false>(ops, elements{});
}

TEST(PairMatrix, Products)
{
    // Counts the windows each step creates and frees itself.
    const virda_test::without_window_reuse fresh_windows;
    const operands ops{elements{}};
    all_pairs<true>(ops, elements{});
}
