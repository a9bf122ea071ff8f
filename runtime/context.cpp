#include "framework/runtime/context.h"

#include <memory>
#include <new>
#include <vector>

// Attributes create a Context in their default constructor and never destroy
// one, so every attribute operation leaves one behind. They are carved from
// chunks of an arena that the runtime owns (and that stays reachable until the
// process ends) instead of one heap allocation each.
namespace {

class context_arena {
public:
    void* allocate(std::size_t bytes)
    {
        bytes = (bytes + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
        if (chunks_.empty() || used_ + bytes > chunk_bytes) {
            chunks_.push_back(std::make_unique<std::max_align_t[]>(chunk_bytes / sizeof(std::max_align_t)));
            used_ = 0;
        }
        void* p = reinterpret_cast<char*>(chunks_.back().get()) + used_;
        used_ += bytes;
        return p;
    }

private:
    static constexpr std::size_t chunk_bytes = 64 * 1024;
    std::vector<std::unique_ptr<std::max_align_t[]>> chunks_;
    std::size_t used_ = 0;
};

context_arena& arena()
{
    static context_arena a;
    return a;
}

} // namespace

Context::Context() = default;

void* Context::operator new(std::size_t bytes)
{
    return arena().allocate(bytes == 0 ? 1 : bytes);
}

void Context::operator delete(void*) noexcept
{
    // Storage goes back with the arena.
}
