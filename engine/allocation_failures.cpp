#include "engine/allocation_failures.h"

namespace virda::engine::detail {
namespace {
int refusals = 0;
int allowed = 0;
} // namespace

void refuse_allocations(int count, int after)
{
    refusals = count;
    allowed = count > 0 ? after : 0;
}

void check_allocation()
{
    if (allowed > 0) {
        --allowed;
        return;
    }
    if (refusals > 0) {
        --refusals;
        throw std::bad_alloc();
    }
}

} // namespace virda::engine::detail
