// Statistics called by every rank while each half of the job holds
// attributes of its own, distributed over that half's communicator, and
// VIRDA_COMM is the whole job. The moments and fits total over the
// attribute's own communicator (the framework's sum) and give each half its
// own result; histogram and bin_data reduce over VIRDA_COMM and give the
// union of both halves (quantile and median refuse: quantile_test).
#include "stat_data.h"

#include <memory>

using namespace stat_data;

TEST(SubCommunicator, MomentsPerHalfBinsOverTheUnion)
{
    const virda_test::halves halves;
    const int side = halves.side();
    const MPI_Comm half = halves.comm();
    const bool whole_job_is_one_half = ranks() == 1;
    const int sizes[2] = {7, 12};
    auto x_of = [](int s, int g) { return s == 0 ? 0.5 * g : 2.0 + 0.25 * g; };
    auto y_of = [](int s, int g) { return s == 0 ? 1.0 + g : -3.0 * g; };
    {
        const int n = sizes[side];
        Attribute x = attribute_from_global<double>({n}, half, [&](int g) { return x_of(side, g); });
        Attribute y = attribute_from_global<double>({n}, half, [&](int g) { return y_of(side, g); });

        // This half's mean and fit.
        long double total = 0;
        for (int g = 0; g < n; ++g) {
            total += x_of(side, g);
        }
        expect_close(mean(x), total / n, 1e-15);
        const std::unique_ptr<function> fit(poly_fit(x, y, 1));
        const double slope = side == 0 ? 2.0 : -12.0; // y against x, exactly linear
        expect_close(fit->get_coeffs()[1], slope, 1e-9);

        // Both halves' elements (only one half at one rank) in one histogram
        // on rank 0 and in every rank's bins.
        const std::vector<int> h = histogram(x, -0.5, 1.0, 6);
        const std::vector<double> b = bin_data(x, y, {0.0, 1.0, 2.0, 3.0, 4.0, 5.0});
        std::vector<int> want_h(6, 0);
        std::vector<double> sum(6, 0.0);
        std::vector<int> count(6, 0);
        for (int s = 0; s < 2; ++s) {
            if (whole_job_is_one_half && s == 1) {
                continue;
            }
            for (int g = 0; g < sizes[s]; ++g) {
                const double v = x_of(s, g);
                const int k = static_cast<int>(v + 0.5); // both bin rules give this for v >= 0
                if (v > -0.5 && k < 6) {
                    ++want_h[k];
                    sum[k] += y_of(s, g);
                    ++count[k];
                }
            }
        }
        if (VIRDA_ID == 0) {
            EXPECT_EQ(h, want_h);
        }
        for (int k = 0; k < 6; ++k) {
            expect_close(b[k], count[k] == 0 ? 0.0 : sum[k] / count[k], 1e-14);
        }
    }
}
