#ifndef VIRDA_TEST_SHARES_H
#define VIRDA_TEST_SHARES_H

// How the engine's tests deal global data over the ranks, and how they
// compare results bit for bit.

#include "virda_test/ranks.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>
#include <vector>

namespace virda_test {

/// The first and one-past-last global index of this rank's share of n
/// values in MPI_COMM_WORLD: shares grow with the rank (rank r holds r + 1
/// parts), and the last of three or more ranks holds none, so every test
/// meets uneven shares and a rank without values.
inline std::pair<std::size_t, std::size_t> uneven_share(std::size_t n)
{
    const int size = world_size();
    std::size_t total = 0;
    std::vector<std::size_t> upto{0};
    for (int r = 0; r < size; ++r) {
        total += (size >= 3 && r == size - 1) ? 0 : static_cast<std::size_t>(r + 1);
        upto.push_back(total);
    }
    const auto rank = static_cast<std::size_t>(world_rank());
    return {n * upto[rank] / total, n * upto[rank + 1] / total};
}

/// The same bits, any NaN being equal to any NaN.
inline bool same_bits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b));
}

/// The same length and the same bits in every place, NaN payloads included.
inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

} // namespace virda_test

#endif
