// Statistics whose temporaries cannot be made. An array whose block MPI
// refuses on one rank is left empty on every rank (array creation agrees on
// it and writes its line); a statistic that needed it must then give NaN on
// every rank, never a number computed from the empty array. Each call runs
// once as it is, then once for every MPI_Alloc_mem it makes, with that one
// refused on the last rank.
#include "stat_data.h"
#include "virda_test/alloc_refusal.h"
#include "virda_test/window_reuse.h"

#include <functional>
#include <memory>
#include <string>

using namespace stat_data;
using virda_test::capture_stderr;
using virda_test::mpi_counts_during;
using virda_test::num;

namespace {

const std::string refused = "ERROR in va_create:block could not be allocated on some rank.VA left empty\n";

/// Runs `call`, which gives the numbers to judge, as described above: finite
/// numbers when nothing is refused; only NaN, and the refusal's one line,
/// when anything is. Collective.
void refuse_each_allocation(const char* name, const std::function<std::vector<double>()>& call)
{
    SCOPED_TRACE(name);
    // Every temporary allocates a block of its own (no kept window reused).
    const virda_test::without_window_reuse fresh_windows;
    std::vector<double> good;
    const long allocations = mpi_counts_during([&] { good = call(); }).mem_allocated;
    EXPECT_GT(allocations, 0);
    for (double v : good) {
        EXPECT_TRUE(std::isfinite(v)) << v;
    }
    for (long k = 1; k <= allocations; ++k) {
        virda_test::refuse_alloc_mem(virda_test::world_rank() == ranks() - 1 ? k : 0);
        std::vector<double> got;
        const std::string err = capture_stderr([&] { got = call(); });
        EXPECT_EQ(virda_test::alloc_refusal_pending(), 0) << "allocation " << k << " of " << allocations;
        EXPECT_EQ(err, refused) << "allocation " << k << " of " << allocations;
        EXPECT_EQ(got.size(), good.size()) << "allocation " << k;
        for (double v : got) {
            EXPECT_TRUE(std::isnan(v)) << v << " at allocation " << k << " of " << allocations;
        }
    }
}

std::vector<double> coefficients(function* f)
{
    const std::unique_ptr<function> owned(f);
    return owned->get_coeffs();
}

} // namespace

TEST(FailedTemporaries, MomentsGiveNaNOnEveryRank)
{
    // 10 elements: some ranks hold none at 4 ranks' rows of 3.
    Attribute x = make_attribute<double>({10}, [](int g) { return 0.5 * g - 1.0; });
    Attribute w = make_attribute<double>({10}, [](int g) { return 1.0 + g % 3; });
    Attribute xi = make_attribute<int>({10}, [](int g) { return 3 * g; });
    Attribute wi = make_attribute<int>({10}, [](int g) { return 1 + g % 4; });
    refuse_each_allocation("stdev(x)", [&] { return std::vector<double>{stdev(x)}; });
    refuse_each_allocation("stdev(x, w)", [&] { return std::vector<double>{stdev(x, w)}; });
    refuse_each_allocation("mean(x, w)", [&] { return std::vector<double>{mean(x, w)}; });
    // int data: the product's double copy is one more temporary.
    refuse_each_allocation("mean(int, int)", [&] { return std::vector<double>{mean(xi, wi)}; });
    refuse_each_allocation("stdev(int, int)", [&] { return std::vector<double>{stdev(xi, wi)}; });
}

TEST(FailedTemporaries, FitsAndEvaluationsGiveNaNOnEveryRank)
{
    Attribute x = make_attribute<double>({7}, [](int g) { return g; });
    Attribute y = make_attribute<double>({7}, [](int g) { return 2.0 + 3.0 * g; });
    Attribute w = make_attribute<double>({7}, [](int g) { return 1.0 + g % 2; });
    refuse_each_allocation("poly_fit(x, y, w, 1)", [&] { return coefficients(poly_fit(x, y, w, 1)); });
    refuse_each_allocation("poly_fit(x, y, 1)", [&] { return coefficients(poly_fit(x, y, 1)); });
    function line(0, 1);
    line.set_coeffs({2.0, 3.0});
    refuse_each_allocation("eval(x)", [&] {
        // Every element of the result, which keeps x's shape.
        Attribute r = line.eval(x);
        EXPECT_EQ(r.size(), x.size());
        std::vector<double> all;
        for (int g = 0; g < r.size(); ++g) {
            all.push_back(num(r[g]));
        }
        return all;
    });
}
