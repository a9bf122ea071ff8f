#include "engine/allocation_failures.h"

#include <algorithm>

namespace virda::engine::detail {
namespace {
int refusals = 0;
int allowed = 0;
std::vector<std::string> sites;
} // namespace

void refuse_allocations(int count, int after)
{
    refusals = count;
    allowed = count > 0 ? after : 0;
    sites.clear();
}

void check_allocation(const char* site)
{
    if (refusals <= 0) {
        return;
    }
    if (*site != '\0' && std::find(sites.begin(), sites.end(), site) == sites.end()) {
        sites.emplace_back(site);
    }
    if (allowed > 0) {
        --allowed;
        return;
    }
    --refusals;
    throw std::bad_alloc();
}

std::vector<std::string> allocation_sites_checked()
{
    return sites;
}

} // namespace virda::engine::detail
