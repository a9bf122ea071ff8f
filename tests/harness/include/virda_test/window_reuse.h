#ifndef VIRDA_TEST_WINDOW_REUSE_H
#define VIRDA_TEST_WINDOW_REUSE_H

#include "framework/array/window_pool.h"

namespace virda_test {

/// Within its scope every array creation makes a window of its own and every
/// release frees it, as tests that count MPI_Win_create, MPI_Win_free and
/// MPI_Alloc_mem per operation expect; windows kept before stay kept. Make
/// one on every rank alike.
class without_window_reuse {
public:
    without_window_reuse() : was_(virda_detail::set_window_reuse(false)) {}
    ~without_window_reuse() { virda_detail::set_window_reuse(was_); }
    without_window_reuse(const without_window_reuse&) = delete;
    without_window_reuse& operator=(const without_window_reuse&) = delete;

private:
    bool was_;
};

} // namespace virda_test

#endif
