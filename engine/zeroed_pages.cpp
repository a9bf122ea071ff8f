#include "engine/zeroed_pages.h"

#include <algorithm>
#include <cstdlib>

#include <sys/mman.h>

namespace virda::engine {

namespace {

// Count blocks of at least this many bytes are mappings of their own, of
// huge pages where the system gives them: a histogram of many bins then
// costs a page fault per 2 MiB, not per 4 KiB, and its scattered increments
// miss the address translation caches far less often.
constexpr std::size_t mapped_bytes = std::size_t{4} << 20;

} // namespace

void zeroed_pages_release::operator()(void* p) const noexcept
{
    if (mapped != 0) {
        munmap(p, mapped);
    } else {
        std::free(p);
    }
}

namespace detail {

/// `count` zeroed doubles (null when they cannot be had).
std::unique_ptr<double[], zeroed_pages_release> zeroed_doubles(std::size_t count)
{
    const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(double);
    if (bytes < mapped_bytes) {
        return {static_cast<double*>(std::calloc(bytes / sizeof(double), sizeof(double))), zeroed_pages_release{}};
    }
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return {nullptr, zeroed_pages_release{}};
    }
#ifdef MADV_HUGEPAGE
    madvise(p, bytes, MADV_HUGEPAGE); // a request only: 4 KiB pages otherwise
#endif
    return {static_cast<double*>(p), zeroed_pages_release{bytes}};
}

} // namespace detail

} // namespace virda::engine
