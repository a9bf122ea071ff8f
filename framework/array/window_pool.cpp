#include "framework/array/window_pool.h"

#include "framework/array/array_registry.h"
#include "framework/array/block_cache.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace virda_detail {
namespace {

struct pool;

struct entry {
    window_shape shape;
    MPI_Aint largest = 0; // the largest block of any rank for this shape
    kept_window w;
    pool* owner = nullptr;
};

struct pool {
    std::vector<std::unique_ptr<entry>> entries; // oldest first
    MPI_Aint bytes = 0;                          // sum of the entries' largest blocks
};

constexpr MPI_Aint most_kept_bytes = MPI_Aint(1) << 30;
bool reuse_on = true;
int keyval = MPI_KEYVAL_INVALID;

// Every list made, so that each stays reachable until its communicator is
// freed (some communicators never are, and MPI need not delete their
// attributes at MPI_Finalize). Never destroyed.
std::vector<pool*>& pools()
{
    static auto* all = new std::vector<pool*>;
    return *all;
}

/// Takes the entry out of its list and returns it (the list no longer owns it).
std::unique_ptr<entry> detach(entry* e)
{
    pool* p = e->owner;
    const auto it = std::find_if(p->entries.begin(), p->entries.end(),
                                 [e](const std::unique_ptr<entry>& k) { return k.get() == e; });
    std::unique_ptr<entry> taken = std::move(*it);
    p->entries.erase(it);
    p->bytes -= e->largest;
    return taken;
}

/// Frees a kept window and hands its block back (collective over the
/// window's communicator); the record of live arrays forgets it.
void free_kept(std::unique_ptr<entry> e)
{
    MPI_Win_free(&e->w.win);
    release_block(e->w.allocation, e->w.allocation_bytes);
    unregister_array(e->w.registry_key);
}

/// The record's release of a kept window at MPI_Finalize, in the order of
/// the windows' creation like every array's. The block goes straight back to
/// MPI: the block cache has already been emptied or will not be again.
void release_at_finalize(void* self)
{
    std::unique_ptr<entry> e = detach(static_cast<entry*>(self));
    MPI_Win_free(&e->w.win);
    MPI_Free_mem(e->w.allocation);
}

/// The attribute's delete callback: the communicator is being freed (by
/// every rank of it, in MPI_Comm_free), and its list with it.
int list_deleted(MPI_Comm, int, void* value, void*)
{
    auto* p = static_cast<pool*>(value);
    while (!p->entries.empty()) {
        free_kept(detach(p->entries.front().get()));
    }
    auto& all = pools();
    all.erase(std::remove(all.begin(), all.end(), p), all.end());
    delete p;
    return MPI_SUCCESS;
}

pool* list_of(MPI_Comm comm, bool create)
{
    if (keyval == MPI_KEYVAL_INVALID) {
        if (!create) {
            return nullptr;
        }
        MPI_Comm_create_keyval(MPI_COMM_NULL_COPY_FN, list_deleted, &keyval, nullptr);
    }
    void* value = nullptr;
    int found = 0;
    MPI_Comm_get_attr(comm, keyval, &value, &found);
    if (found != 0) {
        return static_cast<pool*>(value);
    }
    if (!create) {
        return nullptr;
    }
    auto* p = new pool;
    pools().push_back(p);
    MPI_Comm_set_attr(comm, keyval, p);
    return p;
}

} // namespace

bool take_window(MPI_Comm comm, const window_shape& shape, kept_window* out)
{
    pool* p = reuse_on ? list_of(comm, false) : nullptr;
    if (p == nullptr) {
        return false;
    }
    // The most recently kept first: its block is the likeliest in the cache.
    for (auto it = p->entries.rbegin(); it != p->entries.rend(); ++it) {
        if ((*it)->shape == shape) {
            *out = detach(it->get())->w;
            return true;
        }
    }
    return false;
}

bool keep_window(MPI_Comm comm, const window_shape& shape, MPI_Aint largest_block_bytes, const kept_window& w)
{
    if (!reuse_on || largest_block_bytes > most_kept_bytes) {
        return false;
    }
    pool* p = list_of(comm, true);
    while (!p->entries.empty() && (static_cast<int>(p->entries.size()) >= kept_windows_bound ||
                                   p->bytes + largest_block_bytes > most_kept_bytes)) {
        free_kept(detach(p->entries.front().get()));
    }
    auto e = std::make_unique<entry>();
    e->shape = shape;
    e->largest = largest_block_bytes;
    e->w = w;
    e->owner = p;
    move_array(w.registry_key, e.get(), &release_at_finalize);
    p->bytes += largest_block_bytes;
    p->entries.push_back(std::move(e));
    return true;
}

int drop_kept_windows(MPI_Comm comm)
{
    pool* p = list_of(comm, false);
    int dropped = 0;
    while (p != nullptr && !p->entries.empty()) {
        free_kept(detach(p->entries.front().get()));
        ++dropped;
    }
    return dropped;
}

int kept_window_count(MPI_Comm comm)
{
    const pool* p = list_of(comm, false);
    return p == nullptr ? 0 : static_cast<int>(p->entries.size());
}

bool set_window_reuse(bool on)
{
    const bool was = reuse_on;
    reuse_on = on;
    return was;
}

} // namespace virda_detail
