#include "framework/attribute/context_arena.h"

#include "framework/runtime/context.h"

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace virda_detail {
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

    std::size_t made = 0;

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

Context* new_context()
{
    Context* c = ::new (arena().allocate(sizeof(Context))) Context();
    ++arena().made;
    return c;
}

std::size_t contexts_made()
{
    return arena().made;
}

} // namespace virda_detail
