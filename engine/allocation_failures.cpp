#include "engine/allocation_failures.h"

namespace virda::engine::detail {
namespace {
int refusals = 0;
} // namespace

void refuse_allocations(int count)
{
    refusals = count;
}

void check_allocation()
{
    if (refusals > 0) {
        --refusals;
        throw std::bad_alloc();
    }
}

} // namespace virda::engine::detail
