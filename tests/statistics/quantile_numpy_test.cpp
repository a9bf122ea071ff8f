// quantile and median against NumPy's answers on finite data, read from the
// file that quantile_numpy_cases.py writes (its name in the environment
// variable VIRDA_QUANTILE_CASES).
//
// quantile follows numpy.quantile's "linear" interpolation step for step, so
// every entry must be the same bits. numpy.median averages the two middle
// elements as (a + b) / 2, where median computes b - (b - a) / 2: these may
// round differently, so medians must be within two units in the last place
// of the larger neighbour; the test reports how many differ.
#include "stat_data.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

using namespace stat_data;

namespace {

struct numpy_case {
    std::string name;
    std::vector<double> data, q, quantiles;
    double median = 0.0;
};

std::vector<double> parse_row(const std::string& line)
{
    std::vector<double> row;
    std::istringstream in(line);
    std::string word;
    while (in >> word) {
        row.push_back(std::strtod(word.c_str(), nullptr)); // reads C99 hexadecimal doubles
    }
    return row;
}

std::vector<numpy_case> read_cases()
{
    std::vector<numpy_case> cases;
    const char* path = std::getenv("VIRDA_QUANTILE_CASES");
    if (path == nullptr) {
        return cases;
    }
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        numpy_case c;
        c.name = line.substr(2);
        std::string rows[4];
        for (std::string& r : rows) {
            std::getline(in, r);
        }
        c.data = parse_row(rows[0]);
        c.q = parse_row(rows[1]);
        c.quantiles = parse_row(rows[2]);
        c.median = parse_row(rows[3]).at(0);
        cases.push_back(c);
    }
    return cases;
}

/// The spacing of doubles at the larger magnitude of the median's two
/// neighbours in the sorted data.
double median_ulp(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const double a = v[(v.size() - 1) / 2], b = v[v.size() / 2];
    const double m = std::max(std::fabs(a), std::fabs(b));
    return std::nextafter(m, inf) - m;
}

} // namespace

TEST(QuantileNumpy, SameAsNumpyOnFiniteData)
{
    const std::vector<numpy_case> cases = read_cases();
    ASSERT_GE(cases.size(), 20u) << "no cases read from $VIRDA_QUANTILE_CASES";
    int medians_differing = 0;
    for (const numpy_case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto& data = c.data;
        Attribute a = make_attribute<double>({static_cast<int>(data.size())}, [&data](int g) { return data[g]; });
        const std::vector<double> got = quantile(a, c.q);
        ASSERT_EQ(got.size(), c.quantiles.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i], c.quantiles[i]) << "p " << c.q[i];
        }
        const double m = median(a);
        EXPECT_LE(std::fabs(m - c.median), 2 * median_ulp(data)) << m << " vs " << c.median;
        medians_differing += m != c.median ? 1 : 0;
    }
    if (VIRDA_ID == 0) {
        std::printf("%zu cases: every quantile the same as numpy.quantile; %d medians differ from numpy.median "
                    "within 2 ulp\n", cases.size(), medians_differing);
    }
}
