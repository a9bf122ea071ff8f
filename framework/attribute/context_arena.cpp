#include "framework/attribute/context_arena.h"

#include "framework/runtime/context.h"

#include <cstddef>
#include <memory>
#include <new>
#include <vector>

namespace virda_detail {
namespace {

/// Contexts packed at their own size and alignment: the framework's Context
/// is an empty class, so each takes one byte (a distinct address, as every
/// object has), where rounding to the alignment of any type took 16.
class context_arena {
public:
    void* allocate()
    {
        // A size is a multiple of its alignment, so slots one after another
        // from a chunk's aligned start stay aligned.
        constexpr std::size_t bytes = sizeof(Context);
        static_assert(alignof(Context) <= alignof(std::max_align_t), "chunks are aligned for a Context");
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
    Context* c = ::new (arena().allocate()) Context();
    ++arena().made;
    return c;
}

std::size_t contexts_made()
{
    return arena().made;
}

} // namespace virda_detail
