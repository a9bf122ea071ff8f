#ifndef VIRDA_TESTS_ENGINE_TEST_SUPPORT_H
#define VIRDA_TESTS_ENGINE_TEST_SUPPORT_H

// What the engine's MPI tests share: the engine's names, the harness's
// ranks and shares of the data, and bitwise comparison of results.

#include "engine/error.h"

#include "virda_test/ranks.h"
#include "virda_test/shares.h"
#include <gtest/gtest.h>
#include <mpi.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

/// Brought into a test's own namespace by `using namespace engine_test;`.
namespace engine_test {

using namespace virda::engine;
using virda_test::same_bits;
using virda_test::uneven_share;
using virda_test::world_rank;
using virda_test::world_size;

/// The code of the engine error that f() throws, or 0 when it returns.
template <typename F>
int code_of(F&& f)
{
    try {
        f();
    } catch (const virda::engine::error& e) {
        return static_cast<int>(e.code());
    }
    return 0;
}

} // namespace engine_test

#endif
