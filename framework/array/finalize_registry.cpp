#include "framework/array/finalize_registry.h"

#include "framework/mpi/finalize_hook.h"

#include <map>

namespace virda_detail {
namespace {

struct entry {
    void* array;
    void (*release)(void*);
};

// Ordered by key, and keys grow with every registration: creation order.
// Never destroyed, so that arrays destroyed during static destruction still
// find it.
std::map<std::uint64_t, entry>& live()
{
    static auto* arrays = new std::map<std::uint64_t, entry>;
    return *arrays;
}

std::uint64_t next_key = 1;

void release_all()
{
    auto& arrays = live();
    while (!arrays.empty()) {
        auto first = arrays.begin();
        entry e = first->second;
        arrays.erase(first);
        e.release(e.array);
    }
}

} // namespace

std::uint64_t register_array(void* array, void (*release)(void*))
{
    at_mpi_finalize(release_all);
    std::uint64_t key = next_key++;
    live().emplace(key, entry{array, release});
    return key;
}

void move_array(std::uint64_t key, void* array)
{
    auto it = live().find(key);
    if (it != live().end()) {
        it->second.array = array;
    }
}

void move_array(std::uint64_t key, void* array, void (*release)(void*))
{
    auto it = live().find(key);
    if (it != live().end()) {
        it->second = entry{array, release};
    }
}

void unregister_array(std::uint64_t key)
{
    live().erase(key);
}

} // namespace virda_detail
