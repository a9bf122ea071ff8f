// A framework program built outside the project against the installed
// library (or the project added as a subdirectory): it fills attributes,
// calls mean, stdev and histogram, and checks the answers. Exits non-zero on
// every rank when any rank sees a wrong answer.
#include <reference_runtime/virda_session.h>
#include <virdastatistics.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int rows = 10;

/// An attribute of `rows` elements, element g holding g + 1, each rank
/// writing only its own block.
template <typename T>
Attribute one_to_ten()
{
    return attribute_from_global<T>({rows}, VIRDA_COMM, [](int g) { return g + 1; });
}

int failures = 0;

void check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "consumer: rank %d: %s is wrong\n", VIRDA_ID, what);
        ++failures;
    }
}

} // namespace

int main(int argc, char** argv)
{
    int verdict = 0;
    {
        virda_session session(&argc, &argv);
        {
            Attribute x = one_to_ten<double>();
            Attribute counts = one_to_ten<int>();

            check(x.size() == rows, "size");
            check(mean(x) == 5.5, "mean of 1..10");
            check(std::fabs(stdev(x) - std::sqrt(8.25)) < 1e-12, "stdev of 1..10");
            // Weights 1..10: sum(g * g) / sum(g) = 385 / 55 = 7.
            check(mean(x, counts) == 7.0, "weighted mean");

            // Bin 0 is (0, 2): its lower edge is open; 10 sits on the top edge.
            const std::vector<int> h = histogram(x, 0.0, 2.0, 5);
            const std::vector<int> expected = session.rank() == 0 ? std::vector<int>{1, 2, 2, 2, 2}
                                                                  : std::vector<int>(5, 0);
            check(h == expected, "histogram");
        }
        int any = failures > 0 ? 1 : 0;
        MPI_Allreduce(MPI_IN_PLACE, &any, 1, MPI_INT, MPI_MAX, VIRDA_COMM);
        verdict = any;
        if (session.rank() == 0) {
            std::printf("consumer: %d ranks, %s\n", session.size(), verdict ? "FAILED" : "all results correct");
        }
    }
    return verdict;
}
