// The arithmetic's element loops on every instruction-set path this machine
// runs: each path against the element rules (int wrapping, promotion to
// float or double before the operation, IEEE special values) and all paths
// bitwise against each other. A path the processor lacks falls back.
#include "virdastatistics.h"
#include "framework/simd/isa.h"
#include "virda_test/isa_paths.h"
#include "virda_test/ranks.h"
#include "virda_test/stderr_capture.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using virda_detail::isa;

namespace {

// Long enough for every vector width's main loop and an odd tail.
constexpr int length = 1037;

// Hard values first, then ordinary ones, by global index.
double double_at(int g)
{
    static const double hard[] = {0.0, -0.0, 1.0, -1.5, std::numeric_limits<double>::quiet_NaN(),
                                  HUGE_VAL, -HUGE_VAL, DBL_MAX, -DBL_MAX, DBL_MIN, 4.9e-324, 1.0 / 3.0, 1e308};
    constexpr int hard_count = sizeof hard / sizeof hard[0];
    return g < hard_count ? hard[g] : std::ldexp(1.0 + 0.1 * (g % 97), g % 61 - 30) * (g % 3 == 0 ? -1 : 1);
}
float float_at(int g) { return static_cast<float>(double_at(g) * (g % 5 == 1 ? 1e30 : 1.0)); }
int int_at(int g)
{
    static const int hard[] = {INT_MAX, INT_MIN, -1, 0, 1, INT_MAX - 1, 46341, -46341};
    constexpr int hard_count = sizeof hard / sizeof hard[0];
    return g < hard_count ? hard[g] : (g * 2654435761u) >> 3;
}

template <typename T>
T value_at(int g)
{
    if constexpr (std::is_same_v<T, double>) {
        return double_at(g);
    } else if constexpr (std::is_same_v<T, float>) {
        return float_at(g);
    } else {
        return int_at(g);
    }
}

template <typename T>
va<T> filled(int shift)
{
    return va_from_global<T>({length}, VIRDA_COMM, [shift](int g) { return value_at<T>(g + shift); });
}

template <typename R, typename A, typename B>
R expected(bool product, A a, B b)
{
    if constexpr (std::is_same_v<R, int>) {
        const unsigned x = static_cast<unsigned>(a);
        const unsigned y = static_cast<unsigned>(b);
        return static_cast<int>(product ? x * y : x + y);
    } else {
        return product ? static_cast<R>(a) * static_cast<R>(b) : static_cast<R>(a) + static_cast<R>(b);
    }
}

template <typename T>
bool same_bits(T a, T b)
{
    if constexpr (!std::is_same_v<T, int>) {
        if (std::isnan(a) && std::isnan(b)) {
            return true;
        }
    }
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// This rank's block of `a` as bytes, to compare paths bit for bit.
template <typename T>
std::vector<unsigned char> bytes_of(const va<T>& a)
{
    const auto* p = reinterpret_cast<const unsigned char*>(a.va_local_data());
    return std::vector<unsigned char>(p, p + sizeof(T) * static_cast<std::size_t>(a.va_local_count()));
}

// Sums and products of A with B, as arrays and with one scalar of B, on the
// current path: each element checked by the rules, the blocks returned.
template <typename A, typename B>
std::vector<std::vector<unsigned char>> check_pair()
{
    const va<A> a = filled<A>(0);
    const va<B> b = filled<B>(5);
    const B s = value_at<B>(length + 3);
    const int first = a.va_distribution_index(VIRDA_ID)[0];
    std::vector<std::vector<unsigned char>> blocks;
    const auto check = [&](const auto& result, bool product, bool scalar) {
        using R = std::remove_const_t<std::remove_reference_t<decltype(*result.va_local_data())>>;
        int wrong = 0;
        for (int i = 0; i < result.va_local_count(); ++i) {
            const B right = scalar ? s : value_at<B>(first + i + 5);
            const R want = expected<R>(product, value_at<A>(first + i), right);
            wrong += same_bits(want, result.va_local_data()[i]) ? 0 : 1;
        }
        EXPECT_EQ(wrong, 0) << (product ? "product" : "sum") << (scalar ? " with a scalar" : " of arrays");
        blocks.push_back(bytes_of(result));
    };
    check(a + b, false, false);
    check(a * b, true, false);
    check(a + s, false, true);
    check(a * s, true, true);
    return blocks;
}

template <typename A>
std::vector<std::vector<unsigned char>> check_row()
{
    auto blocks = check_pair<A, double>();
    for (auto& b : check_pair<A, float>()) {
        blocks.push_back(std::move(b));
    }
    for (auto& b : check_pair<A, int>()) {
        blocks.push_back(std::move(b));
    }
    return blocks;
}

// Whole powers as the runtime's pow gives them, from the attribute's blocks.
std::vector<std::vector<unsigned char>> check_powers()
{
    std::vector<std::vector<unsigned char>> blocks;
    Attribute x;
    x.set_attribute(array_variant(filled<double>(0)));
    for (const unsigned e : {0u, 1u, 2u, 3u, 5u, 8u, 31u, 1000u}) {
        Attribute p = pow(x, static_cast<double>(e));
        std::vector<double> got(static_cast<std::size_t>(p.size()));
        p.get<double>(0, p.size() - 1, got.data());
        int wrong = 0;
        for (int g = 0; g < length; ++g) {
            double r = 1.0;
            double b = double_at(g);
            for (unsigned k = e; k != 0; k >>= 1) {
                if (k & 1u) {
                    r *= b;
                }
                b *= b;
            }
            wrong += same_bits(r, got[static_cast<std::size_t>(g)]) ? 0 : 1;
        }
        EXPECT_EQ(wrong, 0) << "x^" << e;
        const auto* bytes = reinterpret_cast<const unsigned char*>(got.data());
        blocks.emplace_back(bytes, bytes + sizeof(double) * got.size());
    }
    return blocks;
}

} // namespace

// Runs first: the path chosen at load is the best the processor has, capped
// by VIRDA_ISA when that names a path (CTest runs this program with and
// without it, and with values that name none). A value that names no path,
// or a path this processor cannot run, is reported once, on rank 0, with the
// path that runs instead.
TEST(IsaPaths, PathChosenAtLoadIsTheBestAllowedAndABadChoiceIsReported)
{
    const char* v = std::getenv("VIRDA_ISA");
    isa cap = virda_detail::all_isa_paths[virda_detail::isa_count - 1];
    bool named = false;
    for (const isa p : virda_detail::all_isa_paths) {
        if (v != nullptr && std::string(v) == virda_detail::isa_name(p)) {
            cap = p;
            named = true;
        }
    }
    isa best = isa::baseline;
    for (const isa p : virda_detail::all_isa_paths) {
        if (static_cast<int>(p) <= static_cast<int>(cap) && virda_detail::isa_supported(p)) {
            best = p;
        }
    }
    isa active = isa::baseline;
    const std::string err = virda_test::capture_stderr([&] { active = virda_detail::active_isa(); });
    EXPECT_EQ(active, best) << "active " << virda_detail::isa_name(active);
    std::string expected;
    if (v != nullptr && virda_test::world_rank() == 0) {
        if (!named) {
            expected = std::string("WARNING: VIRDA_ISA='") + v +
                       "' names no instruction-set path (baseline, avx2, avx512); running " +
                       virda_detail::isa_name(best) + "\n";
        } else if (best != cap) {
            expected = std::string("WARNING: VIRDA_ISA='") + v + "' cannot run on this processor; running " +
                       virda_detail::isa_name(best) + "\n";
        }
    }
    EXPECT_EQ(err, expected);
    // Once per process: later uses say nothing.
    EXPECT_EQ(virda_test::capture_stderr([] { virda_detail::active_isa(); }), "");
}

// The choice on processors other than this one: a path it lacks falls back
// to the best below with a line naming both, a value naming no path (case
// matters, empty names none) to the best with the list of names.
TEST(IsaPaths, ChoiceOnOtherProcessorsAndWhatIsReported)
{
    using virda_detail::choose_isa;
    const auto every = [](isa) { return true; };
    const auto no_avx512 = [](isa p) { return p != isa::avx512; };
    const auto baseline_only = [](isa p) { return p == isa::baseline; };
    const struct {
        const char* value;
        bool (*supported)(isa);
        isa path;
        std::string report;
    } cases[] = {
        {nullptr, every, isa::avx512, ""},
        {nullptr, no_avx512, isa::avx2, ""},
        {nullptr, baseline_only, isa::baseline, ""},
        {"avx2", every, isa::avx2, ""},
        {"baseline", no_avx512, isa::baseline, ""},
        {"avx512", no_avx512, isa::avx2, "WARNING: VIRDA_ISA='avx512' cannot run on this processor; running avx2"},
        {"avx512", baseline_only, isa::baseline,
         "WARNING: VIRDA_ISA='avx512' cannot run on this processor; running baseline"},
        {"avx2", baseline_only, isa::baseline,
         "WARNING: VIRDA_ISA='avx2' cannot run on this processor; running baseline"},
        {"AVX2", no_avx512, isa::avx2,
         "WARNING: VIRDA_ISA='AVX2' names no instruction-set path (baseline, avx2, avx512); running avx2"},
        {"", every, isa::avx512,
         "WARNING: VIRDA_ISA='' names no instruction-set path (baseline, avx2, avx512); running avx512"},
    };
    for (const auto& c : cases) {
        const auto choice = choose_isa(c.value, c.supported);
        const std::string label = c.value == nullptr ? "unset" : std::string("'") + c.value + "'";
        EXPECT_EQ(choice.path, c.path) << label << " ran " << virda_detail::isa_name(choice.path);
        EXPECT_EQ(choice.report, c.report) << label;
    }
}

TEST(IsaPaths, ForcingAPathFallsBackToOneTheProcessorRuns)
{
    const isa saved = virda_detail::active_isa();
    EXPECT_TRUE(virda_detail::isa_supported(isa::baseline));
    EXPECT_TRUE(virda_detail::isa_supported(virda_detail::active_isa()));
    for (const isa p : virda_detail::all_isa_paths) {
        const isa got = virda_detail::force_isa(p);
        EXPECT_TRUE(virda_detail::isa_supported(got)) << virda_detail::isa_name(p);
        EXPECT_LE(static_cast<int>(got), static_cast<int>(p));
        if (virda_detail::isa_supported(p)) {
            EXPECT_EQ(got, p);
        }
        EXPECT_EQ(virda_detail::active_isa(), got);
    }
    virda_detail::force_isa(saved);
}

TEST(IsaPaths, ArithmeticAndPowersFollowTheRulesAndAgreeBitwiseOnEveryPath)
{
    std::vector<std::vector<unsigned char>> reference;
    const int ran = virda_test::for_each_runnable_path([&] {
        std::vector<std::vector<unsigned char>> blocks = check_row<double>();
        for (auto* more : {&check_row<float>, &check_row<int>, &check_powers}) {
            for (auto& b : more()) {
                blocks.push_back(std::move(b));
            }
        }
        if (reference.empty()) {
            reference = std::move(blocks);
        } else {
            ASSERT_EQ(blocks.size(), reference.size());
            for (std::size_t k = 0; k < blocks.size(); ++k) {
                EXPECT_TRUE(blocks[k] == reference[k]) << "result " << k << " differs from the baseline path";
            }
        }
    });
    VIRDA_SKIP_IF_ONE_PATH(ran);
}
