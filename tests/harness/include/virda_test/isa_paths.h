#ifndef VIRDA_TEST_ISA_PATHS_H
#define VIRDA_TEST_ISA_PATHS_H

#include "framework/simd/isa.h"
#include "virda_test/ranks.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace virda_test {

/// Calls f() once on every instruction-set path this processor runs, each
/// forced in turn (on every rank alike) under a trace naming it, and puts the
/// path in use back afterwards. Rank 0 says which paths this processor cannot
/// run and were not tested: they are built, but not checked here. Returns how
/// many paths ran.
template <typename F>
int for_each_runnable_path(F f)
{
    const virda_detail::isa saved = virda_detail::active_isa();
    int ran = 0;
    for (const virda_detail::isa p : virda_detail::all_isa_paths) {
        if (!virda_detail::isa_supported(p)) {
            // A forced path this processor lacks would run another one.
            if (world_rank() == 0) {
                std::printf("[  SKIPPED ] path %s: this processor cannot run it\n", virda_detail::isa_name(p));
            }
            continue;
        }
        virda_detail::force_isa(p);
        SCOPED_TRACE(virda_detail::isa_name(p));
        f();
        ++ran;
    }
    virda_detail::force_isa(saved);
    return ran;
}

} // namespace virda_test

/// Ends a test that compares the paths with each other as skipped when only
/// one path ran, so that comparing nothing never passes as agreement (checks
/// made on that one path still count).
#define VIRDA_SKIP_IF_ONE_PATH(ran) \
    if ((ran) < 2)                  \
    GTEST_SKIP() << "only one instruction-set path runs on this processor: nothing to compare it with"

#endif
